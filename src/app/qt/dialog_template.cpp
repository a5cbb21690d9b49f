#include "app/qt/dialog_template.h"

#include "app/ids.h"

namespace kestrel::qt {

namespace {

using K = ControlKind;

// In template order, which is also the tab order.
constexpr ControlSpec kControls[] = {
    {ids::BTN_EXIT, K::PushButton, 297, 83, 48, 12, "退出", false, {39, -1, -1}},
    {ids::CARD_LIST, K::DropList, 53, 4, 292, 30, ""},
    {ids::INPUT_LIST, K::DropList, 54, 36, 50, 97, ""},
    {ids::HALF_RATE_BOX, K::CheckBox, 112, 68, 47, 12, "自动帧率减半", false, {9, -1, -1}},
    {ids::CAPTION_OUTPUT_MODE, K::StaticLeft, 164, 70, 43, 8, "视频输出模式:", false, {10, -1, -1}},
    {ids::RADIO_YUV2, K::Radio, 208, 68, 26, 12, "YUV2", true},
    {ids::RADIO_RGB24, K::Radio, 236, 68, 29, 12, "RGB24"},
    {ids::BTN_USB_FIRMWARE, K::PushButton, 53, 83, 50, 12, "升级USB固件", false, {13, -1, -1}},
    {ids::BTN_FPGA_FIRMWARE, K::PushButton, 109, 83, 50, 12, "升级FPGA固件", false, {14, -1, -1}},
    {ids::DEFAULT_SIZE_LIST, K::DropCombo, 54, 52, 50, 115, ""},
    {ids::CAPTION_UVC, K::StaticRight, 4, 6, 45, 8, "UVC设备:", false, {2, -1, -1}},
    {ids::PROGRESS, K::Progress, 5, 96, 340, 6, ""},
    {ids::CAPTION_DEFAULT_SIZE, K::StaticRight, 4, 54, 45, 8, "默认尺寸:", false, {6, -1, -1}},
    {ids::FORMAT_LABEL, K::StaticLeft, 106, 38, 179, 8, "", false, {1, -1, -1}},
    {ids::CAPTION_TARGET_VERSION, K::StaticRight, 4, 22, 45, 8, "目标版本:", false, {3, -1, -1}},
    {ids::VERSION_TEXT, K::ReadOnlyEdit, 53, 22, 294, 12, ""},
    {ids::HOLD_BOX, K::CheckBox, 8, 38, 41, 8, "输入源自动", false, {4, 5, -1}},
    {ids::BTN_LOCK, K::PushButton, 297, 67, 48, 12, "模式保存", false, {15, 16, -1}},
    {ids::CAPTION_OUTPUT_PORT, K::StaticRight, 4, 68, 45, 8, "输出端口选择:", false, {7, -1, -1}},
    {ids::OUTPUT_PORT_LIST, K::DropList, 54, 68, 50, 97, ""},
    // Captions start groups of their own, so NV12 is not in the group of YUV2 and RGB24.
    {ids::RADIO_NV12, K::Radio, 266, 68, 29, 12, "NV12", true},
    {ids::BTN_VIDEO_PROPS, K::PushButton, 297, 51, 48, 12, "视频属性调节", false, {12, -1, -1}},
    {ids::CAPTION_UPGRADE, K::StaticRight, 4, 84, 45, 8, "升级模块选择:", false, {8, -1, -1}},
};

constexpr DialogSpec kDialog{352, 102, "KESTREL", "微软雅黑", 12, kControls};

constexpr uint8_t CARD = MENU_NEEDS_CARD, LOG = MENU_SHOWS_LOG, CHECK = MENU_CHECKABLE, DEAD = MENU_NO_ACTION;

constexpr MenuItemSpec kCardMenu[] = {
    {32809, "Restart 重新初始化", CARD | LOG},
    {32810, "probe 视频手动检测", CARD | LOG},
    {32811, "video  启动视频输出", CARD | LOG},
    {0, ""},
    {32814, "驱动设备重新初始化", CARD | LOG},
    {32813, "驱动FPGA重新初始化", DEAD},
    {32815, "音视频接口重新初始化", DEAD},
};
constexpr MenuItemSpec kDiagnosticsMenu[] = {
    {ids::ID_VERSION, "版本信息查询", CARD | LOG},
    {ids::ID_DEBUG_INFO, "查询调试信息", CARD | LOG},
    {ids::ID_RUN_STATUS, "运行状态查询", CARD | LOG},
    {ids::ID_MONITOR_QUERY, "监视状态查询", CARD | LOG},
    {ids::ID_FPGA_DUMP, "FPGA 状态转储", CARD | LOG},
    {0, ""},
    {32812, "调试模式切换", CARD | LOG},
    {ids::BTN_DEBUG_1061, "调试通道输出", CARD | LOG | CHECK},
    {32803, "查询调试通道状态", CARD | LOG},
    {32804, "打开调试通道", CARD | LOG},
    {32805, "hdbc 保存并清除调试位", CARD | LOG},
    {32806, "hdbc 恢复调试位", CARD | LOG},
};
constexpr MenuItemSpec kServiceMenu[] = {
    {32817, "保存 FPGA 寄存器", CARD},
    {32818, "保存 TB610R FPGA 寄存器", CARD},
    {32819, "保存 TB610 FPGA 寄存器", CARD},
    {32820, "保存 TB720V FPGA 寄存器", CARD},
};
constexpr MenuItemSpec kViewMenu[] = {
    {ids::ID_LOG_PANE, "日志窗格", CHECK},
    {ids::ID_PREVIEW_PANE, "预览窗格", CHECK},
};
constexpr MenuItemSpec kHelpMenu[] = {
    {ids::ID_HELP, "用户指南", 0, "F1"},
    {0, ""},
    {ids::ID_ABOUT, ABOUT_ITEM_TEXT},
};
constexpr MenuSpec kMenuBar[] = {
    {"card", "采集卡(&C)", kCardMenu},
    {"diagnostics", "诊断(&D)", kDiagnosticsMenu},
    {"service", "维护(&S)", kServiceMenu},
    {"view", "视图(&V)", kViewMenu},
    {"help", "帮助(&H)", kHelpMenu},
};

constexpr AccelSpec kAccels[] = {
    {AccelKey::Keypad, 0, true, 32780},       {AccelKey::Keypad, 1, true, 32781},
    {AccelKey::Keypad, 2, true, 32782},       {AccelKey::Keypad, 3, true, 32783},
    {AccelKey::Keypad, 4, true, 32784},       {AccelKey::Keypad, 5, true, 32785},
    {AccelKey::Keypad, 6, true, 32786},       {AccelKey::Keypad, 7, true, 32787},
    {AccelKey::Keypad, 8, true, 32788},       {AccelKey::Keypad, 9, true, 32789},
    {AccelKey::Semicolon, 0, true, 32790},    {AccelKey::Slash, 0, true, 32791},
    {AccelKey::Grave, 0, true, 32792},        {AccelKey::BracketLeft, 0, true, 32793},
    {AccelKey::Backslash, 0, true, 32794},    {AccelKey::BracketRight, 0, true, 32795},
    {AccelKey::F1, 0, false, ids::ID_HELP},
};

}  // namespace

const DialogSpec& main_dialog_template() { return kDialog; }

const ControlSpec* find_control(uint32_t id) {
  for (const ControlSpec& c : kControls)
    if (c.id == id) return &c;
  return nullptr;
}

std::span<const MenuSpec> menu_bar_spec() { return kMenuBar; }
std::span<const AccelSpec> accelerators() { return kAccels; }

}  // namespace kestrel::qt
