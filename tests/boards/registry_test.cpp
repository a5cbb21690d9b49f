// The registry and its matching rules.
#include <gtest/gtest.h>

#include <string>

#include "boards/board_table.h"
#include "boards/registry.h"

namespace kestrel {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { registry_build(reg_, &owner_); }
  std::string current() const { return reg_.current ? reg_.current->name : "(none)"; }

  int owner_ = 0;
  BoardRegistry reg_;
};

TEST_F(RegistryTest, BuildFillsEightEntriesInTableOrder) {
  EXPECT_EQ(reg_.owner, &owner_);
  EXPECT_EQ(reg_.capacity, 9u);
  ASSERT_EQ(reg_.count, 8u);
  for (uint32_t i = 0; i < reg_.count; ++i) {
    const BoardEntry& e = reg_.entries[i];
    EXPECT_EQ(e.registry, &reg_);
    EXPECT_EQ(e.descriptor, board_table()[i]);
    EXPECT_EQ(e.board_number, i + 1);
    EXPECT_STREQ(e.name, board_table()[i]->name);
  }
  // The ninth entry stays zeroed.
  EXPECT_EQ(reg_.entries[8].descriptor, nullptr);
  EXPECT_EQ(reg_.entries[8].name[0], '\0');
  EXPECT_EQ(current(), "TB610K-1CH");
}

TEST_F(RegistryTest, StatusTextSelectsOnceThenNoChange) {
  EXPECT_TRUE(registry_select_by_status(reg_, "TB610R-1CH:V1.0.0 FPGA:1.0"));
  EXPECT_EQ(current(), "TB610R-1CH");
  EXPECT_EQ(reg_.current->board_number, 3);
  EXPECT_FALSE(registry_select_by_status(reg_, "TB610R-1CH:V1.0.0 FPGA:1.0"));
  EXPECT_EQ(current(), "TB610R-1CH");
}

class StatusTextNoChange : public RegistryTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(StatusTextNoChange, LeavesCurrentBoard) {
  ASSERT_TRUE(registry_select_by_status(reg_, "meadow:V2"));
  EXPECT_FALSE(registry_select_by_status(reg_, GetParam()));
  EXPECT_EQ(current(), "meadow");
}

INSTANTIATE_TEST_SUITE_P(Texts, StatusTextNoChange,
                         ::testing::Values("TB610R:V1.0",          // a leading part of a name
                                           "TB610R-1CH V1.0",      // the name without ':'
                                           "TB610R-1CH",           // the name alone
                                           "tb610r-1ch:V1.0",      // case matters
                                           "TB610R-1CHX:V1.0",     // longer than the name
                                           ":V1.0", "", "unknown:V1", "meadow:V3"));

TEST_F(RegistryTest, StatusTextOfEveryBoard) {
  for (uint32_t i = 1; i < reg_.count; ++i) {
    const std::string text = std::string(reg_.entries[i].name) + ":V9 FPGA:9";
    EXPECT_TRUE(registry_select_by_status(reg_, text.c_str())) << text;
    EXPECT_EQ(reg_.current, &reg_.entries[i]);
  }
  EXPECT_TRUE(registry_select_by_status(reg_, "TB610K-1CH:V1"));
  EXPECT_EQ(current(), "TB610K-1CH");
  EXPECT_FALSE(registry_select_by_status(reg_, nullptr));
}

struct TagCase {
  const char* text;
  const char* found;  // nullptr: none
};

void PrintTo(const TagCase& c, std::ostream* os) { *os << (c.text ? ::testing::PrintToString(std::string(c.text)) : "(no text)"); }

class FindByTag : public RegistryTest, public ::testing::WithParamInterface<TagCase> {};

TEST_P(FindByTag, PrefixRule) {
  const BoardEntry* e = registry_find_by_tag(reg_, GetParam().text);
  if (!GetParam().found) {
    EXPECT_EQ(e, nullptr);
  } else {
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->name, GetParam().found);
  }
  EXPECT_EQ(current(), "TB610K-1CH");  // looking up never changes the current board
}

INSTANTIATE_TEST_SUITE_P(Tags, FindByTag,
                         ::testing::Values(TagCase{"TB610:build 2020", "TB610K-1CH"},
                                           TagCase{"TB610R-1CH:V1 build", "TB610R-1CH"},
                                           TagCase{"TB610R:x", "TB610R-1CH"},
                                           TagCase{"TB8:x", "TB830R-1CH"},
                                           TagCase{"rw820c:V1", "rw820c"},
                                           TagCase{":empty tag", "TB610K-1CH"},
                                           TagCase{"TB610R-1CH no colon", nullptr},
                                           TagCase{"TB610R-1CHX:too long", nullptr},
                                           TagCase{"Meadow:case", nullptr},
                                           TagCase{"", nullptr},
                                           TagCase{nullptr, nullptr}));

}  // namespace
}  // namespace kestrel
