// The three records through which a card describes itself (event record, status block,
// configuration record), the video input selection, and the exchanges that fetch them.
#pragma once

#include <cstdint>
#include <span>

#include "devlink/hid_link.h"

namespace kestrel {

// BoardEvent, 24 bytes.
constexpr size_t EVENT_SIZE = 24;
constexpr size_t EVENT_KIND = 0;        // 1 in feature report 1 and command 1; 2 in input report 2
constexpr size_t EVENT_CAPS = 1;        // capability bits copied into the link flags at attach
constexpr size_t EVENT_MAGIC = 4;       // MAGIC_ZHHH
constexpr size_t EVENT_DEV_TIME = 8;    // u64, nanoseconds on the card's clock
constexpr size_t EVENT_WORD1 = 16;      // low 16 bits: the event code
constexpr size_t EVENT_WORD2 = 20;

// BoardStatus, variable length (64 + text).
constexpr size_t STATUS_MAGIC = 0;
constexpr size_t STATUS_LENGTH = 4;
constexpr size_t STATUS_TEXT_WORD = 32;  // logged as TEXT
constexpr size_t STATUS_GPIF = 36;
constexpr size_t STATUS_COLOR = 40;      // 0 RGB24, 1 YUV2, 2 NV12
constexpr size_t STATUS_LOCK_A = 41;     // input locked when byte 45 < byte 41
constexpr size_t STATUS_LOCK_B = 45;
constexpr size_t STATUS_DEFAULT_SIZE = 47;
constexpr size_t STATUS_OUTPUT_PORT = 50;
constexpr size_t STATUS_VIEW_W = 60;
constexpr size_t STATUS_VIEW_H = 62;
constexpr size_t STATUS_TEXT = 64;
constexpr size_t STATUS_MIN_LENGTH = 64;

// BoardConfig, 32 bytes.
constexpr size_t CONFIG_SIZE = 32;
constexpr size_t CONFIG_HALF_RATE = 0;
constexpr size_t CONFIG_SETTING1 = 1;
constexpr size_t CONFIG_LENGTH = 2;
constexpr size_t CONFIG_MAGIC = 4;
constexpr size_t CONFIG_MAGIC2 = 24;
constexpr size_t CONFIG_CRC = 28;
constexpr uint32_t CONFIG_MAGIC_WORD = 0x12345678;
constexpr uint16_t CONFIG_MIN_ANSWER = 24;

constexpr size_t INPUT_SEL_SIZE = 261;  // feature report 7

// Magic right and the one's-complement sum over the 24 bytes folds to 0xFFFF.
bool board_event_intact(const uint8_t* rec);

// Magic, sum over `length` bytes, and length >= 65 + text length (text and NUL inside the
// block). `avail` bounds every read: a block claiming more than was received is not valid.
bool board_status_valid(const uint8_t* block, size_t avail);

// Length >= 32, magic, and the CRC register over `length` bytes ends at 0.
bool board_config_intact(const uint8_t* rec, size_t avail);
// Sets length 32, both magic words and the CRC register of bytes 0..27.
void board_config_seal(uint8_t* rec);

// Command 1 / sub 24 with its own acceptance test; copies the 24-byte record to `dest`.
bool board_event_query(HidLink& link, uint8_t* dest);

// The status block through input report 4 (cards with QHIDEV_F_STATUS_RPT) or command 4 with
// payload byte `b`. `page` holds the transfer (>= 2 x 4096 bytes: request in the second page
// for command 4). Copies `len` payload bytes to `dest` (>= 257 bytes) and gives the length.
bool board_status_read(HidLink& link, uint8_t* dest, std::span<uint8_t> page, uint8_t b, uint16_t* out_len = nullptr);

// Input report 4, accepted when byte 0 is 4, len >= 64 (and <= 183) and the sum is intact.
bool board_status_fetch_report4(HidLink& link, std::span<uint8_t> page);

// Feature report 7: 0 -> 0, 1 -> 1, 3 -> 2; result 0, or -1 for anything else.
int board_input_get(HidLink& link, uint8_t* out);

// Command 21 into `page`; the accepted record's payload pointer (into page) or nullptr.
uint8_t* board_config_read(HidLink& link, std::span<uint8_t> page);

}  // namespace kestrel
