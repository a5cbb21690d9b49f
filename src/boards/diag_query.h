// The diagnostic exchanges: run status, debug information and version queries, the board debug
// block of meadow and rw820c (control codes 14 and 15), the card's debug channel (qzdbg) and the
// hdbc configuration words. Each prints through the log and reports whether it got its answer.
#pragma once

#include <cstdint>
#include <span>

#include "boards/board.h"
#include "boards/diag_blocks.h"

namespace kestrel {

class HidLink;

// Command 5 (one payload byte 1), an answer of at least 176 bytes, printed. False, with nothing
// printed, when the request cannot be sent or the answer is missing, short or invalid.
bool run_status_query(HidLink& link, std::span<uint8_t> page);

// Command 8 (one payload byte 1) and its two answers: command 8 into block offset 0, command 9
// (at least 29 bytes) into offset 160. Prints the block when both arrived; the block keeps what
// the answers that did arrive wrote.
bool debug_info_query(HidLink& link, std::span<uint8_t> page, std::span<uint8_t, debug_info::SIZE> block);

// The status block's version text and words (word 0), after the block's magic, length and sum
// check out. No card, or no block: the warning " war : query work version failed" (word 8).
// False when nothing but the warning, or nothing at all, was printed.
bool version_query(HidLink& link, std::span<uint8_t> page);
constexpr const char* LOG_VERSION_FAILED = " war : query work version failed\r\n";

// Command 2 on the short report with sub-code 1 (off), 2 (on) or 3 (ask); out receives status,
// ready, bset and kstd. False (out untouched) without a valid answer of at least 4 bytes.
constexpr uint8_t QZDBG_OFF = 1, QZDBG_ON = 2, QZDBG_ASK = 3;
constexpr uint16_t QZDBG_ANSWER_MIN = 4;
bool qzdbg_control(HidLink& link, uint8_t sub, uint8_t* out);

// Read-modify-write of the two hdbc words (command 3). Mode 1 sets bit 0 of W1, mode 2 clears it,
// mode 3 keeps bits 10..15 of W0 in `saved` and clears them, mode 4 puts the saved bits back.
struct HdbcResult {
  bool ok = false;            // both exchanges answered
  uint32_t read[2] = {};      // the words as read
  uint32_t written[2] = {};   // the words sent back
};
constexpr uint32_t HDBC_SAVE_MASK = 0xFC00;
constexpr uint16_t HDBC_ANSWER_MIN = 8;
HdbcResult hdbc_adjust(HidLink& link, std::span<uint8_t> page, uint32_t mode, uint32_t& saved);

// The board debug block: zeroed, then command 8 into offset 0 and command 9 into offset 216, each
// cut at the block's end; a failed step ends the fetch with the block as far as filled. The number
// of parts that arrived: 0, 1 or BOARD_DEBUG_PARTS.
constexpr uint32_t BOARD_DEBUG_PARTS = 2;
uint32_t board_debug_fetch(HidLink& link, std::span<uint8_t> page, std::span<uint8_t> block);

namespace boards {

// Codes 15 (run status) and 14 (debug information, `full`) of meadow and rw820c: the fetch, the
// lenght line and the block's hex dump; code 14 then the keyid line, the key area's dump and the
// decoded block. True for those two boards whatever the fetch did, false for any other.
bool board_debug_dump(const BoardEntry& entry, BoardContext& ctx, bool full);

}  // namespace boards
}  // namespace kestrel
