#include "devlink/frame.h"

#include <array>
#include <cstring>

namespace kestrel {

uint16_t frame_csum(const uint8_t* data, size_t count) {
  uint32_t s = 0;
  size_t k = 0;
  for (; k + 1 < count; k += 2) {
    s += static_cast<uint32_t>(data[k]) | (static_cast<uint32_t>(data[k + 1]) << 8);
    s = (s & 0xFFFF) + (s >> 16);
  }
  if (k < count) s += data[k];
  while (s > 0xFFFF) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint16_t>(s);
}

void frame_build(uint8_t* report, uint8_t rid, uint8_t seq, uint8_t cmd, uint8_t sub,
                 const uint8_t* payload, uint16_t len) {
  report[FRAME_RID] = rid;
  report[FRAME_SEQ] = seq;
  report[FRAME_CMD] = cmd;
  report[FRAME_SUB] = sub;
  put_le16(report + FRAME_LEN, len);
  put_le16(report + FRAME_CSUM, 0);
  if (len && payload && payload != report + FRAME_HDR) std::memmove(report + FRAME_HDR, payload, len);
  put_le16(report + FRAME_CSUM, static_cast<uint16_t>(~frame_csum(report, FRAME_HDR + len)));
}

namespace {

constexpr std::array<uint32_t, 16> make_crc_table() {
  std::array<uint32_t, 16> t{};
  for (uint32_t i = 0; i < 16; ++i) {
    uint32_t c = i;
    for (int b = 0; b < 4; ++b) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[i] = c;
  }
  return t;
}

constexpr auto kCrcNibble = make_crc_table();

}  // namespace

uint32_t crc32_register(const uint8_t* data, size_t count, uint32_t crc) {
  for (size_t i = 0; i < count; ++i) {
    crc ^= data[i];
    crc = (crc >> 4) ^ kCrcNibble[crc & 0xF];
    crc = (crc >> 4) ^ kCrcNibble[crc & 0xF];
  }
  return crc;
}

}  // namespace kestrel
