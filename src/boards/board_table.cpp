// The eight board models of the board table, as constant data.
#include "boards/board_table.h"

#include <array>

#include "boards/board_ops.h"

namespace kestrel {
namespace {

using namespace boards;

// ---- Input names (null-ended, input-index order) ----

constexpr const char* kInputsTB610KM[] = {"HDMI", "unknow", "SDI", nullptr};
constexpr const char* kInputsTB610R[] = {"HDMI", "DVI", "SDI", "VGA(RGB)", "YrYbY", "S-VIDEO", "AV-CVBS", nullptr};
constexpr const char* kInputsTB720V[] = {"HDMI0", "HDMI1", nullptr};
constexpr const char* kInputsTB8x0[] = {"hdmi", nullptr};
constexpr const char* kInputsMeadow[] = {"HDMI", "SDI", "LVDS", nullptr};
constexpr const char* kInputsRw820c[] = {"SDI", nullptr};

// ---- Bus entries ----

constexpr BusEntry i2c(const char* name, uint8_t attribute, uint8_t free_address, uint16_t device,
                       uint32_t reg, uint16_t reserved = 0, uint8_t port = 0) {
  return BusEntry{.name = name, .kind = BUS_KIND_I2C, .port = port, .attribute = attribute,
                  .free_address = free_address, .reserved = reserved, .device_address = device,
                  .register_address = reg};
}
constexpr BusEntry kQspi{.name = "qspi", .kind = BUS_KIND_QSPI};

constexpr BusEntry kBusesTB610K[] = {
    i2c("i2c-self", 0, 1, 0x10, 0x1E), kQspi,           i2c("i2c-fpga", 1, 0, 0x10, 0x1E),
    i2c("ADC7611", 2, 0, 0x4C, 0),     i2c("CP", 1, 0, 0x22, 0), i2c("HDMI", 3, 0, 0x35, 0),
    BUS_TERMINATOR,
};
constexpr BusEntry kBusesTB610M[] = {
    i2c("i2c-self", 0, 1, 0x10, 0x1E), kQspi, i2c("i2c-fpga", 1, 0, 0x10, 0x1E),
    i2c("iTE6802", 2, 0, 0x48, 0, /*reserved=*/8),
    BUS_TERMINATOR,
};
constexpr BusEntry kBusesTB610R[] = {
    i2c("i2c-self", 0, 1, 0x10, 0x07), kQspi,
    i2c("i2c-fpga", 1, 0, 0x10, 0x0A), i2c("ADC7842", 1, 0, 0x20, 0x19),
    i2c("CP", 1, 0, 0x22, 0),          i2c("VDP", 1, 0, 0x24, 0),
    i2c("AFE", 1, 0, 0x26, 0),         i2c("HDMI", 1, 0, 0x34, 0),
    i2c("CEC", 1, 0, 0x40, 0),         i2c("SDP", 1, 0, 0x48, 0),
    i2c("SDPIO", 1, 0, 0x4A, 0),
    BUS_TERMINATOR,
};
constexpr BusEntry kBusesTB720V[] = {
    i2c("i2c-self", 0, 1, 0x10, 0x1E), kQspi, i2c("i2c-fpga", 1, 0, 0x10, 0x1E),
    BUS_TERMINATOR,
};
constexpr BusEntry kBusesTB8x0[] = {
    i2c("i2c-self", 0, 1, 0x10, 0x1E), kQspi, i2c("i2c-fpga", 1, 0, 0x10, 0x1E),
    i2c("i2c-gsv2k11", 2, 0, 0x58, 0),
    BUS_TERMINATOR,
};
constexpr BusEntry kBusesMeadow[] = {
    i2c("i2c-master", 0, 1, 0x10, 0x1E), i2c("i2c-second", 0, 1, 0x10, 0x1E, 0, /*port=*/1), kQspi,
    i2c("i2c-fpga", 1, 0, 0x10, 0),
    BUS_TERMINATOR,
};
constexpr BusEntry kBusesRw820c[] = {
    i2c("i2c-master", 0, 1, 0x10, 0x07), kQspi, i2c("i2c-fpga", 1, 0, 0x10, 0x60),
    i2c("iTE66122", 2, 0, 0x4C, 0, /*reserved=*/8),
    BUS_TERMINATOR,
};

// Used by the register tools when no board is current: the first three entries of board 1.
constexpr BusEntry kFallbackBuses[] = {
    i2c("i2c-self", 0, 1, 0x10, 0x1E), kQspi, i2c("i2c-fpga", 1, 0, 0x10, 0x1E),
    BUS_TERMINATOR,
};

// ---- Debug name tables of meadow and rw820c: the bits of the card's debug level and module
// masks. Nothing in Kestrel reads them; they keep the card's vocabulary with the catalogue. ----

constexpr std::array<const char*, DEBUG_NAME_COUNT> kDebugLevelNames = {
    "触发信息",      "条件信息",      "关键信息",      "调试命令",      "显示级别",      "跟踪级别",
    "日志级别",      "错误信息",      "告警信息",      "提示信息",      "调试关键信息",  "调试显示",
    "调试触发",      "调试日志",      "调试信息",      "调试提示",      "未定义",        "&& 条件控制",
    "&& 关键信息",   "&& 调试命令",   "&& 显示级别",   "&& 跟踪级别",   "&& 日志级别",   "&& 错误信息",
    "&& 告警信息",   "&& 提示信息",   "&& 调试关键",   "&& 调试显示",   "&& 调试触发",   "&& 调试日志",
    "&& 调试信息",   "&& 调试提示",
};

constexpr std::array<const char*, DEBUG_NAME_COUNT> kDebugModuleNames = {
    "全局调试使能",          "未定义",               "未定义",             "未定义",
    "未定义",                "调试触发位05",         "调试触发位06",       "调试触发位07",
    "8 过滤模块",            "9 切换扫描模块",       "10侦测模块",         "11配置dma模块",
    "12控制GPIF模块",        "调试触发位13",         "调试触发位14",       "调试触发位15",
    "调试触发位16",          "调试触发位17",         "UVC 视频输入设备驱动", "dma 定时查询器信息",
    "过滤详细信息",          "过滤切换信息",         "过滤提示信息",       "过滤状态信息",
    "inf 关键信息",          "uac 关键信息",         "uvc 关键信息",       "key 关键信息",
    "serv event 调试",       "usb uac 控制调试",     "usb uvc 控制调试",   "usb setup event 调试",
};

// ---- The descriptors ----

constexpr BoardDescriptor kTB610K{
    .name = "TB610K-1CH", .family_tag = "CY",
    .probe = probe_tb610k, .control = control_board, .check_image = check_image_always,
    .layout = 0x00060301, .input_names = kInputsTB610KM, .buses = kBusesTB610K,
};
constexpr BoardDescriptor kTB610M{
    .name = "TB610M-1CH", .family_tag = "CY",
    .probe = probe_tb610m, .control = control_board, .check_image = check_image_always,
    .layout = 0x00040302, .input_names = kInputsTB610KM, .buses = kBusesTB610M,
};
constexpr BoardDescriptor kTB610R{
    .name = "TB610R-1CH", .family_tag = "CY",
    .probe = probe_tb610r, .control = control_board, .check_image = check_image_always,
    .layout = 0x000B0703, .input_names = kInputsTB610R, .buses = kBusesTB610R,
};
constexpr BoardDescriptor kTB720V{
    .name = "TB720V-2CH", .family_tag = "CY",
    .probe = probe_tb720v, .control = control_board, .check_image = check_image_always,
    .layout = 0x00030204, .input_names = kInputsTB720V, .buses = kBusesTB720V,
};
constexpr BoardDescriptor kTB830R{
    .name = "TB830R-1CH", .family_tag = "CY",
    .probe = probe_always, .control = control_board, .check_image = check_image_always,
    .layout = 0x00040105, .input_names = kInputsTB8x0, .buses = kBusesTB8x0,
};
constexpr BoardDescriptor kTB850V{
    .name = "TB850V-1CH", .family_tag = "CY",
    .probe = probe_always, .control = control_board, .check_image = check_image_always,
    .layout = 0x00040106, .input_names = kInputsTB8x0, .buses = kBusesTB8x0,
};
constexpr BoardDescriptor kMeadow{
    .name = "meadow", .family_tag = "",
    .probe = probe_meadow, .control = control_board, .check_image = check_image_trailer,
    .layout = 0x00040307, .input_names = kInputsMeadow, .buses = kBusesMeadow,
    .debug_level_names = kDebugLevelNames.data(), .debug_module_names = kDebugModuleNames.data(),
};
constexpr BoardDescriptor kRw820c{
    .name = "rw820c", .family_tag = "",
    .probe = probe_rw820c, .control = control_board, .check_image = check_image_trailer,
    .layout = 0x00040108, .input_names = kInputsRw820c, .buses = kBusesRw820c,
    .debug_level_names = kDebugLevelNames.data(), .debug_module_names = kDebugModuleNames.data(),
};

// The registry is built from this list, in this order; nothing registers itself.
constexpr const BoardDescriptor* kBoardTable[BOARD_COUNT] = {
    &kTB610K, &kTB610M, &kTB610R, &kTB720V, &kTB830R, &kTB850V, &kMeadow, &kRw820c,
};

// The layout words must describe the lists they sit beside.
constexpr bool layout_consistent() {
  for (size_t i = 0; i < BOARD_COUNT; ++i) {
    const BoardDescriptor& d = *kBoardTable[i];
    if (d.board_number() != i + 1) return false;
    if (d.input_count() != name_list_count(d.input_names)) return false;
    if (d.bus_count() != bus_list_count(d.buses)) return false;
  }
  return true;
}
static_assert(layout_consistent(), "a layout word disagrees with its input or bus list");

constexpr bool debug_names_complete(const std::array<const char*, DEBUG_NAME_COUNT>& names) {
  for (const char* n : names)
    if (!n) return false;
  return true;
}
static_assert(debug_names_complete(kDebugLevelNames) && debug_names_complete(kDebugModuleNames));
static_assert(bus_list_count(kFallbackBuses) == FALLBACK_BUS_COUNT);

}  // namespace

std::span<const BoardDescriptor* const> board_table() { return kBoardTable; }

const BusEntry* fallback_buses() { return kFallbackBuses; }

}  // namespace kestrel
