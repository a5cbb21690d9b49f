// Control and command ids of the main window. The desktop window gives each widget its id as
// objectName; the command-line front end and the tests address the same ids.
#pragma once

#include <cstdint>

namespace kestrel::ids {

// Engineering menu items without an output of their own.
constexpr uint32_t ID_QZDBG_ASK = 32803;   // the debug channel's state asked, nothing printed
constexpr uint32_t ID_QZDBG_ON = 32804;    // the debug channel switched on, nothing printed
constexpr uint32_t ID_HDBC_MODE3 = 32805;
constexpr uint32_t ID_HDBC_MODE4 = 32806;

// The card's events as the window queues them (its menu has the monitor query too).
constexpr uint32_t ID_STATUS_REFRESH = 32808;
constexpr uint32_t ID_DEV_TEXT_EVENT = 32821;
constexpr uint32_t ID_DEV_INTR_EVENT = 32822;
constexpr uint32_t ID_MONITOR_QUERY = 32823;
constexpr uint32_t ID_STDVIEW_EVENT = 32824;

// Controls of the main window template.
constexpr uint32_t IDOK = 1;
constexpr uint32_t IDCANCEL = 2;
constexpr uint32_t CARD_LIST = 1000;
constexpr uint32_t BTN_REPAIR_ONLY = 1001;
constexpr uint32_t BTN_USB_FIRMWARE = 1002;
constexpr uint32_t BTN_FPGA_FIRMWARE = 1003;
constexpr uint32_t BTN_1005 = 1005;
constexpr uint32_t PROGRESS = 1006;
constexpr uint32_t INPUT_LIST = 1007;
constexpr uint32_t FORMAT_LABEL = 1008;
constexpr uint32_t REG_DEVICE = 1011;
constexpr uint32_t REG_ADDRESS = 1012;
constexpr uint32_t REG_COUNT = 1013;
constexpr uint32_t REG_READ_DATA = 1014;
constexpr uint32_t REG_WRITE_DATA = 1015;
constexpr uint32_t HALF_RATE_BOX = 1026;
constexpr uint32_t RADIO_YUV2 = 1027;
constexpr uint32_t RADIO_RGB24 = 1028;
constexpr uint32_t CAPTION_OUTPUT_MODE = 1029;
constexpr uint32_t VERSION_TEXT = 1030;
constexpr uint32_t DEFAULT_SIZE_LIST = 1031;
constexpr uint32_t CAPTION_DEFAULT_SIZE = 1032;
constexpr uint32_t CAPTION_TARGET_VERSION = 1033;
constexpr uint32_t BTN_EXIT = 1041;
constexpr uint32_t HOLD_BOX = 1042;
constexpr uint32_t BTN_LOCK = 1051;
constexpr uint32_t REG_BUS_LIST = 1053;
constexpr uint32_t CAPTION_OUTPUT_PORT = 1055;
constexpr uint32_t OUTPUT_PORT_LIST = 1056;
constexpr uint32_t CAPTION_UPGRADE = 1057;
constexpr uint32_t RADIO_NV12 = 1058;
constexpr uint32_t BTN_DEBUG_1061 = 1061;
constexpr uint32_t BTN_VIDEO_PROPS = 1500;
constexpr uint32_t CAPTION_UVC = 1902;

// Commands.
constexpr uint32_t ID_ABOUT = 16;
constexpr uint32_t ID_HELP = 32768;
constexpr uint32_t ID_SCRIPT_FIRST = 32780;  // 32780..32795: script items and accelerators
constexpr uint32_t ID_SCRIPT_LAST = 32795;
constexpr uint32_t ID_RUN_STATUS = 32800;
constexpr uint32_t ID_DEBUG_INFO = 32801;
constexpr uint32_t ID_VERSION = 32802;
// This program's own commands, for its menu bar: the board's FPGA status dump (no command of
// the card's window carried it) and the log pane.
constexpr uint32_t ID_FPGA_DUMP = 32825;
constexpr uint32_t ID_LOG_PANE = 32826;
constexpr uint32_t ID_PREVIEW_PANE = 32827;  // the card's live picture beside the controls

}  // namespace kestrel::ids
