// The monotonic nanosecond clock and the waits. Both go through one injectable source so that
// tests run in simulated time and never sleep for real.
#pragma once

#include <atomic>
#include <cstdint>

namespace kestrel {

class ClockSource {
 public:
  virtual ~ClockSource() = default;
  virtual uint64_t ticks() = 0;           // monotonic counter
  virtual uint64_t frequency() = 0;       // ticks per second, positive
  virtual void sleep_ms(uint32_t ms) = 0; // 0 yields
};

// Reads the counter frequency and computes the nanoseconds-per-tick scale (integer part and a
// 32-bit fraction). Before it runs the clock counts 100 ns per tick.
void clock_init();
uint64_t clock_now_ns();
void sleep_ms(uint32_t ms);

// nullptr restores the system source (steady clock, real sleeps). Resets the scale to its start
// value; call clock_init() afterwards.
void clock_set_source(ClockSource* source);
ClockSource& clock_source();

// Simulated time: sleeping advances the counter instead of waiting. Safe to share between threads.
class SimClock : public ClockSource {
 public:
  explicit SimClock(uint64_t frequency = 1'000'000'000ULL) : freq_(frequency) {}
  uint64_t ticks() override;
  uint64_t frequency() override { return freq_; }
  void sleep_ms(uint32_t ms) override;
  void advance_ns(uint64_t ns);
  uint64_t now_ticks() const;
  uint64_t sleeps() const;  // number of sleep_ms calls seen

 private:
  uint64_t freq_;
  std::atomic<uint64_t> ticks_{0};
  std::atomic<uint64_t> sleeps_{0};
};

// Seconds and nanoseconds of a nanosecond difference, as the "%u.%09u" log lines print it.
struct SecNs {
  uint32_t sec;
  uint32_t ns;
};
inline SecNs split_ns(uint64_t diff) {
  return {static_cast<uint32_t>(diff / 1'000'000'000ULL), static_cast<uint32_t>(diff % 1'000'000'000ULL)};
}

}  // namespace kestrel
