// The engineering commands: dump (run-status, debug-info, version, fpga, registers), debug (the
// card's debug channel), hdbc and scripts.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/diagnostics.h"
#include "app/ids.h"
#include "boards/registry.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "log/log.h"

namespace kestrel::cli {

namespace {

constexpr uint32_t kDumpLevels = (1u << LOG_DIAG) | (1u << LOG_WARN);  // the dumps' words 3 and 8
constexpr uint32_t kDumpModules = LOG_STREAM_CFG & LOG_MODULE_BITS;    // the geometry's data line
constexpr int kScriptWaitSliceMs = 200;

// While it lives, the log goes where the command's output goes: straight to standard output, or
// (with --json) into a buffer whose lines end up in the document as "lines". The filter opens
// the levels the dumps use, on top of what --log-level and --log-modules asked for.
class DumpLog {
 public:
  explicit DumpLog(Session& s) : out_(s.out()), prev_stream_(log_stream()), prev_console_(log_console_fd()) {
    uint32_t level = 0, modules = 0;
    parse_number(s.options().log_level, level);
    parse_number(s.options().log_modules, modules);
    log_set_filter(true, level | kDumpLevels, modules | kDumpModules);
    if (out_.json()) {
      mem_ = open_memstream(&buf_, &size_);
      log_attach_stream(mem_);
    } else {
      std::fflush(stdout);
      log_attach_console(STDOUT_FILENO);
    }
  }
  ~DumpLog() {
    if (mem_) {
      log_attach_stream(prev_stream_);
      std::fclose(mem_);
      out_.doc()["lines"] = split(std::string(buf_, size_));
      std::free(buf_);
    } else {
      log_attach_console(prev_console_);
    }
  }
  DumpLog(const DumpLog&) = delete;
  DumpLog& operator=(const DumpLog&) = delete;

