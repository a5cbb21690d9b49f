#include <gtest/gtest.h>

#include <cstdio>

#include "log/clock.h"

namespace kestrel {
namespace {

class ClockTest : public ::testing::Test {
 protected:
  void TearDown() override {
    clock_set_source(nullptr);
    clock_init();
  }
};

TEST_F(ClockTest, CountsHundredNanosecondsPerTickBeforeInit) {
  SimClock sim(10'000'000);  // 10 MHz counter
  clock_set_source(&sim);
  sim.advance_ns(1'000'000'000);
  EXPECT_EQ(clock_now_ns(), 10'000'000ull * 100);
}

TEST_F(ClockTest, ScaleMakesOneSecondOneSecond) {
  // Frequencies that leave a remainder exercise the 32-bit fraction.
  for (uint64_t freq : {1'000'000'000ull, 10'000'000ull, 3'579'545ull, 2'441'406ull, 24'000'000ull}) {
    SimClock sim(freq);
    clock_set_source(&sim);
    clock_init();
    sim.advance_ns(5'000'000'000ull);
    const uint64_t a = clock_now_ns();
    sim.advance_ns(1'000'000'000ull);
    const uint64_t b = clock_now_ns();
    const double tick_ns = 1e9 / static_cast<double>(freq);
    EXPECT_NEAR(static_cast<double>(b - a), 1e9, tick_ns + 1) << "freq " << freq;
  }
}

TEST_F(ClockTest, SleepAdvancesSimulatedTime) {
  SimClock sim;
  clock_set_source(&sim);
  clock_init();
  const uint64_t a = clock_now_ns();
  sleep_ms(1200);
  EXPECT_EQ(clock_now_ns() - a, 1'200'000'000ull);
}

TEST(ElapsedFormat, SecondsAndNanoseconds) {
  const SecNs t = split_ns(1'500'000'123ull);
  char buf[32];
  snprintf(buf, sizeof buf, "%u.%09u", t.sec, t.ns);
  EXPECT_STREQ(buf, "1.500000123");
}

}  // namespace
}  // namespace kestrel
