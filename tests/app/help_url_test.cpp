#include <gtest/gtest.h>

#include "app/help_url.h"

namespace kestrel {
namespace {

struct HelpCase {
  const char* program;
  const char* url;
};

class HelpUrlTest : public ::testing::TestWithParam<HelpCase> {};

TEST_P(HelpUrlTest, HelpBesideTheProgramOrItsBinFolder) {
  EXPECT_EQ(help_url_for_program(GetParam().program), GetParam().url);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, HelpUrlTest,
    ::testing::Values(HelpCase{"/opt/kestrel/bin/kestrel", "file:///opt/kestrel/help/index.html"},
                      HelpCase{"/opt/kestrel/BIN/kestrel", "file:///opt/kestrel/help/index.html"},
                      HelpCase{"/k", "file:///help/index.html"},
                      // Only a folder named exactly "bin" is left; "sbin" and "bin" higher up stay.
                      HelpCase{"/usr/sbin/kestrel", "file:///usr/sbin/help/index.html"},
                      HelpCase{"/bin/tools/kestrel", "file:///bin/tools/help/index.html"},
                      HelpCase{"C:\\Tools\\kestrel\\bin\\kestrel.exe", "file:///C:/Tools/kestrel/help/index.html"}));

}  // namespace
}  // namespace kestrel