 private:
  // Lines without their ends (CR LF, LF or a lone CR); empty lines dropped.
  static nlohmann::json split(const std::string& text) {
    nlohmann::json lines = nlohmann::json::array();
    std::string cur;
    for (char c : text) {
      if (c == '\r' || c == '\n') {
        if (!cur.empty()) lines.push_back(cur);
        cur.clear();
      } else {
        cur += c;
      }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
  }

  Output& out_;
  FILE* prev_stream_;
  int prev_console_;
  FILE* mem_ = nullptr;
  char* buf_ = nullptr;
  size_t size_ = 0;
};

std::string board_name(Session& s) {
  const BoardRegistry* reg = s.window().registry();
  return reg && reg->current ? reg->current->name : "";
}

int cmd_dump(Session& s, const std::string& what) {
  Output& out = s.out();
  CkestrelDlg& w = s.window();
  out.doc()["dump"] = what;
  out.doc()["board"] = board_name(s);
  bool printed = false;
  {
    DumpLog log(s);
    if (what == "run-status") printed = w.on_run_status();
    else if (what == "debug-info") printed = w.on_debug_info();
    else if (what == "version") printed = w.on_version_query();
    else if (what == "fpga") printed = w.on_fpga_dump();
  }
  if (printed) return EXIT_OK;
  if (what == "fpga") return out.fail(EXIT_FAILED, "board " + board_name(s) + " has no FPGA status dump");
  if (what == "version") return out.fail(EXIT_FAILED, "the card gave no valid status block");
  return out.fail(EXIT_FAILED, "the card did not answer the " + what + " query");
}

struct RegisterModel {
  const char* name;
  uint32_t command;
};
constexpr RegisterModel kRegisterModels[] = {
    {"generic", ids::ID_SAVE_FPGA_REGS},
    {"tb610", ids::ID_SAVE_TB610_REGS},  // the same generic file, under the TB610 menu item
    {"tb610r", ids::ID_SAVE_TB610R_REGS},
    {"tb720v", ids::ID_SAVE_TB720V_REGS},
};

int cmd_dump_registers(Session& s, const std::string& model, const std::string& path) {
  Output& out = s.out();
  uint32_t command = 0;
  for (const RegisterModel& m : kRegisterModels)
    if (model == m.name) command = m.command;
  if (command == 0) return out.fail(EXIT_USAGE, "--model takes generic, tb610, tb610r or tb720v");
  s.view().save_answers.push_back(path);
  const RegisterSaveResult r = s.window().on_save_registers(command);
  out.doc()["model"] = model;
  out.doc()["command"] = command;
  out.doc()["file"] = path;
  switch (r) {
    case RegisterSaveResult::Saved: out.line("saved " + model + " register file " + path); return EXIT_OK;
    case RegisterSaveResult::OpenFailed: return out.fail(EXIT_FAILED, "cannot open " + path + " for writing");
    case RegisterSaveResult::WriteFailed: return out.fail(EXIT_FAILED, "writing " + path + " failed");
    case RegisterSaveResult::Cancelled: break;
  }
  return out.fail(EXIT_FAILED, "no file chosen");
}

void put_qzdbg(Output& out, const std::array<uint8_t, QZDBG_ANSWER_MIN>& q) {
  out.doc()["status"] = q[0];
  out.doc()["ready"] = q[1];
  out.doc()["bset"] = q[2];
  out.doc()["kstd"] = q[3];
}

int cmd_debug(Session& s, const std::string& what) {
  Output& out = s.out();
  CkestrelDlg& w = s.window();
  bool ok = false;
  if (what == "on" || what == "off") {
    DumpLog log(s);
    ok = w.qzdbg_switch(what == "on");
  } else if (what == "state") {
    ok = qzdbg_control(w.link(), QZDBG_ASK, w.m_diag.qzdbg.data());
  } else {
    return out.fail(EXIT_USAGE, "debug takes on, off or state");
  }
  if (!ok) return out.fail(EXIT_FAILED, "the card did not answer the debug channel command");
  const auto& q = w.m_diag.qzdbg;
  put_qzdbg(out, q);
  char line[96];
  std::snprintf(line, sizeof line, "debug channel status %u ready %u bset %u kstd %u", q[0], q[1], q[2], q[3]);
  out.line(line);
  return EXIT_OK;
}

int cmd_hdbc(Session& s, uint32_t mode) {
  Output& out = s.out();
  const HdbcResult r = s.window().hdbc(mode);
  out.doc()["mode"] = mode;
  out.doc()["read"] = {r.read[0], r.read[1]};
  if (!r.ok) return out.fail(EXIT_FAILED, "the card did not answer the hdbc exchange");
  out.doc()["written"] = {r.written[0], r.written[1]};
  char line[128];
  std::snprintf(line, sizeof line, "hdbc mode %u: W0 %08X -> %08X, W1 %08X -> %08X", mode, r.read[0], r.written[0],
                r.read[1], r.written[1]);
  out.line(line);
  return EXIT_OK;
}

int cmd_scripts_list(Session& s) {
  Output& out = s.out();
  nlohmann::json list = nlohmann::json::array();
  const ScriptSlots& slots = s.window().m_diag.scripts;
  const std::vector<std::string> names = s.window().script_names();
  for (uint32_t n = 0; n < names.size(); ++n) {
    list.push_back({{"slot", n}, {"command", ids::ID_SCRIPT_FIRST + n}, {"name", names[n]}, {"path", slots.slot(n)->path}});
    out.line(script_menu_label(n, names[n]) + "\t" + slots.slot(n)->path);
  }
  out.doc()["scripts"] = list;
  if (names.empty()) out.line("(no scripts: none in ./qzscp nor beside the program)");
  return EXIT_OK;
}

int cmd_scripts_run(Session& s, uint32_t n) {
  Output& out = s.out();
  CkestrelDlg& w = s.window();
  out.doc()["slot"] = n;
  if (!w.m_diag.scripts.slot(n)) return out.fail(EXIT_USAGE, "no script in slot " + std::to_string(n));
  std::optional<int> code;
  {
    DumpLog log(s);
    const uint32_t id = w.run_script(n);
    if (id != 0)
      while (!(code = w.m_diag.runner.wait(id, kScriptWaitSliceMs))) {
      }
  }
  if (!code) return out.fail(EXIT_FAILED, "script " + std::to_string(n) + " could not start");
  out.doc()["exit_code"] = *code;
  if (*code != 0) return out.fail(EXIT_FAILED, "script " + std::to_string(n) + " failed with exit code " + std::to_string(*code));
  return EXIT_OK;
}

}  // namespace

void add_diag_commands(CLI::App& app, CommandSet& chosen) {
  auto* dump = app.add_subcommand("dump", "Engineering dumps of the card, printed as the log prints them");
  dump->require_subcommand(1);
  struct DumpItem {
    const char* name;
    const char* help;
  };
  static const DumpItem kDumps[] = {
      {"run-status", "The card's run status (command 32800)"},
      {"debug-info", "The card's debug information (command 32801)"},
      {"version", "The version text and words of the card's status block (command 32802)"},
      {"fpga", "The FPGA status dump of the current board (board control code 13)"},
  };
  for (const DumpItem& d : kDumps) {
    const std::string name = d.name;
    dump->add_subcommand(d.name, d.help)->callback([&chosen, name] {
      chosen.action = [name](Session& s) { return cmd_dump(s, name); };
    });
  }
  static std::string reg_model = "generic", reg_out;
  auto* regs = dump->add_subcommand("registers", "Save the FPGA register file, as the window's save commands do");
  regs->add_option("--model", reg_model,
                   "generic (command 32817), tb610 (32819, the same generic file), tb610r (32818, with the "
                   "receiver's register maps) or tb720v (32820)")
      ->check(CLI::IsMember({"generic", "tb610", "tb610r", "tb720v"}));
  regs->add_option("--out", reg_out, "The file to write (replaced if it exists)")->required();
  regs->callback([&chosen] { chosen.action = [](Session& s) { return cmd_dump_registers(s, reg_model, reg_out); }; });

  static std::string debug_what;
  auto* debug = app.add_subcommand("debug", "The card's own debug channel: on, off (button 1061) or state");
  debug->add_option("what", debug_what, "on | off | state")->required()->check(CLI::IsMember({"on", "off", "state"}));
  debug->callback([&chosen] { chosen.action = [](Session& s) { return cmd_debug(s, debug_what); }; });

  static uint32_t hdbc_mode = 0;
  auto* hdbc = app.add_subcommand(
      "hdbc", "Adjust the card's hdbc words: 1 sets bit 0 of W1, 2 clears it, 3 puts W0 bits 10..15 aside "
              "(32805), 4 restores them (32806; only within the run that put them aside, so in kestrelctl it "
              "writes W0 back unchanged)");
  hdbc->add_option("mode", hdbc_mode, "1..4")->required()->check(CLI::Range(1, 4));
  hdbc->callback([&chosen] { chosen.action = [](Session& s) { return cmd_hdbc(s, hdbc_mode); }; });

  auto* scripts = app.add_subcommand("scripts", "Script slots from ./qzscp or qzscp beside the program");
  scripts->require_subcommand(1);
  scripts->add_subcommand("list", "The filled slots with their names and files")->callback([&chosen] {
    chosen.action = cmd_scripts_list;
    chosen.needs_card = false;
  });
  static uint32_t script_slot = 0;
  auto* run = scripts->add_subcommand("run", "Run the script of slot N with the card in KESTREL_NODE and KESTREL_PATH, "
                                             "its output in the log, and wait for it");
  run->add_option("slot", script_slot, "0..15")->required()->check(CLI::Range(0, 15));
  run->callback([&chosen] { chosen.action = [](Session& s) { return cmd_scripts_run(s, script_slot); }; });
}

}  // namespace kestrel::cli
