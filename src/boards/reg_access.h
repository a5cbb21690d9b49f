// Register reads on the card's I2C buses: the framed command 12 with its own sequence
// counter, or the legacy reports 12 and 13 for a card that did not answer the status query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel {

class HidLink;

constexpr int32_t REG_READ_OK = 0;
constexpr int32_t REG_READ_FAILED = -1;    // no card, count out of range, send failed, (legacy) no reply
constexpr int32_t REG_READ_NO_REPLY = -2;  // (framed) no reply, an invalid one, or status byte 0
constexpr uint32_t REG_READ_MAX = 256;     // bytes per read

// Framed request payload of command 12 (8 bytes) and its reply payload.
constexpr size_t REG_REQ_DEVICE = 0, REG_REQ_REGISTER = 2, REG_REQ_COUNT = 4, REG_REQ_SIZE = 8;
constexpr size_t REG_REPLY_COUNT = 4, REG_REPLY_STATUS = 7, REG_REPLY_DATA = 8;
constexpr uint16_t REG_REPLY_MIN = 8;

// Legacy reports: output 12 carries device, register and count in bytes 1..3; input 13 answers.
// Both 261 bytes, not framed.
constexpr uint8_t RID_REG_LEGACY_REQ = 12;
constexpr uint8_t RID_REG_LEGACY_ANSWER = 13;
constexpr size_t REG_LEGACY_REPORT_SIZE = 261;

// Reads `count` registers of I2C device `device` from `reg` on into out. 0, -1 or -2 as above.
// Bytes of out past what the card returned are left alone. count larger than out is refused (-1).
// `returned`, when given, gets the number of bytes the card returned (at most count; 0 on failure):
// a framed reply may carry fewer than were asked for.
int32_t reg_read(HidLink& link, uint8_t device, uint8_t reg, int32_t count, std::span<uint8_t> out,
                 uint32_t* returned = nullptr);

}  // namespace kestrel
