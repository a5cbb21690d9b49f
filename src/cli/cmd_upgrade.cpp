// Upgrades and the image check: the same workflow as the desktop program's two buttons, with the
// file from the command line, the confirmation answered by the terminal or by --yes / --force, and
// progress on standard error.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "card/card_session.h"
#include "boards/registry.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/many_cards.h"
#include "cli/picture.h"
#include "cli/upgrade_confirm.h"
#include "cli/upgrade_record.h"
#include "cli/verify_end.h"
#include "log/clock.h"
#include "update/image_file.h"
#include "update/image_limits.h"
#include "update/transfer_progress.h"
#include "update/workflow.h"

namespace kestrel::cli {

namespace {

// The confirmation of the match check. A mismatch or conflict (0x0301) goes ahead only with
// --force, and then still asks, as the window asks twice; only --yes answers for the user.
bool confirm(Session& s, const AlertRequest& r, std::string& declined_why) {
  Output& out = s.out();
  out.doc()["check"] = alert_json(r);
  if (!out.json()) {
    // A verdict that refuses the image is said once, as the error line.
    const bool refused = r.style == ALERT_STYLE_FORCE && !s.options().force;
    std::fprintf(stderr, "%s\n", shown_text(r.info.value_or("")).c_str());
    if (!refused) std::fprintf(stderr, "%s\n", shown_text(verdict_text(r)).c_str());
  }
  return confirm_check(s, r, declined_why, [] {});
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
    // The same estimate as the window's progress text.
    const TransferEstimate e = estimate_transfer(clock_now_ns() - start_, percent, total_bytes);
    const double rate = e.rate_kib_s;
    const char* name = upgrade_phase_name(phase);
    // Nothing is known of the time left before the first percent.
    char left_text[24] = "";
    if (e.seconds_left) std::snprintf(left_text, sizeof left_text, "%.0fs left", *e.seconds_left);
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


history::TransferPath transfer_path(UpgradePath p) {
  return p == UpgradePath::FlashChannel ? history::TransferPath::FlashChannel
         : p == UpgradePath::HidDownload ? history::TransferPath::HidDownload
                                         : history::TransferPath::None;
}

// The upgrade of a loaded image; `rec` learns how it ended.
int upgrade_image(Session& s, const std::string& path, const std::shared_ptr<const ImageFile>& file, bool fpga,
                  const EndWait& wait, history::Outcome& rec) {
  Output& out = s.out();
  const ImageFile& image = *file;
  rec.result = history::Result::Declined;
  CardSession& w = s.card_session();
  std::string declined_why;
  Progress progress(out.json());
  UpgradeHooks hooks;
  FileFront front(w.card(), path, file);
  UpgradeWorkflow upgrade(w.card().upgrade_card(), front, hooks);
  // A file that the path cannot take, or that the controller would not start, is refused before
  // any question and before anything reaches the card, --force or not.
  const uint16_t kind = fpga ? UPGRADE_KIND_FPGA : UPGRADE_KIND_USB;
  if (std::string why = upgrade_image_refusal(upgrade.path_for(kind), kind, path, image.data()); !why.empty()) {
    rec.result = history::Result::Refused;
    rec.detail = why;
    return out.fail(EXIT_IMAGE_REFUSED, why);
  }
  if (fpga) {
    if (const int rc = check_fpga_marks(s, path, image, rec.detail); rc != EXIT_OK) {
      rec.result = history::Result::Refused;
      return rc;
    }
    const BoardRegistry* reg = s.card().registry();
    if (const int rc = confirm_fpga(s, path, image, reg && reg->current ? reg->current->name : "unknown board", rec.detail);
        rc != EXIT_OK)
      return rc;
    rec.detail.clear();
  }

  const std::string before = w.snapshot().version;

  hooks.show_alert = [&](const AlertRequest& r) {
    rec.verdict = verdict_text(r);
    const bool go = confirm(s, r, declined_why);
    // Forced is what went ahead past a mismatch; a declined one was not forced.
    rec.forced = go && r.style == ALERT_STYLE_FORCE;
    return go;
  };
  bool told = false;
  hooks.pump = [&] {
    s.drain_posted();
    // Ctrl-C never cuts a transfer short: a half-written image leaves the card without one.
    if (s.interrupted() && !told) {
      told = true;
      std::fprintf(stderr, "\nkestrelctl: the transfer goes on to its end: stopping it now would leave the card "
                           "without a whole image\n");
    }
  };
  hooks.progress = [&](UpgradePhase phase, int percent) { progress.show(phase, percent, image.size()); };
  upgrade.hooks() = hooks;
  upgrade.on_clicked_upgrade(kind);
  progress.end();
  s.drain_posted();

  const UpgradeOutcome& o = upgrade.last();
  rec.path = transfer_path(o.path);
  const char* path_name = o.path == UpgradePath::FlashChannel ? "flash-channel"
                          : o.path == UpgradePath::HidDownload ? "hid-download" : "none";
  out.doc()["path"] = path_name;
  out.doc()["file"] = path;
  out.doc()["version_before"] = before;
  // The engine's result means something only when a transfer ran.
  if (o.transferred) {
    out.doc()["result"] = o.result;
    rec.engine_result = o.result;
  }
  if (!o.busy.empty()) {
    rec.detail = o.busy;
    return out.fail(EXIT_BUSY, o.busy);
  }
  if (!o.file_chosen) {
    rec.detail = "the upgrade did not start";
    return out.fail(EXIT_FAILED, rec.detail);
  }
  if (!o.accepted && (!fpga || o.file_refused)) {
    if (!o.refusal.empty()) rec.result = history::Result::Refused;
    rec.detail = !o.refusal.empty() ? o.refusal : !declined_why.empty() ? declined_why : "image refused";
    return out.fail(EXIT_IMAGE_REFUSED, rec.detail);
  }
  rec.result = history::Result::Failed;
  if (!o.transferred) {
    rec.detail = "the transfer did not run";
    return out.fail(EXIT_FAILED, rec.detail);
  }
  if (!o.ok) {
    rec.detail = "upgrade FAILED! (result " + std::to_string(o.result) + ")";
    if (o.result == FLASH_PARTITION)
      rec.detail += ": the card's partition for this image holds " + std::to_string(o.partition_size) +
                    " bytes, the file has " + std::to_string(image.size()) + "; nothing was written";
    return out.fail(EXIT_FAILED, rec.detail);
  }

  // The end: does the card now run the image?
  rec.result = history::Result::Ok;
  out.line("upgrade OK! via " + std::string(path_name));
  const std::optional<ImageVersion> want = fpga ? std::nullopt : image_version_of(image.data());
  out.doc()["image_version"] = want ? nlohmann::json(want->text()) : nlohmann::json(nullptr);
  const VerifyReport end = verify_upgrade_end(s, fpga ? UPGRADE_KIND_FPGA : UPGRADE_KIND_USB, want, wait);
  if (s.interrupted()) {
    rec.detail = "OK!, then the wait for the card was interrupted";
    return s.interrupted_exit();
  }
  rec.version_after = out.doc()["version_after"].get<std::string>();
  rec.detail = end.summary();
  if (end.end == VerifiedEnd::Verified) rec.verified = true;
  if (end.end == VerifiedEnd::NotVerified) rec.verified = false;
  // Both as the window shows a version: the card's status text names its model first
  // ("TB610M-1CH:V3.2.0 build ..."), the version beside the card list does not.
  auto without_model = [](const std::string& v) {
    const size_t colon = v.find(':');
    return colon != std::string::npos && v.find(' ') > colon ? v.substr(colon + 1) : v;
  };
  out.line("version before: " + without_model(before));
  out.line("version after:  " + without_model(rec.version_after));
  out.line(end.summary());
  if (end.end == VerifiedEnd::RestartNeeded) out.line(RESTART_ADVICE);
  if (end.end == VerifiedEnd::NotVerified) return out.fail(EXIT_FAILED, "upgrade " + end.summary());
  return EXIT_OK;
}

int cmd_upgrade(Session& s, const std::string& what, const std::string& path, const EndWait& wait) {
  Output& out = s.out();
  if (what != "firmware" && what != "fpga") return out.fail(EXIT_USAGE, "upgrade takes firmware or fpga");
  std::string error;
  // Read once: this buffer is what every check looks at, what the record hashes and what is
  // written; the path is not opened again.
  std::optional<ImageFile> loaded = ImageFile::load(path, &error);
  if (!loaded) return out.fail(EXIT_USAGE, error);
  if (loaded->empty()) return out.fail(EXIT_IMAGE_REFUSED, path + " is empty");
  const auto image = std::make_shared<const ImageFile>(std::move(*loaded));
  const bool fpga = what == "fpga";
  // The attempt is on record before anything reaches the card, and ends however it ends.
  UpgradeRecord record(s, path, *image, fpga, s.card_session().snapshot().version);
  history::Outcome outcome;
  const int rc = upgrade_image(s, path, image, fpga, wait, outcome);
  record.end(outcome);
  // Said at the start, and again with the last word: the upgrade is not on record.
  if (!record.failure().empty()) out.line(record.failure());
  return rc;
}

int cmd_check_image(Session& s, const std::string& path) {
  Output& out = s.out();
  std::string error;
  const std::optional<ImageFile> image = ImageFile::load(path, &error);
  if (!image) return out.fail(EXIT_USAGE, error);
  if (!has_signature(*image)) return out.fail(EXIT_IMAGE_REFUSED, no_signature(path));
  CardSession& w = s.card_session();
  {
    // What an upgrade would refuse before its verdict (the boot image, the path's limit) is the
    // answer here too.
    FileFront front(w.card(), path, nullptr);
    UpgradeWorkflow upgrade(w.card().upgrade_card(), front);
    const std::string why = upgrade_image_refusal(upgrade.path_for(UPGRADE_KIND_USB), UPGRADE_KIND_USB, path, image->data());
    if (!why.empty()) return out.fail(EXIT_IMAGE_REFUSED, why);
  }
  std::vector<uint8_t> work(2 * Card::kPage);
  ImageCheckContext ctx{w.card().link(), w.card().registry(), work, {}};
  AlertRequest seen;
  bool asked = false;
  ctx.show_alert = [&](const AlertRequest& r) {
    seen = r;
    asked = true;
    return false;  // a check only: never upgrade
  };
  const BoardEntry* entry = w.card().registry() ? w.card().registry()->current : nullptr;
  // The image's bytes are followed by the zero byte the info text search relies on.
  check_usb_image_buffer(ctx, entry, image->begin(), image->size());
  if (!asked) return out.fail(EXIT_FAILED, "the image could not be checked");
  out.doc()["check"] = alert_json(seen);
  out.line(shown_text(seen.info.value_or("")));
  // The verdict once: as the error line when it refuses the image.
  if (seen.style == ALERT_STYLE_FORCE) return out.fail(EXIT_IMAGE_REFUSED, shown_text(verdict_text(seen)));
  out.line(shown_text(verdict_text(seen)));
  return EXIT_OK;
}

}  // namespace

int upgrade_firmware_file(Session& s, const std::string& path) { return cmd_upgrade(s, "firmware", path, {}); }

void add_upgrade_commands(CLI::App& app, CommandSet& chosen) {
  static std::string kind, file, check_file;
  static std::string replug_text;
  static std::string capture_text;
  auto* up = app.add_subcommand("upgrade", "Upgrade the card: firmware <file.img> or fpga <file.bit|.bin>");
  up->add_option("kind", kind, "firmware | fpga")->required();
  up->add_option("file", file, "image file")->required();
  auto* wait_opt = up->add_option("--wait-restart", replug_text,
                                  "When the card keeps running its old firmware, wait up to SECONDS (default 120) "
                                  "for it to be replugged, then verify")
                       ->expected(0, 1)
                       ->type_name("[=SECONDS]");
  auto* capture_opt = up->add_option("--check-capture", capture_text, "Then wait up to SECONDS (default 10) for "
                                     "the card's picture: capture ok / no frames")->expected(0, 1)->type_name("[=SECONDS]");
  up->callback([&, wait_opt, capture_opt] {
    EndWait wait;
    std::string bad;
    if (wait_opt->count() > 0) {
      uint32_t secs = 120;
      if (!replug_text.empty() && (!parse_number(replug_text, secs) || secs == 0)) bad = replug_text;
      wait.replug_s = secs;
    }
    uint32_t capture_s = capture_opt->count() > 0 ? 10 : 0;
    const bool bad_capture = !capture_text.empty() && (!parse_number(capture_text, capture_s) || capture_s == 0);
    chosen.action = [wait, bad, capture_s, bad_capture](Session& s) {
      if (!bad.empty()) return s.out().fail(EXIT_USAGE, "--wait-restart takes a number of seconds above 0, not " + bad);
      if (bad_capture) return s.out().fail(EXIT_USAGE, "--check-capture takes a number of seconds above 0, not " + capture_text);
      const int rc = cmd_upgrade(s, kind, file, wait);
      return rc == EXIT_OK && capture_s > 0 ? check_capture_after_upgrade(s, capture_s, {}) : rc;
    };
    const bool one_card_only = wait_opt->count() > 0 || capture_opt->count() > 0;
    chosen.many_action = [one_card_only](Session& s) {
      if (one_card_only)
        return s.out().fail(EXIT_USAGE, "--wait-restart and --check-capture take one card (--card N)");
      return cmd_upgrade_many(s, kind, file);
    };
  });

  auto* check = app.add_subcommand("check-image", "Check a USB-controller image against the card; no upgrade");
  check->add_option("file", check_file, "image file (.img)")->required();
  check->callback([&] { chosen.action = [](Session& s) { return cmd_check_image(s, check_file); }; });
}

}  // namespace kestrel::cli
