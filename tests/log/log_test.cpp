#include <gtest/gtest.h>

#include <string>

#include "log/log.h"
#include "log_capture.h"

namespace kestrel {
namespace {

using test::LogCapture;

struct FilterCase {
  bool enabled;
  uint32_t level_mask;
  uint32_t module_mask;
  uint32_t word;
  bool passes;
};

class LogFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(LogFilter, DecidesWhatIsWritten) {
  const FilterCase c = GetParam();
  LogCapture cap;
  log_set_filter(c.enabled, c.level_mask, c.module_mask);
  log_printf(c.word, " x\r\n");
  EXPECT_EQ(cap.text() == " x\r\n", c.passes);
  EXPECT_EQ(log_filter_passes(c.word), c.passes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogFilter,
    ::testing::Values(
        FilterCase{false, 0, 0, 0x00000000, true},              // level 0 always passes
        FilterCase{false, 0, 0, 0x80000000, true},              // module bit 31, level 0
        FilterCase{false, 0xFFFFFFFF, 0xFFFFFFFF, 0x09, false}, // masks do nothing while disabled
        FilterCase{true, 1u << 9, 0, 0x09, true},
        FilterCase{true, 1u << 8, 0, 0x09, false},
        FilterCase{true, 0, 1u << 24, 0x01000009, true},        // module bit passes though level bit 9 is clear
        FilterCase{true, 0, 1u << 24, 0x00000009, false},
        FilterCase{true, 0, 0x1F, 0x00000011, false},           // the module mask's low bits never count
        FilterCase{true, 1u << 17, 0, 0x00000011, true}));

TEST(Log, FilteredOutCallNeitherLocksNorFormats) {
  log_reset_for_test();
  const LogCounters before = log_counters();
  log_printf(0x11, "%s", "never");
  const LogCounters after = log_counters();
  EXPECT_EQ(after.lock_taken, before.lock_taken);
  EXPECT_EQ(after.formatted, before.formatted);
}

TEST(Log, LevelZeroIsFormattedWithNoSinkAttached) {
  log_reset_for_test();
  const LogCounters before = log_counters();
  log_printf(0, " *&* : %d\r\n", 7);
  const LogCounters after = log_counters();
  EXPECT_EQ(after.lock_taken, before.lock_taken + 1);
  EXPECT_EQ(after.formatted, before.formatted + 1);
}

TEST(Log, LongTextIsCutToBufferCapacity) {
  LogCapture cap;
  const std::string big(70000, 'a');
  log_printf(0, "%s", big.c_str());
  const std::string out = cap.text();
  EXPECT_EQ(out.size(), 65534u);
  EXPECT_EQ(out, big.substr(0, 65534));
}

TEST(Log, RawWriteIgnoresFilter) {
  LogCapture cap;
  log_write_raw("dev text\r\n", 10);
  EXPECT_EQ(cap.text(), "dev text\r\n");
}

TEST(Log, ConsoleSinkGetsTheSameBytes) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  log_attach_console(fds[1]);
  log_printf(0, " msg : %u.%09u\r\n", 1u, 500000123u);
  log_attach_console(-1);
  char buf[64] = {};
  const ssize_t n = read(fds[0], buf, sizeof buf);
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0), " msg : 1.500000123\r\n");
}

}  // namespace
}  // namespace kestrel
