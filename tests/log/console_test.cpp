#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "log/clock.h"
#include "log/console.h"
#include "log/log.h"

namespace kestrel {
namespace {

class ConsoleShutdown : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_set_source(&sim_);
    clock_init();
  }
  void TearDown() override {
    clock_set_source(nullptr);
    clock_init();
    g_console.reader_flags = nullptr;
  }
  SimClock sim_;
  ReaderStopFlags flags_;
};

TEST_F(ConsoleShutdown, ReaderThatLeavesAtOnceEndsItQuickly) {
  std::atomic<bool> woken{false};
  g_console.reader_flags = &flags_;
  // The wake is where a reader that leaves at once has left: waiting for it here (in real time)
  // keeps the shutdown's polls, which run in simulated time, from outrunning the thread.
  g_console.wake_reader = [&] {
    woken = true;
    while (!flags_.exited_b.load()) std::this_thread::yield();
  };
  g_console.reader_thread = std::thread([this] {
    while (!flags_.stop.load()) std::this_thread::yield();
    flags_.exited_a = 1;
    flags_.exited_b = 1;
  });
  const uint64_t t0 = clock_now_ns();
  console_shutdown();
  const uint64_t took = clock_now_ns() - t0;
  EXPECT_TRUE(woken);
  EXPECT_FALSE(g_console.reader_thread.joinable());
  // Two 1 ms pauses plus at most a few 10 ms polls while the thread notices the stop.
  EXPECT_GE(took, 2'000'000u);
  EXPECT_LT(took, 1'000'000'000u);
}

TEST_F(ConsoleShutdown, ReaderThatNeverLeavesIsAbandonedAfterOneSecond) {
  static std::atomic<bool> release{false};  // outlives the abandoned thread
  g_console.reader_flags = &flags_;
  g_console.reader_thread = std::thread([&] {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  const uint64_t t0 = clock_now_ns();
  console_shutdown();
  const uint64_t took = clock_now_ns() - t0;
  EXPECT_GE(took, 1'000'000'000u);
  EXPECT_LE(took, 1'020'000'000u);
  EXPECT_FALSE(g_console.reader_thread.joinable());
  release = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST_F(ConsoleShutdown, ClosesTheAttachedStream) {
  char* buf = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buf, &size);
  console_attach(f, -1);
  log_printf(0, "before\r\n");
  console_shutdown();
  EXPECT_EQ(g_console.stream, nullptr);
  EXPECT_EQ(log_stream(), nullptr);
  EXPECT_EQ(std::string(buf, size), "before\r\n");
  free(buf);
}

}  // namespace
}  // namespace kestrel
