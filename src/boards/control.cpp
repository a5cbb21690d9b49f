// board_control for the eight boards. What each board answers is its control profile (a row of
// constant data); the exchanges behind the codes are shared.
#include "boards/control.h"

#include <array>
#include <cstring>
#include <initializer_list>

#include "boards/board_ops.h"
#include "boards/board_table.h"
#include "boards/diag_query.h"
#include "boards/fpga_dump.h"
#include "devlink/commands.h"
#include "devlink/hid_link.h"
#include "log/log.h"

namespace kestrel {
namespace {

// ---- Lists answered by codes 5 and 10 ----

constexpr const char* kResolutionsTB850V[] = {
    "NONE",          "1920 X 1080:1", "1600 X 1200:2", "1680 X 1050:3", "1440 X 900 :4",  "1360 X 768 :5",
    "1280 X 1024:6", "1280 X 800 :7", "1280 X 720 :8", "1024 X 768 :9", " 800 X 600 :10", " 768 X 576 :11",
    " 720 X 576 :12", " 640 X 480 :13", "2560 X 1440:14", "3840 X 2160:15", "4096 X 2160:16", nullptr,
};
constexpr const char* kResolutionsMeadow[] = {"3840 X 2160:1", "1920 X 1080:2", nullptr};
constexpr const char* kResolutionsRw820c[] = {"1920 X 1080:1", nullptr};
constexpr const char* kResolutionsDefault[] = {
    "NONE",          "1920 X 1080:1", "1600 X 1200:2", "1680 X 1050:3", "1440 X 900 :4",  "1360 X 768 :5",
    "1280 X 1024:6", "1280 X 800 :7", "1280 X 720 :8", "1024 X 768 :9", " 800 X 600 :10", " 768 X 576 :11",
    " 720 X 576 :12", " 640 X 480 :13", nullptr,
};

constexpr const char* kPortsMeadow[] = {"FPGA   hdmi", "RKCore hdmi", "port 2 none", nullptr};
constexpr const char* kPortsRw820c[] = {"color  RGB444", "color  YUV422", "color  YUV444", nullptr};
constexpr uint16_t OUTPUT_PORT_COUNT = 3;

constexpr const char* FILTER_BIT = "FPGA bitstream file (*.bit)|*.bit||";
constexpr const char* FILTER_BIN = "FPGA bitstream file (*.bin)|*.bin||";
constexpr const char* FILTER_FIRMWARE = "firmware upgrade image (*.img)|*.img||";
constexpr const char* FILTER_QZFFS = "qzffs file (*.qzffs)|*.qzffs|qzffs file (*.img)|*.img||";

constexpr const char* PANEL_PBTBX = "pbtbx:dialog";
constexpr const char* PANEL_PBCTL = "pbctl:dialog";

constexpr const char* USB_TEXT_FULL_ONLY = "2.0 (full speed only)";
constexpr const char* USB_TEXT_HIGH = "2.0 high speed";
constexpr const char* USB_TEXT_SUPER = "3.0 supper speed";
constexpr const char* USB_TEXT_UNKNOWN = "unknow";
constexpr uint8_t USB_SPEED_HIGH = 2, USB_SPEED_SUPER = 3;  // command-8 reply payload byte 3
constexpr size_t USB_SPEED_BYTE = 3;

// ---- Control profiles ----

constexpr uint32_t codes(std::initializer_list<uint32_t> list) {
  uint32_t m = 0;
  for (uint32_t c : list) m |= 1u << c;
  return m;
}

// Which form of an exchange a board uses: boards 1..6 ("CY") and boards 7, 8 differ in codes 8
// and 12.
enum class Family : uint8_t { Cy, Zh };

struct ControlProfile {
  uint32_t codes = 0;                          // bit n: the board implements code n
  Family family = Family::Cy;
  const char* panel_name = PANEL_PBTBX;
  const char* fpga_filter = nullptr;           // code 5, sub-code 1
  const char* const* resolutions = nullptr;    // code 5, sub-code 32
  const char* const* ports = nullptr;          // code 10
};

constexpr uint32_t kCodesBase = codes({CTL_PANEL_NAME, CTL_RAW_COMMAND, CTL_VIDEO_PROPS, CTL_USB_SPEED, CTL_FPGA_DUMP});
constexpr uint32_t kCodesZh = codes({CTL_PANEL_NAME, CTL_RAW_COMMAND, CTL_FILE_FILTER, CTL_WORK_STATUS, CTL_VIDEO_PROPS,
                                     CTL_OUTPUT_PORT, CTL_USB_SPEED, CTL_DEBUG_INFO, CTL_RUN_STATUS});

// Indexed by board number; row 0 is no board.
constexpr std::array<ControlProfile, BOARD_COUNT + 1> kProfiles = {{
    {},
    {.codes = kCodesBase},                                  // TB610K-1CH
    {.codes = kCodesBase},                                  // TB610M-1CH
    {.codes = kCodesBase},                                  // TB610R-1CH
    {.codes = kCodesBase | codes({CTL_BOARD_NAME})},        // TB720V-2CH
    {.codes = kCodesBase},                                  // TB830R-1CH
    {.codes = kCodesBase | codes({CTL_FILE_FILTER}), .fpga_filter = FILTER_BIT,
     .resolutions = kResolutionsTB850V},                    // TB850V-1CH
    {.codes = kCodesZh, .family = Family::Zh, .panel_name = PANEL_PBCTL, .fpga_filter = FILTER_BIN,
     .resolutions = kResolutionsMeadow, .ports = kPortsMeadow},  // meadow
    {.codes = kCodesZh | codes({CTL_MONITOR_CAPABLE, CTL_FPGA_DUMP}), .family = Family::Zh,
     .fpga_filter = FILTER_BIT, .resolutions = kResolutionsRw820c, .ports = kPortsRw820c},  // rw820c
}};

const ControlProfile* profile_of(const BoardEntry& entry) {
  const uint8_t n = entry.descriptor ? entry.descriptor->board_number() : 0;
  return (n >= 1 && n <= BOARD_COUNT) ? &kProfiles[n] : nullptr;
}

// ---- The codes ----

bool ctl_panel_name(const ControlProfile& p, uint32_t size, void* out) {
  if (!out || size < PANEL_NAME_SIZE) return false;
  std::memcpy(out, p.panel_name, PANEL_NAME_SIZE);
  return true;
}

// Command 15 on the long report: the caller's bytes out, the card's bytes back in their place.
bool ctl_raw_command(BoardContext& ctx, uint32_t size, void* out) {
  if (!out || size > LONG_PAYLOAD_MAX) return false;
  Answer a;
  if (!ctx.link.transact_long(CMD_BUS_XFER, 0, out, size, static_cast<uint16_t>(size), ctx.page, a)) return false;
  if (a.len > size || a.refused()) return false;
  std::memcpy(out, a.payload, a.len);
  return true;
}

bool ctl_file_filter(const ControlProfile& p, uint32_t sub, void* out) {
  if (!out) return false;
  auto& ans = *static_cast<FileFilterAnswer*>(out);
  switch (sub) {
    case CTL_FILTER_FPGA: ans.word[0] = p.fpga_filter; return true;
    case CTL_FILTER_FIRMWARE: ans.word[0] = FILTER_FIRMWARE; return true;
    case CTL_FILTER_FILESYSTEM: ans.word[0] = FILTER_QZFFS; return true;
    case CTL_FILTER_RESOLUTIONS: ans.word[0] = p.resolutions; return true;
    case CTL_FILTER_ZERO1: ans.word[0] = nullptr; return true;
    case CTL_FILTER_ZERO2: ans.word[0] = ans.word[1] = nullptr; return true;
    default: ans.word[0] = nullptr; return false;
  }
}

bool ctl_work_status(BoardContext& ctx, void* out) {
  if (!out) return false;
  const uint8_t one = 1;
  Answer a;
  if (!ctx.link.transact_long(CMD_WORK_STATUS, 0, &one, 1, WORK_STATUS_MIN, ctx.page, a)) return false;
  std::memcpy(out, a.payload, WORK_STATUS_COPY);
  return true;
}

bool ctl_board_name(const BoardEntry& entry, uint32_t size, void* out) {
  const char* name = entry.descriptor->name;
  const size_t n = std::strlen(name);
  if (!out || size <= n) return false;
  std::memcpy(out, name, n + 1);
  return true;
}

// Copies the byte ranges a board exchanges in the video property block.
void copy_props(Family f, uint8_t* dst, const uint8_t* src) {
  std::memcpy(dst + VP_MASK, src + VP_MASK, VP_BYTES_END);
  std::memcpy(dst + VP_GAIN_R, src + VP_GAIN_R, VP_GAINS_END - VP_GAIN_R);
  if (f == Family::Zh) std::memcpy(dst + VP_WORD24, src + VP_WORD24, VP_TAIL_END - VP_WORD24);
}

// Command 13: the property block out, the card's values back. Boards 1..6 also take the short
// 8-byte reply of older firmware, which carries no gains.
bool ctl_video_props(const ControlProfile& p, BoardContext& ctx, uint32_t size, void* out) {
  if (!out || size != VIDEO_PROPS_SIZE) return false;
  auto* block = static_cast<uint8_t*>(out);
  uint8_t payload[VIDEO_PROPS_SIZE] = {};
  copy_props(p.family, payload, block);
  const uint8_t seq = ctx.link.next_seq();
  if (!ctx.link.hid_put(seq, CMD_PROP_BLOCK, 0, payload, sizeof payload, ctx.page)) {
    if (p.family == Family::Cy) log_printf(LOG_STATUS_FAIL, "%s", LOG_VIDEO_PROPS_PUT_FAILED);
    return false;
  }
  Answer a;
  const uint16_t min_len = p.family == Family::Zh ? VIDEO_PROPS_SIZE : VP_BYTES_END;
  if (!ctx.link.fetch_more(CMD_PROP_BLOCK, seq, min_len, ctx.page, a) || a.refused()) return false;
  if (p.family == Family::Zh) {
    copy_props(p.family, block, a.payload);
    return true;
  }
  if (a.len >= VIDEO_PROPS_SIZE) {
    copy_props(p.family, block, a.payload);
  } else {
    std::memcpy(block, a.payload, VP_BYTES_END);
    for (size_t off : {VP_GAIN_R, VP_GAIN_G, VP_GAIN_B}) put_le16(block + off, VP_GAIN_DEFAULT);
  }
  std::memset(block + VP_WORD24, 0, VP_TAIL_END - VP_WORD24);
  return true;
}

// Command 15 on the short report: byte 0 = 6 selects the port in byte 1; all zero only asks.
// The card answers with the selected port in byte 6.
constexpr uint8_t PORT_SELECT = 6;
constexpr size_t PORT_REQ_SIZE = 8, PORT_REPLY_CURRENT = 6;

bool ctl_output_port(const ControlProfile& p, BoardContext& ctx, uint32_t size, void* out) {
  if (!out || size != PORT_SWITCH_RECORD_SIZE) return false;
  auto& rec = *static_cast<PortSwitchRecord*>(out);
  rec.names = p.ports;
  rec.count = OUTPUT_PORT_COUNT;
  uint8_t payload[PORT_REQ_SIZE] = {};
  if (rec.current != PortSwitchRecord::PORT_NONE) {
    payload[0] = PORT_SELECT;
    payload[1] = static_cast<uint8_t>(rec.current);
  }
  std::array<uint8_t, ANSWER_REPORT_SIZE> buf{};
  Answer a;
  if (!ctx.link.transact_short(CMD_BUS_XFER, 0, payload, sizeof payload, PORT_REQ_SIZE, buf, a)) return false;
  if (a.len > PORT_REQ_SIZE || a.refused()) return false;
  rec.current = a.payload[PORT_REPLY_CURRENT];
  return true;
}

bool ctl_usb_speed(const ControlProfile& p, BoardContext& ctx, uint32_t size, void* out) {
  auto* text = static_cast<char*>(out);
  if (p.family == Family::Zh) {
    if (!text || size < USB_TEXT_MIN_SIZE) return false;
    std::strcpy(text, USB_TEXT_FULL_ONLY);
    return true;
  }
  if (!text) return false;
  // Command 8 on the short report asks for the link speed only; no second answer follows.
  const uint8_t one = 1;
  std::array<uint8_t, ANSWER_REPORT_SIZE> buf{};
  Answer a;
  if (!ctx.link.transact_short(CMD_CYFXD, 0, &one, 1, 0, buf, a)) {
    text[0] = '\0';
    return false;
  }
  const uint8_t speed = a.payload[USB_SPEED_BYTE];
  std::strcpy(text, speed == USB_SPEED_HIGH ? USB_TEXT_HIGH : speed == USB_SPEED_SUPER ? USB_TEXT_SUPER : USB_TEXT_UNKNOWN);
  return true;
}

}  // namespace

namespace boards {

bool control_board(const BoardEntry& entry, BoardContext& ctx, uint32_t code, uint32_t size, void* out) {
  const ControlProfile* p = profile_of(entry);
  if (!p || code >= 32 || !(p->codes & (1u << code))) return false;
  switch (code) {
    case CTL_PANEL_NAME: return ctl_panel_name(*p, size, out);
    case CTL_RAW_COMMAND: return ctl_raw_command(ctx, size, out);
    case CTL_FILE_FILTER: return ctl_file_filter(*p, size, out);
    case CTL_WORK_STATUS: return ctl_work_status(ctx, out);
    case CTL_BOARD_NAME: return ctl_board_name(entry, size, out);
    case CTL_VIDEO_PROPS: return ctl_video_props(*p, ctx, size, out);
    case CTL_OUTPUT_PORT: return ctl_output_port(*p, ctx, size, out);
    case CTL_MONITOR_CAPABLE: return true;
    case CTL_USB_SPEED: return ctl_usb_speed(*p, ctx, size, out);
    case CTL_FPGA_DUMP: return fpga_dump(entry, ctx, size, out);
    case CTL_DEBUG_INFO: return board_debug_dump(entry, ctx, true);
    case CTL_RUN_STATUS: return board_debug_dump(entry, ctx, false);
    default: return false;
  }
}

}  // namespace boards

const char* const* board_resolution_list(uint8_t board_number) {
  return board_number <= BOARD_COUNT ? kProfiles[board_number].resolutions : nullptr;
}

const char* const* board_output_port_list(uint8_t board_number) {
  return board_number <= BOARD_COUNT ? kProfiles[board_number].ports : nullptr;
}

const char* const* default_resolution_list() { return kResolutionsDefault; }

}  // namespace kestrel
