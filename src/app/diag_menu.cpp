// The engineering menu of the main window: its command ids routed to the current card's
// engineering commands, and the register files saved through the window's save dialog.
#include "app/ids.h"
#include "app/main_window.h"
#include "boards/control.h"
#include "card/diagnostics.h"

namespace kestrel {

bool CkestrelDlg::on_diag_command(uint32_t id) {
  if (id >= ids::ID_SCRIPT_FIRST && id <= ids::ID_SCRIPT_LAST) {
    run_script(id - ids::ID_SCRIPT_FIRST);
    return true;
  }
  switch (id) {
    case ids::ID_RUN_STATUS: on_run_status(); return true;
    case ids::ID_DEBUG_INFO: on_debug_info(); return true;
    case ids::ID_VERSION: on_version_query(); return true;
    case ids::ID_FPGA_DUMP: on_fpga_dump(); return true;
    case ids::ID_QZDBG_ASK: qzdbg_ask(); return true;
    case ids::ID_QZDBG_ON: qzdbg_control(m_link, QZDBG_ON, m_diag.qzdbg.data()); return true;
    case ids::ID_HDBC_MODE3: hdbc(3); return true;
    case ids::ID_HDBC_MODE4: hdbc(4); return true;
    case ids::BTN_DEBUG_1061: on_qzdbg_button(); return true;
    case ids::ID_SAVE_FPGA_REGS:
    case ids::ID_SAVE_TB610R_REGS:
    case ids::ID_SAVE_TB610_REGS:
    case ids::ID_SAVE_TB720V_REGS: on_save_registers(id); return true;
    default: return false;
  }
}

RegisterSaveResult CkestrelDlg::on_save_registers(uint32_t id, bool replace_existing) {
  const RegisterFileKind kind = register_file_kind(id);
  register_table_read(m_link, m_diag.reg_table);
  const std::string path = view_.save_file_dialog(register_file_filter(kind));
  if (path.empty()) return RegisterSaveResult::Cancelled;
  return write_register_file(kind, path, replace_existing);
}

}  // namespace kestrel
