// The command catalogue: every framed request the host sends, by its command byte.
#pragma once

#include <cstdint>

namespace kestrel {

constexpr uint8_t CMD_BOARD_EVENT = 1;   // report 10, sub 24: the board event record (24 bytes)
constexpr uint8_t CMD_DBG_CONTROL = 2;   // report 10, sub 1/2/3: debug channel status (>= 4)
constexpr uint8_t CMD_HDBC_CONFIG = 3;   // report 11: read, or write two 32-bit words (>= 8)
constexpr uint8_t CMD_BOARD_STATUS = 4;  // report 11, 1 byte (0 refresh, 1 attach): status block (>= 64)
constexpr uint8_t CMD_WORK_STATUS = 5;   // report 11, 1 byte 1: work status (>= 176 / 160 / 64)
constexpr uint8_t CMD_VIDEO_PROP = 6;    // report 10, 16 bytes: magic + 12 property bytes (>= 16)
constexpr uint8_t CMD_CONTROL = 7;       // report 11, 1 byte control code (>= 2, byte 0 result)
constexpr uint8_t CMD_CYFXD = 8;         // report 11 (two answers) or 10 (link speed in byte 3)
constexpr uint8_t CMD_CYFXD_TAIL = 9;    // second answer of command 8
constexpr uint8_t CMD_UPDATE = 10;       // report 11, 16-byte setting block (>= 2, s32 result)
constexpr uint8_t CMD_SEND_ASYNC = 11;   // report 11, u32 action code; no answer
constexpr uint8_t CMD_REG_READ = 12;     // report 11, its own counter (>= 8)
constexpr uint8_t CMD_PROP_BLOCK = 13;   // report 11, 32-byte property block (>= 32 or >= 8)
constexpr uint8_t CMD_NOTIFY = 14;       // report 5, magic + three u32; no answer
constexpr uint8_t CMD_BUS_XFER = 15;     // report 11 (<= 256) or 10 (8 bytes)
constexpr uint8_t CMD_VIDEO_STATE = 17;  // report 10: 32-byte block (>= 32)
constexpr uint8_t CMD_MONITOR = 18;      // report 11, u64 host ns + 8 zero bytes (>= 16)
constexpr uint8_t CMD_CONFIG_GET = 21;   // report 11: configuration record (>= 24)
constexpr uint8_t CMD_CONFIG_PUT = 22;   // report 11, 32-byte configuration record (>= 0)

constexpr uint8_t CMD_EVENT_SUB = 24;    // sub-command of CMD_BOARD_EVENT

// Control codes of CMD_CONTROL.
constexpr uint8_t CTRL_DL_UNLOCK = 0x80;
constexpr uint8_t CTRL_DL_LOCK = 0x81;
constexpr uint8_t CTRL_CFG_END = 0x20;    // sent as 0x20 + the result of CTRL_CFG_BEGIN (-1 taken as 2)
constexpr uint8_t CTRL_CFG_BEGIN = 0x21;
constexpr uint8_t CTRL_DEBUG_MODE = 0x10; // 0x10..0x12
constexpr uint8_t CTRL_0x31 = 0x31;

}  // namespace kestrel
