// The current card's engineering commands: FPGA register files, run-status, debug-information and
// version dumps, the card's debug channel (button 1061), the hdbc words, and the script slots. The
// handlers are members of Card (diagnostics.cpp); this is the state they keep.
#pragma once

#include <array>
#include <cstdint>

#include "boards/diag_blocks.h"
#include "boards/diag_query.h"
#include "boards/register_file.h"
#include "boards/script_run.h"
#include "boards/script_slots.h"

namespace kestrel {

// The register files' commands: the window's menu items, and the ids kestrelctl's register dump
// reports as its "command".
namespace ids {
constexpr uint32_t ID_SAVE_FPGA_REGS = 32817;   // "保存 FPGA 寄存器": the generic file
constexpr uint32_t ID_SAVE_TB610R_REGS = 32818; // "保存 TB610R FPGA 寄存器": with the receiver maps
constexpr uint32_t ID_SAVE_TB610_REGS = 32819;  // "保存 TB610 FPGA 寄存器": the generic file again
constexpr uint32_t ID_SAVE_TB720V_REGS = 32820; // "保存 TB720V FPGA 寄存器"
}  // namespace ids

// Captions of button 1061 while the card's debug channel is off ("output") and on ("forbid").
constexpr const char* QZDBG_CAPTION_OFF = "输出";
constexpr const char* QZDBG_CAPTION_ON = "禁止";

enum class RegisterSaveResult : uint8_t {
  Saved,
  Cancelled,    // the operator cancelled the dialog (the registers were read all the same)
  OpenFailed,   // the chosen file could not be opened for writing (why: DiagState::save_errno;
                // EEXIST for an existing file not to be replaced, ELOOP for a symbolic link)
  WriteFailed,  // writing or closing the file failed; what was written stays
};

// The register file a save command writes (32817..32820).
RegisterFileKind register_file_kind(uint32_t id);

struct DiagState {
  std::array<uint8_t, debug_info::SIZE> debug_info{};  // kept across queries, zero at start
  std::array<uint8_t, QZDBG_ANSWER_MIN> qzdbg{};        // status, ready, bset, kstd of the last answer
  uint32_t hdbc_saved = 0;                              // W0 bits 10..15 put aside by hdbc mode 3
  DumpOutcome dump;                                     // what the last board dump did not get
  RegisterTable reg_table{};
  int save_errno = 0;                                   // why the last register file did not open
  std::array<uint8_t, RECEIVER_MAP_SIZE> map_scratch{};
  ScriptSlots scripts;
  ScriptRunner runner;
};

}  // namespace kestrel
