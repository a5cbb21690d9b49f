// Upgrades and the image check: the same workflow as the desktop program's two buttons, with the
// file from the command line, the confirmation answered by the terminal or by --yes / --force, and
// progress on standard error.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/ids.h"
#include "boards/registry.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "log/clock.h"
#include "res/ui_phrases.h"
#include "update/workflow.h"

namespace kestrel::cli {

namespace {

bool interactive() { return isatty(STDIN_FILENO) && isatty(STDERR_FILENO); }

std::string verdict_text(const AlertRequest& r) {
  std::string v = r.verdict.value_or("");
  while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
  while (!v.empty() && v.front() == ' ') v.erase(v.begin());
  return v;
}

nlohmann::json alert_json(const AlertRequest& r) {
  char style[8];
  std::snprintf(style, sizeof style, "0x%04X", r.style);
  return {{"style", style},
          {"title", r.title.value_or("")},
          {"info", r.info.value_or("")},
          {"verdict", verdict_text(r)},
          {"accept", r.accept_caption.value_or("")}};
}

// The confirmation of the match check. 0x0301 (mismatch or conflict) needs --force; the others
// ask on a terminal and go ahead with --yes. Nothing waits for input without a terminal.
bool confirm(Session& s, const AlertRequest& r, std::string& declined_why) {
  Output& out = s.out();
  out.doc()["check"] = alert_json(r);
  if (!out.json()) {
    std::fprintf(stderr, "%s\n%s\n", r.info.value_or("").c_str(), verdict_text(r).c_str());
  }
  if (r.style == ALERT_STYLE_FORCE) {
    if (s.options().force) return true;
    declined_why = "the image does not match this card; --force goes ahead anyway";
    return false;
  }
  if (s.options().yes || s.options().force) return true;
  if (!interactive() || out.json()) {
    declined_why = "the upgrade needs confirmation: run it on a terminal or add --yes";
    return false;
  }
  const std::string caption(ui_phrase(r.accept_caption.value_or("升级")));  // in the locale's language
  std::fprintf(stderr, "%s? [y/N] ", caption.c_str());
  char answer[16] = {};
  if (!std::fgets(answer, sizeof answer, stdin)) return false;
  if (answer[0] == 'y' || answer[0] == 'Y') return true;
  declined_why = "declined";
  return false;
}

// The transfer's progress on standard error: on a terminal one line redrawn in place with the
// phase, a bar, percent, rate and time left; otherwise a plain line at each phase and at every
// tenth. The rate is the whole transfer's (image bytes per second, erase included).
class Progress {
 public:
  explicit Progress(bool json) : quiet_(json), tty_(isatty(STDERR_FILENO)) { start_ = clock_now_ns(); }
  void show(UpgradePhase phase, int percent, uint64_t total_bytes) {
    if (quiet_ || (percent == last_ && phase == phase_)) return;
    const bool new_phase = last_ < 0 || phase != phase_;
    const double secs = static_cast<double>(clock_now_ns() - start_) / 1e9;
    const double done = total_bytes * (percent / 100.0);
    const double rate = secs > 0 ? done / secs / 1024.0 : 0;
    const double left = percent > 0 ? secs * (100 - percent) / percent : 0;
    const char* name = upgrade_phase_name(phase);
    // Nothing is known of the time left before the first percent.
    char left_text[24] = "";
    if (percent > 0) std::snprintf(left_text, sizeof left_text, "%.0fs left", left);
    if (tty_) {
      const int bar = percent / 5;
      std::fprintf(stderr, "\r %-6s [%-20.*s] %3d%%  %7.1f KiB/s  %9s", name, bar, "####################", percent,
                   rate, left_text);
    } else if (new_phase || percent / 10 != last_ / 10 || percent == 100) {
      std::fprintf(stderr, " %s %d%% %.1f KiB/s %s\n", name, percent, rate, left_text);
    }
    last_ = percent;
    phase_ = phase;
  }
  void end() {
    if (tty_ && !quiet_ && last_ >= 0) std::fputc('\n', stderr);
  }

 private:
  bool quiet_, tty_;
  uint64_t start_;
  int last_ = -1;
  UpgradePhase phase_ = UpgradePhase::Erase;
};

std::vector<uint8_t> read_file(const std::string& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  ok = static_cast<bool>(in);
  return ok ? std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}) : std::vector<uint8_t>{};
}

