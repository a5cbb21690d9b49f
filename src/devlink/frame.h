// The framed report: report ID, sequence byte, command, sub-command (status byte in answers),
// 16-bit payload length, 16-bit one's-complement checksum, payload. Little-endian throughout.
// This header is the byte-level part that the simulated card shares with the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel {

// Report IDs (separate name spaces per kind: input 6, output 7 and feature 7 differ).
constexpr uint8_t RID_LONG_REQ = 11;     // output, 265 bytes, payload up to 256
constexpr uint8_t RID_SHORT_REQ = 10;    // output, 63 bytes, payload up to 55
constexpr uint8_t RID_NOTIFY = 5;        // output, 63 bytes, command 14 (no answer)
constexpr uint8_t RID_ANSWER = 9;        // input fetched, 265 bytes
constexpr uint8_t RID_FLASH_OUT = 7;     // output, 264 bytes
constexpr uint8_t RID_FLASH_IN = 6;      // input fetched, 264 bytes
constexpr uint8_t RID_STATUS = 4;        // input fetched, 191 bytes
constexpr uint8_t RID_EVENT_FEAT = 1;    // feature get, 24 bytes
constexpr uint8_t RID_INPUT_SEL = 7;     // feature get, 261 bytes
constexpr uint8_t RID_DEBUG_TEXT = 8;    // input: 248 fetched, 264 read

constexpr size_t FRAME_HDR = 8;
constexpr size_t LONG_REPORT_SIZE = 265;
constexpr size_t SHORT_REPORT_SIZE = 63;
constexpr size_t NOTIFY_REPORT_SIZE = 63;
constexpr size_t ANSWER_REPORT_SIZE = 265;
constexpr size_t STATUS_REPORT_SIZE = 191;
constexpr size_t ASYNC_READ_SIZE = 264;

constexpr size_t LONG_PAYLOAD_MAX = 256;   // 8 + 256 inside a 265-byte report
constexpr size_t SHORT_PAYLOAD_MAX = 55;   // 8 + 55 = 63
constexpr size_t ANSWER_PAYLOAD_MAX = 257; // 265 - 8
constexpr size_t STATUS_PAYLOAD_MAX = 183; // 191 - 8

constexpr uint8_t ANSWER_REFUSED = 0x80;   // bit 7 of answer byte 3
constexpr uint32_t MAGIC_ZHHH = 0x4848485A;

// Header field offsets.
constexpr size_t FRAME_RID = 0, FRAME_SEQ = 1, FRAME_CMD = 2, FRAME_SUB = 3, FRAME_LEN = 4, FRAME_CSUM = 6;

inline uint16_t get_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t get_le64(const uint8_t* p) {
  return static_cast<uint64_t>(get_le32(p)) | (static_cast<uint64_t>(get_le32(p + 4)) << 32);
}
inline void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_le64(uint8_t* p, uint64_t v) {
  put_le32(p, static_cast<uint32_t>(v));
  put_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

// One's-complement sum over little-endian words of `count` bytes, folded to 16 bits, not
// complemented. A trailing odd byte is the low half of a word whose high half is zero.
uint16_t frame_csum(const uint8_t* data, size_t count);

// Writes the header and payload of a frame into `report` (which must hold 8 + len bytes),
// computes and stores the checksum. Bytes after the payload are left alone.
void frame_build(uint8_t* report, uint8_t rid, uint8_t seq, uint8_t cmd, uint8_t sub,
                 const uint8_t* payload, uint16_t len);

// True when the sum over the first `count` bytes, stored checksum included, folds to 0xFFFF.
inline bool frame_sum_intact(const uint8_t* data, size_t count) { return frame_csum(data, count) == 0xFFFF; }

// The CRC-32 register used by the configuration record, flash verify, image trailer and keyid:
// reflected polynomial 0xEDB88320, preset 0xFFFFFFFF, no final inversion. `crc` is the running
// register, so blocks can be chained.
uint32_t crc32_register(const uint8_t* data, size_t count, uint32_t crc = 0xFFFFFFFFu);

}  // namespace kestrel
