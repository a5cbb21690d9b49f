// One typed call per board control code, over the owner's board_control(code, size, out): the
// size each code wants and the shape of its answer live here instead of at every caller. Each
// call passes exactly the size and out record the code has always been given, so what goes to
// the card is unchanged.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "boards/board.h"
#include "boards/control.h"

namespace kestrel {

// Whatever holds the current board and its link: board_control(code, size, out) as in
// boards/board.h, with the owner's own BoardContext.
template <class T>
concept BoardControlOwner = requires(T& t, uint32_t code, uint32_t size, void* out) {
  { t.board_control(code, size, out) } -> std::convertible_to<bool>;
};

// Code 11: whether the board can show the monitor view.
template <BoardControlOwner T>
bool ctl_monitor_capable(T& owner) {
  return owner.board_control(CTL_MONITOR_CAPABLE, 4, nullptr);
}

// Code 5, sub-code 32: the board's null-ended list of default output sizes; nullopt when the
// board answers no list.
template <BoardControlOwner T>
std::optional<const char* const*> ctl_resolution_list(T& owner) {
  FileFilterAnswer sizes;
  if (!owner.board_control(CTL_FILE_FILTER, CTL_FILTER_RESOLUTIONS, &sizes) || !sizes.list()) return std::nullopt;
  return sizes.list();
}

// Code 10: selects output port `current` (PORT_NONE: only asks). `record` is what the board
// left in the exchanged record, answered or not (the callers log its port either way).
struct OutputPortReply {
  bool ok = false;
  PortSwitchRecord record;
};
template <BoardControlOwner T>
OutputPortReply ctl_output_port(T& owner, uint16_t current = PortSwitchRecord::PORT_NONE) {
  OutputPortReply r;
  r.record.current = current;
  r.ok = owner.board_control(CTL_OUTPUT_PORT, PORT_SWITCH_RECORD_SIZE, &r.record);
  return r;
}

// Code 8: exchanges the 32-byte video property block; the board writes the card's answer back
// into `block`.
template <BoardControlOwner T>
bool ctl_video_props(T& owner, std::span<uint8_t, VIDEO_PROPS_SIZE> block) {
  return owner.board_control(CTL_VIDEO_PROPS, VIDEO_PROPS_SIZE, block.data());
}

// Code 12: the card's link text, written into `buf` (cleared by the caller) and cut at its last
// byte; nullopt when the board has none.
template <BoardControlOwner T>
std::optional<std::string_view> ctl_usb_speed(T& owner, std::span<uint8_t> buf) {
  if (buf.empty() || !owner.board_control(CTL_USB_SPEED, static_cast<uint32_t>(buf.size()), buf.data()))
    return std::nullopt;
  buf.back() = 0;
  return std::string_view(reinterpret_cast<const char*>(buf.data()));
}

// Code 6 on the registry's current board: the 80-byte status record (boards 7 and 8; the others
// answer false and the caller builds the record from the work status).
inline bool ctl_work_status(const BoardRegistry& registry, BoardContext& ctx, std::span<uint8_t, WORK_STATUS_COPY> out) {
  return board_control_current(registry, ctx, CTL_WORK_STATUS, WORK_STATUS_COPY, out.data());
}

// Codes 15, 14 and 13: the diagnostics the board runs itself (they log their findings);
// false when the board has none of its own.
template <BoardControlOwner T>
bool ctl_run_status(T& owner) {
  uint8_t scratch[4] = {};
  return owner.board_control(CTL_RUN_STATUS, 0, scratch);
}
template <BoardControlOwner T>
bool ctl_debug_info(T& owner) {
  uint8_t scratch[4] = {};
  return owner.board_control(CTL_DEBUG_INFO, 0, scratch);
}
template <BoardControlOwner T>
bool ctl_fpga_dump(T& owner) {
  return owner.board_control(CTL_FPGA_DUMP, 0, nullptr);
}

}  // namespace kestrel
