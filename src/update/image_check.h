// Firmware image inspection and the match check: find the info text inside a
// USB-controller image, compare its board tag with the attached board's, let the image's board
// model probe the hardware, and ask the user through show_alert with one of four verdicts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "update/alert.h"
#include "update/image_file.h"

namespace kestrel {

class HidLink;
struct BoardRegistry;
struct BoardEntry;

// Fallback info texts (none contains ':', so none has a tag).
inline constexpr const char* IMAGE_INFO_UNKNOWN_FILE = "未知usb固件文件, 或者固件版本过旧, 不建议升级";
inline constexpr const char* IMAGE_INFO_DAMAGED = "固件错误或固件被损坏, 不能升级, 升级会导致系统故障";
inline constexpr const char* IMAGE_INFO_UNRECOGNISED = "未识别固件文件, 或者固件版本过旧, 不建议升级";

// Texts of the four verdict rows.
inline constexpr const char* ALERT_TITLE = "usb固件升级匹配检查";
inline constexpr const char* ALERT_CANCEL = "取消";
inline constexpr const char* VERDICT_SUITS = " 固件信息与目标板适合, 可以升级\r\n";
inline constexpr const char* VERDICT_CAREFUL = " 目标或许由于固件版本过旧, 不能正常识别, 谨慎升级\r\n";
inline constexpr const char* VERDICT_CONFLICT = " 新固件与目标板芯片冲突，不推荐升级\r\n";
inline constexpr const char* VERDICT_MISMATCH = " 固件信息与目标板不匹配, 不可升级\r\n";
inline constexpr const char* ACCEPT_UPGRADE = "升级";
inline constexpr const char* ACCEPT_CAREFUL = "谨慎升级";
inline constexpr const char* ACCEPT_FORCE = "强制升级";

// Working texts are limited to 2,047 characters (cut at a character boundary).
constexpr size_t IMAGE_TEXT_MAX = 2047;

// The FX3 boot-image signature "CY".
constexpr uint8_t IMAGE_SIG0 = 0x43, IMAGE_SIG1 = 0x59;

// What the check needs of the card: its link, the board registry, a
// transfer area of two 4096-byte pages (status block read, board probes) and the confirmation.
struct ImageCheckContext {
  HidLink& link;
  BoardRegistry* registry = nullptr;
  std::span<uint8_t> work;  // >= 2 x 4096 bytes
  ShowAlertFn show_alert;
};

// The start of the info text in [start, end) (a zero byte follows end), or nullptr.
const char* find_image_info(const uint8_t* start, const uint8_t* end);

// Both texts have a tag (bytes before the first ':'), the first is not empty, and the two tags
// have the same length and bytes.
bool tags_match(const char* a, const char* b);

// The decision, as composed before it is shown.
struct UpgradeDecision {
  bool target_known = false;
  bool tags_equal = false;
  bool probe = false;       // false also when wrong_board overrules the board's probe
  bool wrong_board = false;  // the card names a registered board the image's tag does not name
  const BoardEntry* entry = nullptr;  // registry_find_by_tag(info)
  std::string target;                 // the board's text cut at "FPGA:"
  AlertRequest request;
};

// Steps 1 to 3 of decide_upgrade: read the target, look the tag up, probe, fill the request.
UpgradeDecision compose_upgrade_decision(ImageCheckContext& ctx, const char* info);
// The whole decision: compose, then show_alert. True when the user accepted.
bool decide_upgrade(ImageCheckContext& ctx, const char* info);

// HID download path: reads the file (false, no dialog, when it cannot be read whole or does not
// start with "CY"), then decides.
bool check_usb_image_file(ImageCheckContext& ctx, const std::string& path);
// The same check over a file already read (the HID path's check of the workflow's one buffer).
bool check_usb_image_bytes(ImageCheckContext& ctx, const ImageFile& img);

// Flash-channel path: the image is in memory with a zero byte after `count` bytes. The board's
// integrity test runs first.
bool check_usb_image_buffer(ImageCheckContext& ctx, const BoardEntry* entry, const uint8_t* data, uint32_t count);

}  // namespace kestrel
