// The engineering menu of the main window: its command ids routed to the card's engineering
// commands, and the register files saved through the window's save dialog.
#include "app/ids.h"
#include "app/main_window.h"
#include "boards/control.h"
#include "card/diagnostics.h"

namespace kestrel {

bool WindowPresenter::on_diag_command(uint32_t id) {
  if (id >= ids::ID_SCRIPT_FIRST && id <= ids::ID_SCRIPT_LAST) {
    card().run_script(id - ids::ID_SCRIPT_FIRST);
    return true;
  }
  switch (id) {
    case ids::ID_RUN_STATUS: card().dump_run_status(); return true;
    case ids::ID_DEBUG_INFO: card().dump_debug_info(); return true;
    case ids::ID_VERSION: card().dump_version(); return true;
    case ids::ID_FPGA_DUMP: card().dump_fpga(); return true;
    case ids::ID_QZDBG_ASK: card().ask_debug_channel(); return true;
    case ids::ID_QZDBG_ON: qzdbg_control(card().link(), QZDBG_ON, card().diag().qzdbg.data()); return true;
    case ids::ID_HDBC_MODE3: card().hdbc(3); return true;
    case ids::ID_HDBC_MODE4: card().hdbc(4); return true;
    case ids::BTN_DEBUG_1061: session_.toggle_debug_channel(); return true;
    case ids::ID_SAVE_FPGA_REGS:
    case ids::ID_SAVE_TB610R_REGS:
    case ids::ID_SAVE_TB610_REGS:
    case ids::ID_SAVE_TB720V_REGS: on_save_registers(id); return true;
    default: return false;
  }
}

RegisterSaveResult WindowPresenter::on_save_registers(uint32_t id, bool replace_existing) {
  const RegisterFileKind kind = register_file_kind(id);
  register_table_read(card().link(), card().diag().reg_table);
  const std::string path = view_.save_file_dialog(register_file_filter(kind));
  if (path.empty()) return RegisterSaveResult::Cancelled;
  return card().write_register_file(kind, path, replace_existing);
}

}  // namespace kestrel
