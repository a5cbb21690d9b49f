// The engineering commands of the current card: none of the window's own controls issues them;
// the desktop program's engineering menu and kestrelctl do.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "card/current_card.h"
#include "card/diagnostics.h"
#include "boards/control.h"
#include "boards/control_calls.h"
#include "log/log.h"

namespace kestrel {

RegisterFileKind register_file_kind(uint32_t id) {
  switch (id) {
    case ids::ID_SAVE_TB610R_REGS: return RegisterFileKind::TB610R;
    case ids::ID_SAVE_TB720V_REGS: return RegisterFileKind::TB720V;
    default: return RegisterFileKind::Generic;
  }
}

namespace {

// Opens a register file for writing: a symbolic link at the last component is not followed
// (ELOOP), and an existing file is kept unless `replace` (EEXIST). A regular file is emptied only
// once it is open; a FIFO without a reader fails (ENXIO) instead of blocking the front end.
FILE* open_register_file(const std::string& path, bool replace, int& err) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (replace ? 0 : O_EXCL), 0666);
  if (fd < 0) {
    err = errno;
    return nullptr;
  }
  struct stat st {};
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 || (regular && ftruncate(fd, 0) != 0)) {
    err = errno;
    close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, "wb");
  if (!f) {
    err = errno;
    close(fd);
  }
  return f;
}

// A reply byte as the button's log line shows it: sign-extended to 32 bits.
uint32_t widened(uint8_t b) { return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(b))); }

}  // namespace

bool CurrentCard::on_run_status() {
  m_diag.dump = {};
  if (ctl_run_status(*this)) return true;
  return run_status_query(m_link, text_page(0));
}

bool CurrentCard::on_debug_info() {
  m_diag.dump = {};
  if (ctl_debug_info(*this)) return true;
  return debug_info_query(m_link, text_page(0), m_diag.debug_info);
}

bool CurrentCard::on_version_query() { return version_query(m_link, text_page(0)); }

bool CurrentCard::on_fpga_dump() {
  m_diag.dump = {};
  return ctl_fpga_dump(*this);
}

void CurrentCard::on_qzdbg_button() { qzdbg_switch(!m_poll_paused); }

// While the card's own debug channel is on, the timer stops polling for its debug report.
bool CurrentCard::qzdbg_switch(bool on) {
  m_poll_paused = on ? 1 : 0;
  show(Shown::DebugChannel);
  const bool ok = qzdbg_control(m_link, on ? QZDBG_ON : QZDBG_OFF, m_diag.qzdbg.data());
  const auto& q = m_diag.qzdbg;
  log_printf(0, " *&* : qzdbg control status(%u) ready(%u) bset(%u) kstd(%u)\r\n", widened(q[0]), widened(q[1]),
             widened(q[2]), widened(q[3]));
  return ok;
}

bool CurrentCard::qzdbg_ask() { return qzdbg_control(m_link, QZDBG_ASK, m_diag.qzdbg.data()); }

HdbcResult CurrentCard::hdbc(uint32_t mode) { return hdbc_adjust(m_link, text_page(0), mode, m_diag.hdbc_saved); }

RegisterSaveResult CurrentCard::save_registers(uint32_t id, const std::string& path, bool replace_existing) {
  register_table_read(m_link, m_diag.reg_table);
  return write_register_file(register_file_kind(id), path, replace_existing);
}

RegisterSaveResult CurrentCard::write_register_file(RegisterFileKind kind, const std::string& path, bool replace_existing) {
  m_diag.save_errno = 0;
  FILE* f = open_register_file(path, replace_existing, m_diag.save_errno);
  if (!f) {
    log_printf(LOG_WARN, " war : register file %s not opened: %s\r\n", path.c_str(), std::strerror(m_diag.save_errno));
    return RegisterSaveResult::OpenFailed;
  }
  bool ok = register_file_write(f, kind, m_diag.reg_table);
  if (ok && kind == RegisterFileKind::TB610R) ok = receiver_maps_write(f, m_link, m_diag.map_scratch);
  if (std::fclose(f) != 0) ok = false;
  if (!ok) {
    log_printf(LOG_WARN, " war : register file %s not fully written\r\n", path.c_str());
    return RegisterSaveResult::WriteFailed;
  }
  return RegisterSaveResult::Saved;
}

void CurrentCard::load_scripts() {
  m_diag.scripts.owner = this;
  script_load_startup(m_diag.scripts, program_file_path());
}

std::vector<std::string> CurrentCard::script_names() const { return script_menu_names(m_diag.scripts); }

uint32_t CurrentCard::run_script(uint32_t n) {
  const ScriptSlot* slot = m_diag.scripts.slot(n);
  if (!slot) return 0;
  ScriptCard card;
  if (const qhidev* d = m_link.current()) {
    card.node = d->node;
    card.path = d->path;
  }
  return m_diag.runner.start(*slot, card);
}

}  // namespace kestrel
