// The register panel's logic: the number-field check, its messages, the bus selector.
#include <gtest/gtest.h>

#include <string>

#include "boards/register_panel.h"
#include "boards/registry.h"

namespace kestrel {
namespace {

struct FieldCase {
  const char* text;  // nullptr: no text at all
  bool valid;
};

void PrintTo(const FieldCase& c, std::ostream* os) {
  *os << (c.text ? ::testing::PrintToString(std::string(c.text)) : "(no text)") << (c.valid ? " valid" : " invalid");
}

class NumberField : public ::testing::TestWithParam<FieldCase> {};

TEST_P(NumberField, Check) {
  EXPECT_EQ(number_field_valid(GetParam().text), GetParam().valid) << (GetParam().text ? GetParam().text : "(null)");
}

INSTANTIATE_TEST_SUITE_P(
    Part52, NumberField,
    ::testing::Values(
        // register access's cases.
        FieldCase{"", true}, FieldCase{"0x", true}, FieldCase{"0X1f", true}, FieldCase{" 255\r\n", true},
        FieldCase{"0x1G", false}, FieldCase{"-1", false}, FieldCase{"1.0", false}, FieldCase{"x10", false},
        FieldCase{"0 x1", false},
        // And around them.
        FieldCase{nullptr, true}, FieldCase{" \t\r\n", true}, FieldCase{"\t0xABCDEF\t", true},
        FieldCase{"0123", true}, FieldCase{"0X", true}, FieldCase{"+1", false}, FieldCase{"0x 1", false},
        FieldCase{"1 2", false}, FieldCase{"0x1h", false}, FieldCase{"10h", false}, FieldCase{"0b101", false},
        FieldCase{"0xx1", false}, FieldCase{"\v1", false}));

TEST(NumberField, TextIsCutAtTheWindowsBuffer) {
  // The window reads at most 4095 characters; what lies beyond is never seen.
  std::string text(REG_FIELD_TEXT_MAX - 1, '1');
  text += "G";
  EXPECT_TRUE(number_field_valid(text.c_str()));
  EXPECT_FALSE(number_field_valid(std::string_view(text)));
}

struct MessageCase {
  int control;
  const char* text;
  const char* message;  // nullptr: nothing shown
};

void PrintTo(const MessageCase& c, std::ostream* os) {
  *os << c.control << " " << ::testing::PrintToString(std::string(c.text));
}

class FieldMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(FieldMessage, Text) {
  const auto m = register_field_message(GetParam().control, GetParam().text);
  if (!GetParam().message) {
    EXPECT_FALSE(m.has_value());
  } else {
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(*m, GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(Fields, FieldMessage,
                         ::testing::Values(MessageCase{1011, "0x1G", "0x1G invalid device address"},
                                           MessageCase{1012, "-1", "-1 invalid device offset"},
                                           MessageCase{1013, " 1.0 ", " 1.0  invalid translate length"},
                                           MessageCase{1011, "0x48", nullptr},
                                           MessageCase{1013, "", nullptr},
                                           MessageCase{1014, "zz", nullptr}));

TEST(BusSelector, FallbackListWithoutCurrentBoard) {
  BoardRegistry reg;
  registry_build(reg, nullptr);
  reg.current = nullptr;
  const auto buses = register_panel_buses(reg);
  ASSERT_EQ(buses.size(), 3u);
  EXPECT_STREQ(buses[0].name, "i2c-self");
  EXPECT_STREQ(buses[1].name, "qspi");
  EXPECT_STREQ(buses[2].name, "i2c-fpga");
}

struct SelectCase {
  const char* board;
  int selection;
  const char* entry;
  bool device_enabled;
  const char* label;
  const char* device_text;
  const char* register_text;
};

void PrintTo(const SelectCase& c, std::ostream* os) {
  *os << (c.board ? c.board : "no board") << " selection " << c.selection;
}

class BusSelect : public ::testing::TestWithParam<SelectCase> {};

TEST_P(BusSelect, FillsTheFields) {
  BoardRegistry reg;
  registry_build(reg, nullptr);
  const SelectCase& c = GetParam();
  if (c.board) {
    registry_select_by_status(reg, (std::string(c.board) + ":").c_str());
    ASSERT_STREQ(reg.current->name, c.board);
  } else {
    reg.current = nullptr;
  }
  const BusSelection s = register_panel_select_bus(reg, c.selection);
  ASSERT_NE(s.entry, nullptr);
  EXPECT_STREQ(s.entry->name, c.entry);
  EXPECT_EQ(s.device_field_enabled, c.device_enabled);
  EXPECT_STREQ(s.register_label, c.label);
  EXPECT_EQ(s.device_text, c.device_text);
  EXPECT_EQ(s.register_text, c.register_text);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, BusSelect,
    ::testing::Values(SelectCase{"TB610K-1CH", 0, "i2c-self", true, "寄存器地址", "0x10", "0x0000001E"},
                      SelectCase{"TB610K-1CH", 1, "qspi", false, "Flash地址", "0x00", "0x00000000"},
                      SelectCase{"TB610K-1CH", 3, "ADC7611", false, "寄存器地址", "0x4C", "0x00000000"},
                      SelectCase{"TB610R-1CH", 3, "ADC7842", false, "寄存器地址", "0x20", "0x00000019"},
                      SelectCase{"TB610R-1CH", 11, "i2c-self", true, "寄存器地址", "0x10", "0x00000007"},
                      SelectCase{"meadow", 1, "i2c-second", true, "寄存器地址", "0x10", "0x0000001E"},
                      SelectCase{"rw820c", 2, "i2c-fpga", false, "寄存器地址", "0x10", "0x00000060"},
                      SelectCase{"rw820c", -1, "i2c-master", true, "寄存器地址", "0x10", "0x00000007"},
                      SelectCase{nullptr, 2, "i2c-fpga", false, "寄存器地址", "0x10", "0x0000001E"},
                      SelectCase{nullptr, 3, "i2c-self", true, "寄存器地址", "0x10", "0x0000001E"}));

}  // namespace
}  // namespace kestrel
