// The card's two status records read into structs: the board status block (magic, length,
// state words, video-panel bytes, version text) and the 80-byte status record behind the
// window title and the input-format label. Each parser takes what arrived and refuses a record
// shorter than its fixed part, so no field is read past the received bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrel {

// BoardStatus fields; offsets in devlink/board_records.h.
struct BoardStatus {
  uint32_t magic = 0;
  uint16_t length = 0;
  uint32_t text_word = 0;  // logged as TEXT
  uint32_t gpif = 0;       // logged as GPIF
  uint8_t color_format = 0;
  uint8_t lock_a = 0;  // byte 41
  uint8_t lock_b = 0;  // byte 45: the input is locked to one port when it is below byte 41
  uint8_t default_size = 0;
  uint8_t output_port = 0;
  uint16_t view_width = 0;
  uint16_t view_height = 0;
  // From offset 64 up to its NUL, or to the end of the received bytes when a broken block
  // has none; points into the parsed span.
  std::string_view text;

  bool input_locked() const { return lock_b < lock_a; }
};

// The fixed 64 bytes and the text; nullopt when fewer than 64 bytes arrived. Says nothing
// about validity (magic, sum, length): that is board_status_valid's job.
std::optional<BoardStatus> parse_board_status(std::span<const uint8_t> block);

// StatusView, the 80-byte status record.
constexpr size_t STATUS_VIEW_SIZE = 80;
constexpr size_t SV_T = 0, SV_USBD = 4, SV_PROBE = 14, SV_BUSY = 16, SV_IDLE = 24, SV_VPIN = 32, SV_FVPD = 33,
                 SV_RESOLUTION = 64, SV_INTERLACED = 68, SV_RATE = 69, SV_SIGNAL = 70;
constexpr uint8_t FVPD_SCANNING = 7;  // the card scans its inputs itself

struct StatusView {
  uint32_t t = 0;  // running time, ms
  uint8_t usbd = 0;
  uint8_t probe = 0;
  uint8_t busy = 0;
  uint32_t idle = 0;  // idle share in thousandths of a percent
  uint8_t vpin = 0;
  uint8_t fvpd = 0;
  uint32_t resolution = 0;  // width in bits 0..15, height in 16..31
  uint8_t interlaced = 0;
  uint8_t frame_rate = 0;
  uint8_t signal = 0;

  uint16_t width() const { return static_cast<uint16_t>(resolution & 0xFFFF); }
  uint16_t height() const { return static_cast<uint16_t>(resolution >> 16); }
};

// nullopt when fewer than 80 bytes are given.
std::optional<StatusView> parse_status_view(std::span<const uint8_t> record);

}  // namespace kestrel
