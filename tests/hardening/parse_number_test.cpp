// kestrelctl's number arguments: decimal, or hex after one "0x". The refused texts include what
// the parse_number fuzz target found: an embedded NUL ended the number early and was accepted.
#include <gtest/gtest.h>

#include <string>

#include "cli/session.h"

namespace kestrel::cli {
namespace {

struct NumberCase {
  std::string text;
  bool ok;
  uint32_t value;
};

class ParseNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ParseNumber, AcceptsDigitsOfTheBaseOnly) {
  const NumberCase& c = GetParam();
  uint32_t v = 0xDEADBEEF;
  EXPECT_EQ(parse_number(c.text, v), c.ok);
  EXPECT_EQ(v, c.ok ? c.value : 0xDEADBEEF) << "a refused text must leave the value alone";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseNumber,
    ::testing::Values(NumberCase{"0", true, 0}, NumberCase{"4294967295", true, 0xFFFFFFFF},
                      NumberCase{"0x20000", true, 0x20000}, NumberCase{"0XfF", true, 0xFF},
                      NumberCase{std::string("02\0\0", 4), false, 0}, NumberCase{std::string("0x5\0", 4), false, 0},
                      NumberCase{"\t5", false, 0}, NumberCase{"\n0x5", false, 0}, NumberCase{"0x0x5", false, 0},
                      NumberCase{"0x 5", false, 0}, NumberCase{"0x", false, 0}, NumberCase{"", false, 0},
                      NumberCase{"4294967296", false, 0}, NumberCase{"0x100000000", false, 0},
                      NumberCase{"-1", false, 0}, NumberCase{"+1", false, 0}, NumberCase{"1 ", false, 0},
                      NumberCase{"0x-1", false, 0}, NumberCase{"12a", false, 0}));

}  // namespace
}  // namespace kestrel::cli
