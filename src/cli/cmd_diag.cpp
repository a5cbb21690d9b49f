// The engineering commands: dump (run-status, debug-info, version, fpga, registers), debug (the
// card's debug channel), hdbc and scripts.
#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "card/diagnostics.h"
#include "app/ids.h"
#include "boards/registry.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "log/clock.h"
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
      out_.doc()["lines"] = log_lines(std::string_view(buf_, size_));
      std::free(buf_);
    } else {
      log_attach_console(prev_console_);
    }
  }
  DumpLog(const DumpLog&) = delete;
  DumpLog& operator=(const DumpLog&) = delete;

 private:
  Output& out_;
  FILE* prev_stream_;
  int prev_console_;
  FILE* mem_ = nullptr;
  char* buf_ = nullptr;
  size_t size_ = 0;
};

std::string seconds_text(double seconds) {
  char b[32];
  std::snprintf(b, sizeof b, "%g", seconds);
  return b;
}

std::string board_name(Session& s) {
  const BoardRegistry* reg = s.card().registry();
  return reg && reg->current ? reg->current->name : "";
}

// A dump prints whatever arrived, zeros in place of the rest; the exit code and the JSON say
// what did not arrive.
int dump_outcome(Output& out, const DumpOutcome& d) {
  if (d.failed_reads > 0) {
    out.doc()["failed_part"] = "fpga registers";
    out.doc()["failed_reads"] = d.failed_reads;
    out.doc()["reads"] = d.reads;
    return out.fail(EXIT_FAILED, "the card did not answer " + std::to_string(d.failed_reads) + " of " +
                                     std::to_string(d.reads) + " FPGA register reads; they show as 0");
  }
  if (d.parts_arrived < d.parts) {
    const bool none = d.parts_arrived == 0;
    out.doc()["failed_part"] = none ? "debug block" : "debug block second part";
    out.doc()["parts_arrived"] = d.parts_arrived;
    return out.fail(EXIT_FAILED, std::string(none ? "the card did not answer the debug block query"
                                                  : "the second part of the card's debug block did not arrive") +
                                     "; what is missing shows as 0");
  }
  return EXIT_OK;
}

int cmd_dump(Session& s, const std::string& what) {
  Output& out = s.out();
  CardSession& w = s.card_session();
  out.doc()["dump"] = what;
  out.doc()["board"] = board_name(s);
  bool printed = false;
  {
    DumpLog log(s);
    if (what == "run-status") printed = w.card().dump_run_status();
    else if (what == "debug-info") printed = w.card().dump_debug_info();
    else if (what == "version") printed = w.card().dump_version();
    else if (what == "fpga") printed = w.card().dump_fpga();
  }
  if (printed) return dump_outcome(out, w.card().diag().dump);
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
  out.doc()["model"] = model;
  out.doc()["command"] = command;
  out.doc()["file"] = path;
  // Said before the card is read; the open itself refuses the same (and a path that appears
  // meanwhile).
  const bool replace = s.options().yes;
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) return out.fail(EXIT_USAGE, path + " is a symbolic link; give the file itself");
    if (S_ISDIR(st.st_mode)) return out.fail(EXIT_USAGE, path + " is a directory");
    if (!S_ISREG(st.st_mode)) return out.fail(EXIT_USAGE, path + " is not a regular file");
    if (!replace) return out.fail(EXIT_USAGE, path + " exists; add --yes to replace it");
  }
  const RegisterSaveResult r = s.card().save_registers(register_file_kind(command), path, replace);
  switch (r) {
    case RegisterSaveResult::Saved: {
      out.line("saved " + model + " register file " + path);
      nlohmann::json failed = nlohmann::json::array();
      for (uint32_t reg = 0; reg < FPGA_WIDE_REGS; ++reg)
        if (s.card().diag().reg_table[reg].status != 0) failed.push_back(reg);
      if (failed.empty()) return EXIT_OK;
      out.doc()["failed_part"] = "fpga registers";
      out.doc()["failed_registers"] = failed;
      return out.fail(EXIT_FAILED, "the card did not answer " + std::to_string(failed.size()) + " of " +
                                       std::to_string(FPGA_WIDE_REGS) + " register reads; the file lists their status");
    }
    case RegisterSaveResult::OpenFailed: {
      const int err = s.card().diag().save_errno;
      if (err == EEXIST) return out.fail(EXIT_USAGE, path + " exists; add --yes to replace it");
      if (err == ELOOP) return out.fail(EXIT_USAGE, path + " is a symbolic link; give the file itself");
      return out.fail(EXIT_FAILED, "cannot open " + path + " for writing: " + std::strerror(err));
    }
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
  CardSession& w = s.card_session();
  bool ok = false;
  if (what == "on" || what == "off") {
    DumpLog log(s);
    ok = w.switch_debug_channel(what == "on");
  } else if (what == "state") {
    ok = w.card().ask_debug_channel();
  } else {
    return out.fail(EXIT_USAGE, "debug takes on, off or state");
  }
  if (!ok) return out.fail(EXIT_FAILED, "the card did not answer the debug channel command");
  const auto& q = w.card().diag().qzdbg;
  put_qzdbg(out, q);
  char line[96];
  std::snprintf(line, sizeof line, "debug channel status %u ready %u bset %u kstd %u", q[0], q[1], q[2], q[3]);
  out.line(line);
  return EXIT_OK;
}

