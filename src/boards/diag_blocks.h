// The card's diagnostic records (run status, debug information, the board debug block of meadow
// and rw820c) and the text they print as. Printing only reads a block; the exchanges that fill
// one are in diag_query.h. All records are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

// StreamRecord, 48 bytes: one for the video stream ("uvc"), one for the audio stream ("uac").
namespace stream_rec {
constexpr size_t SIZE = 48;
constexpr size_t ACTIVE = 0, BCFG = 1, START = 2, CLEAR = 3, OPEN = 4, BDMA = 5, STAT = 6, BCNT = 7, TIME = 8,
                 BRST = 12, WORK = 14, MIN = 16, MAX = 18, SAVE = 20, TMRD = 24, NCNT = 28, NREF = 32, PROD = 36,
                 CONS = 40, NERR = 44;
}  // namespace stream_rec

// InputRecord, 24 bytes per video input.
namespace input_rec {
constexpr size_t SIZE = 24;
constexpr size_t STAT = 0, XCHG = 1, TRIG = 2, NREF = 3, DIRTY = 4, WORK_W = 8, WORK_H = 10, WORK_A = 12, WORK_B = 13,
                 WORK_INPUT = 14, WORK_FLAGS = 15, VINP_W = 16, VINP_H = 18, VINP_A = 20, VINP_B = 21,
                 VINP_INPUT = 22, VINP_FLAGS = 23;
}  // namespace input_rec

// RunStatusBlock: the payload of command 5, at least 176 bytes.
namespace run_status {
constexpr size_t MIN_SIZE = 176;
constexpr size_t T = 0, USBD = 4, S16 = 10, BDAP = 12, ISDBG = 13, PROBE = 14, BUSY = 16, BSET = 18, TXERR = 19,
                 TAIL = 20, IDLE = 24, BCFG1 = 28, VPIN = 32, FVPD = 33, NREF = 34, MODE = 35, STAT = 36, LOCK = 37,
                 KEFI = 39, LOCK_TIME = 40, TICK_MARK = 44, VIEW_W = 48, VIEW_H = 50, VIEW_0 = 52, VIEW_1 = 53,
                 VIEW_2 = 54, AUDIO_0 = 56, AUDIO_1 = 57, AUDIO_2 = 58, AUDIO_W = 61, AUDIO_I = 62, UVC = 64,
                 UAC = 112;
}  // namespace run_status

// DebugInfoBlock, 440 bytes kept by the window: the command-8 answer at 0, the command-9 answer at
// 160. Bytes the answers do not reach keep what they held.
namespace debug_info {
constexpr size_t SIZE = 440;
constexpr size_t TAIL_OFFSET = 160;      // where the command-9 answer goes
constexpr uint16_t TAIL_MIN = 29;        // payload bytes the command-9 answer must carry
constexpr size_t TAIL_MAX = SIZE - TAIL_OFFSET;
constexpr size_t CODE0 = 0, CODE1 = 1, READY = 2, SPD = 3, MATRIX = 5, GPIF = 6, EKWVCC = 7, GPI = 10, SPI = 11,
                 CODEC = 12, XKEY = 16, RESTART = 20, RESTART_STAT = 20, RESTART_AVIDEO = 21, BITS = 22, KCFG = 24,
                 NOW = 32, TIME_C = 36, TIME_A = 41, TIME_B = 42, BSIZE = 48, VIEW_W = 52, VIEW_H = 54, CUT1 = 56,
                 UVC = 64, UAC = 112, INPUT_BITS = 168, INPUT_STAT = 172, INPUT_LOCK = 173, INPUT_DIRTY = 180,
                 COLOR = 184, FFRD = 187, FRAMERATE = 188, SHOW = 189, KADJ = 208, KADJ_V1 = 210, VPIN = 240,
                 FVPD = 241, MODE = 243, STAT = 244, LOCK = 245, INTR = 246, KEFI = 247, TICK = 248, DIRTY = 252,
                 VF_W = 256, VF_H = 258, VF_A = 260, VF_B = 261, VF_INPUT = 262, VF_FLAGS = 263, INPUTS = 272;
constexpr unsigned INPUT_COUNT = 7;
}  // namespace debug_info

// BoardDebugBlock of meadow (448 bytes) and rw820c (400 bytes): the command-8 answer at 0, the
// command-9 answer at 216, the key area in the last 32 bytes.
namespace board_debug {
constexpr size_t SIZE_MEADOW = 448, SIZE_RW820C = 400;
constexpr size_t MAX_SIZE = SIZE_MEADOW;
constexpr size_t TAIL_OFFSET = 216;
constexpr size_t KEY_SIZE = 32;
constexpr size_t CODE0 = 104, CODE1 = 105, READY = 106, HID = 111, CODEC = 116, AUDIO = 128, FVPD = 129, POLICY = 130,
                 DEV_TIME = 136, TIME_C = 148, TIME_A = 150, TIME_B = 151, BSIZE = 200, VIEW_W = 204, VIEW_H = 206,
                 CUT1 = 208, INPUT_BITS = 224, INPUT_STAT = 228, INPUT_LOCK = 229, INPUT_DIRTY = 236, COLOR = 240,
                 FRAMERATE = 244, SHOW = 245, KADJ = 264, KADJ_V1 = 266, VPIN = 296, VPIN_FVPD = 297, TICK = 304,
                 DIRTY = 308, VF_W = 312, VF_H = 314, VF_A = 316, VF_B = 317, VF_INPUT = 318, VF_FLAGS = 319,
                 INPUTS = 328;
}  // namespace board_debug

// "{0,2,}" with the last comma made "}": the set bits of `bits`, rising; "{}" when none.
std::string debug_bit_list(uint16_t bits);

// The dumps, through log_printf with word 3 (LOG_DIAG).
void print_stream_lines(const uint8_t* rec, const char* label);  // label: "uvc" or "uac"
void print_run_status(const uint8_t* block);                      // >= 176 bytes
void print_debug_info(const uint8_t* block);                      // debug_info::SIZE bytes
// The decoded part of the board debug dump (code 14), for a block of `size` bytes.
void print_board_debug(const uint8_t* block, size_t size);

}  // namespace kestrel
