#include "devlink/status_records.h"

#include <cstring>

#include "devlink/board_records.h"
#include "devlink/frame.h"

namespace kestrel {

std::optional<BoardStatus> parse_board_status(std::span<const uint8_t> block) {
  if (block.size() < STATUS_MIN_LENGTH) return std::nullopt;
  const uint8_t* b = block.data();
  BoardStatus s;
  s.magic = get_le32(b + STATUS_MAGIC);
  s.length = get_le16(b + STATUS_LENGTH);
  s.text_word = get_le32(b + STATUS_TEXT_WORD);
  s.gpif = get_le32(b + STATUS_GPIF);
  s.color_format = b[STATUS_COLOR];
  s.lock_a = b[STATUS_LOCK_A];
  s.lock_b = b[STATUS_LOCK_B];
  s.default_size = b[STATUS_DEFAULT_SIZE];
  s.output_port = b[STATUS_OUTPUT_PORT];
  s.view_width = get_le16(b + STATUS_VIEW_W);
  s.view_height = get_le16(b + STATUS_VIEW_H);
  const size_t room = block.size() - STATUS_TEXT;
  const char* text = reinterpret_cast<const char*>(b + STATUS_TEXT);
  const void* nul = room ? std::memchr(text, 0, room) : nullptr;
  s.text = std::string_view(text, nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : room);
  return s;
}

std::optional<StatusView> parse_status_view(std::span<const uint8_t> record) {
  if (record.size() < STATUS_VIEW_SIZE) return std::nullopt;
  const uint8_t* v = record.data();
  StatusView s;
  s.t = get_le32(v + SV_T);
  s.usbd = v[SV_USBD];
  s.probe = v[SV_PROBE];
  s.busy = v[SV_BUSY];
  s.idle = get_le32(v + SV_IDLE);
  s.vpin = v[SV_VPIN];
  s.fvpd = v[SV_FVPD];
  s.resolution = get_le32(v + SV_RESOLUTION);
  s.interlaced = v[SV_INTERLACED];
  s.frame_rate = v[SV_RATE];
  s.signal = v[SV_SIGNAL];
  return s;
}

}  // namespace kestrel
