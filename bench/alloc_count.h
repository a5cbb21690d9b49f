// Heap allocations counted by a replaced operator new, split into the host's and the simulated
// card's: a call into the card marks its thread with t_in_card while it runs. Include in exactly
// one source file of a benchmark program.
// GCC reports the replaced operator delete as mismatched with aligned allocations (which go
// through the untouched aligned operators): a false positive.
#pragma once
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace bench {

inline std::atomic<uint64_t> g_host_allocs{0};
inline std::atomic<uint64_t> g_sim_allocs{0};
inline thread_local int t_in_card = 0;

}  // namespace bench

void* operator new(std::size_t n) {
  (bench::t_in_card ? bench::g_sim_allocs : bench::g_host_allocs).fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