int cmd_upgrade(Session& s, const std::string& what, const std::string& path) {
  Output& out = s.out();
  if (what != "firmware" && what != "fpga") return out.fail(EXIT_USAGE, "upgrade takes firmware or fpga");
  bool readable = false;
  const std::vector<uint8_t> image = read_file(path, readable);
  if (!readable) return out.fail(EXIT_USAGE, "cannot read " + path);
  if (image.empty()) return out.fail(EXIT_IMAGE_REFUSED, path + " is empty");

  CkestrelDlg& w = s.window();
  MemoryView& v = s.view();
  const std::string before = v.text(ids::VERSION_TEXT);
  v.file_answers.clear();
  v.file_answers.push_back(path);

  std::string declined_why;
  Progress progress(out.json());
  UpgradeHooks hooks;
  hooks.show_alert = [&](const AlertRequest& r) { return confirm(s, r, declined_why); };
  hooks.pump = [&] { s.drain_posted(); };
  hooks.progress = [&](UpgradePhase phase, int percent) { progress.show(phase, percent, image.size()); };
  UpgradeWorkflow upgrade(w, hooks);
  upgrade.on_clicked_upgrade(what == "fpga" ? UPGRADE_KIND_FPGA : UPGRADE_KIND_USB);
  progress.end();
  s.drain_posted();

  const UpgradeOutcome& o = upgrade.last();
  const char* path_name = o.path == UpgradePath::FlashChannel ? "flash-channel"
                          : o.path == UpgradePath::HidDownload ? "hid-download" : "none";
  out.doc()["path"] = path_name;
  out.doc()["file"] = path;
  out.doc()["result"] = o.result;
  out.doc()["version_before"] = before;
  if (!o.file_chosen) return out.fail(EXIT_FAILED, "the upgrade did not start");
  if (!o.accepted && what == "firmware")
    return out.fail(EXIT_IMAGE_REFUSED, declined_why.empty() ? "image refused" : declined_why);
  if (!o.transferred) return out.fail(EXIT_FAILED, "the transfer did not run");
  if (!o.ok) return out.fail(EXIT_FAILED, "upgrade FAILED! (result " + std::to_string(o.result) + ")");

  // Read the version again; a card that restarts after its upgrade may not answer yet.
  w.on_status_refresh_command();
  const std::string after = v.text(ids::VERSION_TEXT);
  out.doc()["version_after"] = after;
  out.line("upgrade OK! via " + std::string(path_name));
  out.line("version before: " + before);
  out.line("version after:  " + after);
  return EXIT_OK;
}

int cmd_check_image(Session& s, const std::string& path) {
  Output& out = s.out();
  bool readable = false;
  const std::vector<uint8_t> image = read_file(path, readable);
  if (!readable) return out.fail(EXIT_USAGE, "cannot read " + path);
  if (image.size() < 2 || image[0] != IMAGE_SIG0 || image[1] != IMAGE_SIG1)
    return out.fail(EXIT_IMAGE_REFUSED, path + " is not a USB-controller image (no CY signature)");
  CkestrelDlg& w = s.window();
  UpgradeWorkflow upgrade(w);
  std::vector<uint8_t> work(2 * CkestrelDlg::kPage);
  ImageCheckContext ctx = upgrade.check_context(work);
  AlertRequest seen;
  bool asked = false;
  ctx.show_alert = [&](const AlertRequest& r) {
    seen = r;
    asked = true;
    return false;  // a check only: never upgrade
  };
  const BoardEntry* entry = w.registry() ? w.registry()->current : nullptr;
  check_usb_image_buffer(ctx, entry, image.data(), static_cast<uint32_t>(image.size()));
  if (!asked) return out.fail(EXIT_FAILED, "the image could not be checked");
  out.doc()["check"] = alert_json(seen);
  out.line(seen.info.value_or(""));
  out.line(verdict_text(seen));
  return seen.style == ALERT_STYLE_FORCE ? out.fail(EXIT_IMAGE_REFUSED, verdict_text(seen)) : EXIT_OK;
}

}  // namespace

void add_upgrade_commands(CLI::App& app, CommandSet& chosen) {
  static std::string kind, file, check_file;
  auto* up = app.add_subcommand("upgrade", "Upgrade the card: firmware <file.img> or fpga <file.bit|.bin>");
  up->add_option("kind", kind, "firmware | fpga")->required();
  up->add_option("file", file, "image file")->required();
  up->callback([&] { chosen.action = [](Session& s) { return cmd_upgrade(s, kind, file); }; });

  auto* check = app.add_subcommand("check-image", "Check a USB-controller image against the card; no upgrade");
  check->add_option("file", check_file, "image file (.img)")->required();
  check->callback([&] { chosen.action = [](Session& s) { return cmd_check_image(s, check_file); }; });
}

}  // namespace kestrel::cli