int cmd_hdbc(Session& s, uint32_t mode) {
  Output& out = s.out();
  const HdbcResult r = s.card().hdbc(mode);
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
  const ScriptSlots& slots = s.card().diag().scripts;
  const std::vector<std::string> names = s.card().script_names();
  for (uint32_t n = 0; n < names.size(); ++n) {
    list.push_back({{"slot", n}, {"command", ids::ID_SCRIPT_FIRST + n}, {"name", names[n]}, {"path", slots.slot(n)->path}});
    out.line(script_menu_label(n, names[n]) + "\t" + slots.slot(n)->path);
  }
  out.doc()["scripts"] = list;
  if (names.empty()) out.line("(no scripts: none in ./qzscp nor beside the program)");
  nlohmann::json warnings = nlohmann::json::array();
  for (const SkippedScript& k : slots.skipped) {
    const std::string text = k.path + " is not offered: no script numbered " + std::to_string(k.missing) +
                             " (scripts are numbered from 0 without gaps)";
    warnings.push_back(text);
    if (!out.json()) std::fprintf(stderr, "kestrelctl: warning: %s\n", text.c_str());
  }
  if (!warnings.empty()) out.doc()["warnings"] = warnings;
  return EXIT_OK;
}

// Waits for the script; SIGINT or SIGTERM (exit 130 or 143) or `timeout_s` (> 0; exit 1) end
// its process group first.
int cmd_scripts_run(Session& s, uint32_t n, double timeout_s) {
  Output& out = s.out();
  CardSession& w = s.card_session();
  out.doc()["slot"] = n;
  if (!w.card().diag().scripts.slot(n)) return out.fail(EXIT_USAGE, "no script in slot " + std::to_string(n));
  std::optional<int> code;
  bool started = false, timed_out = false;
  {
    DumpLog log(s);
    const uint32_t id = w.card().run_script(n);
    started = id != 0;
    const uint64_t start = clock_now_ns();
    while (started && !(code = w.card().diag().runner.wait(id, kScriptWaitSliceMs))) {
      timed_out = timeout_s > 0 && static_cast<double>(clock_now_ns() - start) >= timeout_s * 1e9;
      if (s.stop_signal() || timed_out) {
        code = w.card().diag().runner.stop(id);
        break;
      }
    }
  }
  const std::string which = "script " + std::to_string(n);
  if (!started) return out.fail(EXIT_FAILED, which + " could not start");
  if (code) out.doc()["script_exit_code"] = *code;
  if (s.stop_signal()) return s.interrupted_exit();
  if (timed_out) {
    out.doc()["timed_out"] = true;
    return out.fail(EXIT_FAILED, which + " did not end within " + seconds_text(timeout_s) + " s and was stopped");
  }
  if (*code != 0) return out.fail(EXIT_FAILED, which + " failed with exit code " + std::to_string(*code));
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
  set_needs(dump, "run-status, debug-info, version, fpga or registers");
  static const DumpItem kDumps[] = {
      {"run-status", "What the card is doing: its inputs, streams and timers"},
      {"debug-info", "The card's detailed debug information"},
      {"version", "The card's firmware version text and its version words"},
      {"fpga", "The FPGA's registers decoded for this board: signal, memory, picture settings"},
  };
  for (const DumpItem& d : kDumps) {
    const std::string name = d.name;
    dump->add_subcommand(d.name, d.help)->callback([&chosen, name] {
      chosen.action = [name](Session& s) { return cmd_dump(s, name); };
    });
  }
  static std::string reg_model = "generic", reg_out;
  auto* regs = dump->add_subcommand("registers", "Save the FPGA's registers to a text file, as the desktop program's save commands do");
  regs->add_option("--model", reg_model,
                   "generic, tb610 (the same generic file), tb610r (adds the HDMI receiver's register maps) or "
                   "tb720v (both channels of the two-channel board)")
      ->check(CLI::IsMember({"generic", "tb610", "tb610r", "tb720v"}));
  regs->add_option("--out", reg_out, "The file to write; an existing one is replaced only with --yes, and a "
                                     "symbolic link is never followed")
      ->required();
  set_needs(regs, "--out FILE");
  regs->callback([&chosen] { chosen.action = [](Session& s) { return cmd_dump_registers(s, reg_model, reg_out); }; });

  static std::string debug_what;
  auto* debug = app.add_subcommand("debug", "The card's own debug text: on (the card sends it; read it with log), "
                                            "off, or state");
  debug->add_option("what", debug_what, "on | off | state")->required()->check(CLI::IsMember({"on", "off", "state"}));
  set_needs(debug, "on, off or state");
  debug->callback([&chosen] { chosen.action = [](Session& s) { return cmd_debug(s, debug_what); }; });

  static uint32_t hdbc_mode = 0;
  auto* hdbc = app.add_subcommand(
      "hdbc", "Engineering: adjust two of the card's configuration words (hdbc). 1 and 2 switch a flag of the "
              "second word on and off; 3 clears six bits of the first word and keeps them, 4 puts kept bits "
              "back (only in the run that kept them: in kestrelctl it writes the word back unchanged)");
  hdbc->add_option("mode", hdbc_mode, "1..4")->required()->check(CLI::Range(1, 4));
  set_needs(hdbc, "a mode 1..4");
  hdbc->callback([&chosen] { chosen.action = [](Session& s) { return cmd_hdbc(s, hdbc_mode); }; });

  auto* scripts = app.add_subcommand(
      "scripts", "Your own shell scripts, N-name.sh in ./qzscp (or qzscp beside the program), numbered from 0 "
                 "without gaps, at most 16");
  scripts->require_subcommand(1);
  set_needs(scripts, "list, or run and a slot number");
  scripts->add_subcommand("list", "The filled slots with their names and files")->callback([&chosen] {
    chosen.action = cmd_scripts_list;
    chosen.needs_card = false;
  });
  static uint32_t script_slot = 0;
  static double script_timeout = 0;  // 0: not given, no limit
  auto* run = scripts->add_subcommand("run", "Run the script of slot N and wait for it; it gets the card in KESTREL_NODE "
                                             "and KESTREL_PATH and its slot in KESTREL_SLOT, and its output is printed. "
                                             "Ctrl-C or --timeout end it and all it started");
  run->add_option("slot", script_slot, "0..15")->required()->check(CLI::Range(0, 15));
  set_needs(run, "a slot number 0..15 (see scripts list)");
  run->add_option("--timeout", script_timeout, "Stop the script (and all it started) after this many seconds")
      ->check(seconds_validator());
  run->callback([&chosen] {
    chosen.action = [](Session& s) { return cmd_scripts_run(s, script_slot, script_timeout); };
  });
}

}  // namespace kestrel::cli
