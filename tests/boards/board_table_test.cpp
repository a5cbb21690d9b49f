// The board table, row by row. The expected texts are written the way the catalogue writes them
// notation, so that a row here reads like the row of its table.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "boards/board_table.h"

namespace kestrel {
namespace {

// "name" (kind,port,attribute,free,reserved,0xDEV,0xREG), as the board table writes a bus entry.
std::string render_bus(const BusEntry& e) {
  char buf[128];
  auto hex = [](unsigned v) {
    char h[16] = "0";
    if (v) std::snprintf(h, sizeof h, "0x%02X", v);
    return std::string(h);
  };
  std::snprintf(buf, sizeof buf, "\"%s\" (%u,%u,%u,%u,%u,%s,%s)", e.name, e.kind, e.port, e.attribute,
                e.free_address, e.reserved, hex(e.device_address).c_str(), hex(e.register_address).c_str());
  return buf;
}

std::string render_buses(const BusEntry* b) {
  std::string s;
  for (; !b->is_terminator(); ++b) s += (s.empty() ? "" : "; ") + render_bus(*b);
  return s;
}

std::string render_names(const char* const* n) {
  std::string s;
  for (; *n; ++n) s += (s.empty() ? "\"" : ", \"") + std::string(*n) + "\"";
  return s;
}

struct Row {
  const char* name;
  const char* family;
  uint32_t layout;
  const char* inputs;
  const char* buses;
  bool debug_names;
};

// the board table, "The table in full", "Input names" and "Bus entries".
const Row kRows[] = {
    {"TB610K-1CH", "CY", 0x00060301, R"("HDMI", "unknow", "SDI")",
     R"("i2c-self" (1,0,0,1,0,0x10,0x1E); "qspi" (2,0,0,0,0,0,0); "i2c-fpga" (1,0,1,0,0,0x10,0x1E); "ADC7611" (1,0,2,0,0,0x4C,0); "CP" (1,0,1,0,0,0x22,0); "HDMI" (1,0,3,0,0,0x35,0))",
     false},
    {"TB610M-1CH", "CY", 0x00040302, R"("HDMI", "unknow", "SDI")",
     R"("i2c-self" (1,0,0,1,0,0x10,0x1E); "qspi" (2,0,0,0,0,0,0); "i2c-fpga" (1,0,1,0,0,0x10,0x1E); "iTE6802" (1,0,2,0,8,0x48,0))",
     false},
    {"TB610R-1CH", "CY", 0x000B0703, "\"HDMI\", \"DVI\", \"SDI\", \"VGA(RGB)\", \"YrYbY\", \"S-VIDEO\", \"AV-CVBS\"",
     R"("i2c-self" (1,0,0,1,0,0x10,0x07); "qspi" (2,0,0,0,0,0,0); "i2c-fpga" (1,0,1,0,0,0x10,0x0A); "ADC7842" (1,0,1,0,0,0x20,0x19); "CP" (1,0,1,0,0,0x22,0); "VDP" (1,0,1,0,0,0x24,0); "AFE" (1,0,1,0,0,0x26,0); "HDMI" (1,0,1,0,0,0x34,0); "CEC" (1,0,1,0,0,0x40,0); "SDP" (1,0,1,0,0,0x48,0); "SDPIO" (1,0,1,0,0,0x4A,0))",
     false},
    {"TB720V-2CH", "CY", 0x00030204, R"("HDMI0", "HDMI1")",
     R"("i2c-self" (1,0,0,1,0,0x10,0x1E); "qspi" (2,0,0,0,0,0,0); "i2c-fpga" (1,0,1,0,0,0x10,0x1E))", false},
    {"TB830R-1CH", "CY", 0x00040105, R"("hdmi")",
     R"("i2c-self" (1,0,0,1,0,0x10,0x1E); "qspi" (2,0,0,0,0,0,0); "i2c-fpga" (1,0,1,0,0,0x10,0x1E); "i2c-gsv2k11" (1,0,2,0,0,0x58,0))",
     false},
    {"TB850V-1CH", "CY", 0x00040106, R"("hdmi")",
     R"("i2c-self" (1,0,0,1,0,0x10,0x1E); "qspi" (2,0,0,0,0,0,0); "i2c-fpga" (1,0,1,0,0,0x10,0x1E); "i2c-gsv2k11" (1,0,2,0,0,0x58,0))",
     false},
    {"meadow", "", 0x00040307, R"("HDMI", "SDI", "LVDS")",
     R"("i2c-master" (1,0,0,1,0,0x10,0x1E); "i2c-second" (1,1,0,1,0,0x10,0x1E); "qspi" (2,0,0,0,0,0,0); "i2c-fpga" (1,0,1,0,0,0x10,0))",
     true},
    {"rw820c", "", 0x00040108, R"("SDI")",
     R"("i2c-master" (1,0,0,1,0,0x10,0x07); "qspi" (2,0,0,0,0,0,0); "i2c-fpga" (1,0,1,0,0,0x10,0x60); "iTE66122" (1,0,2,0,8,0x4C,0))",
     true},
};

class BoardTableRow : public ::testing::TestWithParam<size_t> {};

TEST_P(BoardTableRow, MatchesPart51) {
  const Row& want = kRows[GetParam()];
  ASSERT_EQ(board_table().size(), BOARD_COUNT);
  const BoardDescriptor& d = *board_table()[GetParam()];
  EXPECT_STREQ(d.name, want.name);
  EXPECT_STREQ(d.family_tag, want.family);
  EXPECT_EQ(d.layout, want.layout);
  EXPECT_EQ(d.board_number(), GetParam() + 1);
  EXPECT_EQ(render_names(d.input_names), want.inputs);
  EXPECT_EQ(name_list_count(d.input_names), d.input_count());
  EXPECT_EQ(render_buses(d.buses), want.buses);
  EXPECT_EQ(bus_list_count(d.buses), d.bus_count());
  // The terminator: no name, kind 0, port 0xFF, every other field 0.
  const BusEntry& t = d.buses[d.bus_count()];
  EXPECT_EQ(t.name, nullptr);
  EXPECT_EQ(t.kind, 0);
  EXPECT_EQ(t.port, 0xFF);
  EXPECT_EQ(t.attribute + t.free_address + t.reserved + t.device_address + t.register_address, 0u);
  EXPECT_NE(d.probe, nullptr);
  EXPECT_NE(d.control, nullptr);
  EXPECT_NE(d.check_image, nullptr);
  EXPECT_EQ(d.debug_level_names != nullptr, want.debug_names);
  EXPECT_EQ(d.debug_module_names != nullptr, want.debug_names);
}

INSTANTIATE_TEST_SUITE_P(EveryBoard, BoardTableRow, ::testing::Range<size_t>(0, BOARD_COUNT),
                         [](const auto& info) {
                           std::string n = kRows[info.param].name;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

TEST(BoardTable, FallbackBusesAreBoardOnesFirstThree) {
  EXPECT_EQ(render_buses(fallback_buses()),
            R"("i2c-self" (1,0,0,1,0,0x10,0x1E); "qspi" (2,0,0,0,0,0,0); "i2c-fpga" (1,0,1,0,0,0x10,0x1E))");
  EXPECT_TRUE(fallback_buses()[FALLBACK_BUS_COUNT].is_terminator());
}

std::string join32(const char* const* names) {
  std::string s;
  for (size_t i = 0; i < DEBUG_NAME_COUNT; ++i) s += std::string(i ? "|" : "") + names[i];
  return s;
}

TEST(BoardTable, DebugNameTablesOfMeadowAndRw820c) {
  const BoardDescriptor& meadow = *board_table()[BOARD_MEADOW - 1];
  const BoardDescriptor& rw820c = *board_table()[BOARD_RW820C - 1];
  const std::string levels =
      "触发信息|条件信息|关键信息|调试命令|显示级别|跟踪级别|日志级别|错误信息|告警信息|提示信息|调试关键信息|"
      "调试显示|调试触发|调试日志|调试信息|调试提示|未定义|&& 条件控制|&& 关键信息|&& 调试命令|&& 显示级别|"
      "&& 跟踪级别|&& 日志级别|&& 错误信息|&& 告警信息|&& 提示信息|&& 调试关键|&& 调试显示|&& 调试触发|"
      "&& 调试日志|&& 调试信息|&& 调试提示";
  const std::string modules =
      "全局调试使能|未定义|未定义|未定义|未定义|调试触发位05|调试触发位06|调试触发位07|8 过滤模块|9 切换扫描模块|"
      "10侦测模块|11配置dma模块|12控制GPIF模块|调试触发位13|调试触发位14|调试触发位15|调试触发位16|调试触发位17|"
      "UVC 视频输入设备驱动|dma 定时查询器信息|过滤详细信息|过滤切换信息|过滤提示信息|过滤状态信息|inf 关键信息|"
      "uac 关键信息|uvc 关键信息|key 关键信息|serv event 调试|usb uac 控制调试|usb uvc 控制调试|usb setup event 调试";
  for (const BoardDescriptor* d : {&meadow, &rw820c}) {
    EXPECT_EQ(join32(d->debug_level_names), levels) << d->name;
    EXPECT_EQ(join32(d->debug_module_names), modules) << d->name;
  }
}

}  // namespace
}  // namespace kestrel
