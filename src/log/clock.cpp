#include "log/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace kestrel {

namespace {

class SystemClock final : public ClockSource {
 public:
  uint64_t ticks() override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }
  uint64_t frequency() override { return 1'000'000'000ULL; }
  void sleep_ms(uint32_t ms) override {
    if (ms == 0)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

SystemClock g_system_clock;
std::atomic<ClockSource*> g_source{&g_system_clock};

// Nanoseconds per tick as 32.32 fixed point; 100 ns per tick until clock_init runs.
std::atomic<uint32_t> g_scale_int{100};
std::atomic<uint32_t> g_scale_frac{0};

}  // namespace

void clock_init() {
  const uint64_t freq = clock_source().frequency();
  const uint64_t integer = 1'000'000'000ULL / freq;
  const uint64_t rem = 1'000'000'000ULL % freq;
  const uint64_t frac = (rem << 32) / freq;
  g_scale_int.store(static_cast<uint32_t>(integer), std::memory_order_relaxed);
  g_scale_frac.store(static_cast<uint32_t>(frac), std::memory_order_relaxed);
}

uint64_t clock_now_ns() {
  const uint64_t t = clock_source().ticks();
  const uint64_t frac = g_scale_frac.load(std::memory_order_relaxed);
  // (t * frac) >> 32 as the exact 96-bit product: high word * frac plus (low word * frac) >> 32.
  const uint64_t hi = (t >> 32) * frac;
  const uint64_t lo = ((t & 0xFFFFFFFFULL) * frac) >> 32;
  return t * g_scale_int.load(std::memory_order_relaxed) + hi + lo;
}

void sleep_ms(uint32_t ms) { clock_source().sleep_ms(ms); }

void clock_set_source(ClockSource* source) {
  g_source.store(source ? source : &g_system_clock, std::memory_order_release);
  g_scale_int.store(100, std::memory_order_relaxed);
  g_scale_frac.store(0, std::memory_order_relaxed);
}

ClockSource& clock_source() { return *g_source.load(std::memory_order_acquire); }

uint64_t SimClock::ticks() { return ticks_.load(std::memory_order_acquire); }

void SimClock::sleep_ms(uint32_t ms) {
  sleeps_.fetch_add(1, std::memory_order_relaxed);
  // A zero-length sleep still lets simulated time move, so that polling loops end.
  const uint64_t ns = ms == 0 ? 1'000ULL : ms * 1'000'000ULL;
  advance_ns(ns);
  std::this_thread::yield();
}

void SimClock::advance_ns(uint64_t ns) {
  // Convert to ticks of this clock's frequency.
  const uint64_t t = static_cast<uint64_t>((static_cast<unsigned __int128>(ns) * freq_) / 1'000'000'000ULL);
  ticks_.fetch_add(t, std::memory_order_acq_rel);
}

uint64_t SimClock::now_ticks() const { return ticks_.load(std::memory_order_acquire); }
uint64_t SimClock::sleeps() const { return sleeps_.load(std::memory_order_relaxed); }

}  // namespace kestrel
