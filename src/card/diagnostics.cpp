// The engineering commands of a card: none of the window's own controls issues them; the desktop
// program's engineering menu and kestrelctl do.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "card/card.h"
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

bool Card::dump_run_status() {
  diag_.dump = {};
  if (ctl_run_status(*this)) return true;
  return run_status_query(link_, text_page(0));
}

bool Card::dump_debug_info() {
  diag_.dump = {};
  if (ctl_debug_info(*this)) return true;
  return debug_info_query(link_, text_page(0), diag_.debug_info);
}

bool Card::dump_version() { return version_query(link_, text_page(0)); }

bool Card::dump_fpga() {
  diag_.dump = {};
  return ctl_fpga_dump(*this);
}

bool Card::debug_channel_control(bool on) {
  const bool ok = qzdbg_control(link_, on ? QZDBG_ON : QZDBG_OFF, diag_.qzdbg.data());
  const auto& q = diag_.qzdbg;
  log_printf(0, " *&* : qzdbg control status(%u) ready(%u) bset(%u) kstd(%u)\r\n", widened(q[0]), widened(q[1]),
             widened(q[2]), widened(q[3]));
  return ok;
}

bool Card::ask_debug_channel() { return qzdbg_control(link_, QZDBG_ASK, diag_.qzdbg.data()); }

HdbcResult Card::hdbc(uint32_t mode) { return hdbc_adjust(link_, text_page(0), mode, diag_.hdbc_saved); }

RegisterSaveResult Card::save_registers(RegisterFileKind kind, const std::string& path, bool replace_existing) {
  register_table_read(link_, diag_.reg_table);
  return write_register_file(kind, path, replace_existing);
}

RegisterSaveResult Card::write_register_file(RegisterFileKind kind, const std::string& path, bool replace_existing) {
  diag_.save_errno = 0;
  FILE* f = open_register_file(path, replace_existing, diag_.save_errno);
  if (!f) {
    log_printf(LOG_WARN, " war : register file %s not opened: %s\r\n", path.c_str(), std::strerror(diag_.save_errno));
    return RegisterSaveResult::OpenFailed;
  }
  bool ok = register_file_write(f, kind, diag_.reg_table);
  if (ok && kind == RegisterFileKind::TB610R) ok = receiver_maps_write(f, link_, diag_.map_scratch);
  if (std::fclose(f) != 0) ok = false;
  if (!ok) {
    log_printf(LOG_WARN, " war : register file %s not fully written\r\n", path.c_str());
    return RegisterSaveResult::WriteFailed;
  }
  return RegisterSaveResult::Saved;
}

void Card::load_scripts() {
  diag_.scripts.owner = this;
  script_load_startup(diag_.scripts, program_file_path());
}

std::vector<std::string> Card::script_names() const { return script_menu_names(diag_.scripts); }

uint32_t Card::run_script(uint32_t n) {
  const ScriptSlot* slot = diag_.scripts.slot(n);
  if (!slot) return 0;
  ScriptCard card;
  if (const qhidev* d = link_.current()) {
    card.node = d->node;
    card.path = d->path;
  }
  return diag_.runner.start(*slot, card);
}

}  // namespace kestrel
