// Board control codes: the numbered questions every caller asks of the current board
// through board_control, the records some of them exchange, and the lists they answer with.
#pragma once

#include <cstddef>
#include <cstdint>

#include "boards/board.h"

namespace kestrel {

// Control codes of board_control.
constexpr uint32_t CTL_PANEL_NAME = 1;       // size >= 13, out: char[13]
constexpr uint32_t CTL_RAW_COMMAND = 4;      // size <= 256, out: the command-15 payload, in and out
constexpr uint32_t CTL_FILE_FILTER = 5;      // size = sub-code, out: FileFilterAnswer
constexpr uint32_t CTL_WORK_STATUS = 6;      // size ignored (callers pass 80), out: 80 bytes
constexpr uint32_t CTL_BOARD_NAME = 7;       // size > name length, out: the name and its NUL
constexpr uint32_t CTL_VIDEO_PROPS = 8;      // size exactly 32, out: the 32-byte video property block
constexpr uint32_t CTL_OUTPUT_PORT = 10;     // size exactly 8, out: PortSwitchRecord
constexpr uint32_t CTL_MONITOR_CAPABLE = 11; // any size, out unused
constexpr uint32_t CTL_USB_SPEED = 12;       // out: the link text (boards 7, 8: size >= 32)
constexpr uint32_t CTL_FPGA_DUMP = 13;       // the FPGA dumps
constexpr uint32_t CTL_DEBUG_INFO = 14;      // the diagnostics
constexpr uint32_t CTL_RUN_STATUS = 15;      // the diagnostics

// Sub-codes of CTL_FILE_FILTER (1, 2 and 5 are the image kinds of the upgrade workflow).
constexpr uint32_t CTL_FILTER_FPGA = 1;
constexpr uint32_t CTL_FILTER_FIRMWARE = 2;
constexpr uint32_t CTL_FILTER_FILESYSTEM = 5;
constexpr uint32_t CTL_FILTER_RESOLUTIONS = 32;
constexpr uint32_t CTL_FILTER_ZERO1 = 33;    // zero in the first word
constexpr uint32_t CTL_FILTER_ZERO2 = 34;    // zero in the first two words

// The out record of CTL_FILE_FILTER. word[0] receives a text (sub-codes 1, 2, 5) or a
// null-ended list of texts (32); sub-code 34 also clears word[1]. The original's words were
// 32-bit; here each holds a pointer.
struct FileFilterAnswer {
  const void* word[2] = {};
  const char* text() const { return static_cast<const char*>(word[0]); }
  const char* const* list() const { return static_cast<const char* const*>(word[0]); }
};

// Exchanged with CTL_OUTPUT_PORT. Callers pass size PORT_SWITCH_RECORD_SIZE, the record's size in
// the original; in this build the record holds a pointer and is larger.
struct PortSwitchRecord {
  const char* const* names = nullptr;  // null-ended list
  uint16_t count = 0;
  uint16_t current = PORT_NONE;        // PORT_NONE: only ask which port is selected
  static constexpr uint16_t PORT_NONE = 0xFFFF;
};
constexpr uint32_t PORT_SWITCH_RECORD_SIZE = 8;

// The 32-byte video property block of CTL_VIDEO_PROPS (its fields belong to the property dialog): u16 mask at 0,
// six bytes at 2..7, three u16 gains at 16, 18, 20, a u32 at 24, bytes 28 and 29.
constexpr uint32_t VIDEO_PROPS_SIZE = 32;
constexpr size_t VP_MASK = 0, VP_BYTES_END = 8;  // bytes 0..7
constexpr size_t VP_GAIN_R = 16, VP_GAIN_G = 18, VP_GAIN_B = 20, VP_GAINS_END = 22;
constexpr size_t VP_WORD24 = 24, VP_TAIL_END = 30;  // bytes 24..29 (boards 7 and 8)
constexpr uint16_t VP_GAIN_DEFAULT = 0x4000;  // the gains a short (8-byte) reply implies

constexpr uint32_t WORK_STATUS_COPY = 80;  // bytes CTL_WORK_STATUS writes
constexpr uint16_t WORK_STATUS_MIN = 64;   // payload bytes its reply must carry

constexpr uint32_t PANEL_NAME_SIZE = 13;   // "pbtbx:dialog" and its NUL
constexpr uint32_t USB_TEXT_MIN_SIZE = 32; // out size boards 7 and 8 require for CTL_USB_SPEED

// The lists codes 5 and 10 answer with, by board number; nullptr for a board that has none.
const char* const* board_resolution_list(uint8_t board_number);
const char* const* board_output_port_list(uint8_t board_number);

// The list a caller uses when the board offers none: "NONE", then thirteen sizes.
const char* const* default_resolution_list();

// Log text of a failed code-8 send on boards 1..6 (log word LOG_STATUS_FAIL).
constexpr const char* LOG_VIDEO_PROPS_PUT_FAILED = " query work status put failed\r\n";

}  // namespace kestrel
