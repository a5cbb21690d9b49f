// A recursive mutex that serves waiting threads in the order they arrived. The simulated card
// holds its lock while it spends a transfer's latency, as a real card's control endpoint is busy
// for that long; the kernel queues the transfers of other threads and serves them in turn. With
// an ordinary mutex a thread sending pages back to back takes the lock again at once, and a
// second thread (the window's status poll during an upgrade) would wait until the whole transfer
// is over.
#pragma once

#include <cassert>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace kestrel::sim {

class FifoRecursiveMutex {
 public:
  void lock() {
    std::unique_lock lk(m_);
    const std::thread::id self = std::this_thread::get_id();
    if (depth_ > 0 && owner_ == self) {
      ++depth_;
      return;
    }
    const uint64_t ticket = next_++;
    cv_.wait(lk, [&] { return serving_ == ticket; });
    owner_ = self;
    depth_ = 1;
  }
  void unlock() {
    std::lock_guard lk(m_);
    assert(depth_ > 0 && owner_ == std::this_thread::get_id());
    if (--depth_ > 0) return;
    owner_ = std::thread::id();
    ++serving_;
    cv_.notify_all();
  }
  // Threads waiting for the lock (for tests).
  uint64_t waiting() const {
    std::lock_guard lk(m_);
    return next_ - serving_ - (depth_ > 0 ? 1 : 0);
  }

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  uint64_t next_ = 0;     // the next ticket handed out
  uint64_t serving_ = 0;  // the ticket whose holder may take the lock
  std::thread::id owner_;
  uint32_t depth_ = 0;
};

}  // namespace kestrel::sim
