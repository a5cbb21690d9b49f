// Upgrades and the image check: the same workflow as the desktop program's two buttons, with the
// file from the command line, the confirmation answered by the terminal or by --yes / --force, and
// progress on standard error.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "card/card_session.h"
#include "boards/registry.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/many_cards.h"
#include "cli/picture.h"
#include "cli/upgrade_confirm.h"
#include "history/history_path.h"
#include "history/history_store.h"
#include "log/clock.h"
#include "platform/hid_backend.h"
#include "sim/card.h"
#include "sim/sim_backend.h"
#include "update/image_file.h"
#include "update/image_limits.h"
#include "update/return_watch.h"
#include "update/transfer_progress.h"
#include "update/upgrade_end.h"
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


// --wait-restart: how long to wait for the user to replug a card that needs it (seconds).
struct EndWait {
  std::optional<uint32_t> replug_s;
};

// Counts down on standard error: one line redrawn on a terminal, a line every five seconds
// otherwise.
class Countdown {
 public:
  Countdown(bool quiet, const char* what) : quiet_(quiet), tty_(isatty(STDERR_FILENO)), what_(what) {}
  void show(uint32_t left_s) {
    if (quiet_ || left_s == last_) return;
    if (tty_) std::fprintf(stderr, "\r %s: %u s  ", what_, left_s);
    else if (last_ == ~0u || left_s % 5 == 0) std::fprintf(stderr, " %s: %u s\n", what_, left_s);
    last_ = left_s;
  }
  ~Countdown() {
    if (tty_ && !quiet_ && last_ != ~0u) std::fputc('\n', stderr);
  }
  Countdown(const Countdown&) = delete;
  Countdown& operator=(const Countdown&) = delete;

 private:
  bool quiet_, tty_;
  const char* what_;
  uint32_t last_ = ~0u;
};

// Attaches the card that came back at `path` as the session's card, as the desktop program does
// on a device change, and reads its text. The watch tries again while the open is refused as
// udev not being done.
std::optional<std::string> reattach(Session& s, const std::string& path, platform::OpenFailure& why) {
  CardSession& w = s.card_session();
  w.on_device_change(CardSession::DEVICE_ARRIVAL);
  return w.attach_returned(path, why);
}

// The simulated user of the tests: replugs the simulated card a while after being asked to.
void replug_simulated_card_later(Session& s) {
  if (!s.sim() || s.options().sim_replug_after_s == 0 || s.sim()->card_count() == 0) return;
  auto card = s.sim()->card(0);
  const uint32_t after_ms = s.options().sim_replug_after_s * 1000;
  std::thread([card, after_ms] {
    std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
    card->unplug();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    card->plug();
  }).detach();
}

// After "OK!": the wait for the card to leave the bus and come back (a countdown on a terminal),
// and, with --wait-restart, for the replug of a card that still runs its old firmware. Fills
// "verified", "verify" and "version_after" of the JSON document.
const VerifyReport& wait_for_the_card(Session& s, UpgradeEnd& end, const EndWait& wait) {
  Output& out = s.out();
  CardKey card;
  if (const qhidev* d = s.list().current) card = {d->path, d->attributes.vendor_id, d->attributes.product_id};
  // The card's port, and the other cards listed now: those are never taken for it.
  std::string port;
  std::vector<std::string> others;
  for (const ListedCard& e : list_cards(platform::backend())) {
    if (e.key.path == card.path) port = e.port;
    else others.push_back(e.key.path);
  }
  ReturnLook look;
  look.list = [] { return list_cards(platform::backend()); };
  look.taken = [others] { return others; };
  look.still_text = [&s] { return read_status_text(s.card().link(), s.card().status_page(0)); };
  look.open_back = [&s](const std::string& path, platform::OpenFailure& why) { return reattach(s, path, why); };
  end.watch(card, port, std::move(look));

  std::optional<Countdown> replug_countdown, back_countdown;
  auto countdown = [&](const ReturnWatch& watch) {
    if (watch.phase() == ReturnWatch::Phase::Away) {
      replug_countdown.reset();  // its line ends before the next one begins
      if (!back_countdown) back_countdown.emplace(out.json(), "waiting for the card to come back");
      back_countdown->show(watch.seconds_left());
    } else if (replug_countdown) {
      replug_countdown->show(watch.seconds_left());
    }
  };
  auto interrupted = [&s] { return s.interrupted(); };
  end.wait(interrupted, countdown);
  // Still there and still running what it ran: a card that needs the user's replug is waited
  // for when --wait-restart asks for it.
  if (end.needs_replug() && wait.replug_s) {
    if (!out.json()) std::fprintf(stderr, " %s: waiting up to %u s for the card to be replugged\n", RESTART_ADVICE, *wait.replug_s);
    replug_simulated_card_later(s);
    replug_countdown.emplace(out.json(), "waiting for the replug");
    end.wait_for_replug(*wait.replug_s * 1000);
    end.wait(interrupted, countdown);
  }
  back_countdown.reset();
  replug_countdown.reset();

  const VerifyReport& r = end.report();
  if (r.end == VerifiedEnd::Verified) out.doc()["verified"] = true;
  else if (r.end == VerifiedEnd::NotVerified) out.doc()["verified"] = false;
  else out.doc()["verified"] = nullptr;
  out.doc()["verify"] = r.summary();
  out.doc()["version_after"] = end.return_watch()->version_after();
  return r;
}

// The upgrade of a loaded image; `end` keeps its record, `detail` the record's words for how it
// ended.
int upgrade_image(Session& s, const std::string& path, const std::shared_ptr<const ImageFile>& file, bool fpga,
                  const EndWait& wait, UpgradeEnd& end, std::string& detail) {
  Output& out = s.out();
  const ImageFile& image = *file;
  CardSession& w = s.card_session();
  std::string declined_why;
  Progress progress(out.json());
  UpgradeHooks hooks;
  UpgradeFront front;  // the progress goes to the hooks, the end is said here
  UpgradeWorkflow upgrade(w.card().upgrade_card(), front, hooks);
  // A file that the path cannot take, or that the controller would not start, is refused before
  // any question and before anything reaches the card, --force or not.
  const uint16_t kind = fpga ? UPGRADE_KIND_FPGA : UPGRADE_KIND_USB;
  if (std::string why = upgrade_image_refusal(upgrade.path_for(kind), kind, path, image.data()); !why.empty()) {
    end.refused();
    detail = why;
    return out.fail(EXIT_IMAGE_REFUSED, why);
  }
  if (fpga) {
    if (const int rc = check_fpga_marks(s, path, image, detail); rc != EXIT_OK) {
      end.refused();
      return rc;
    }
    const BoardRegistry* reg = s.card().registry();
    if (const int rc = confirm_fpga(s, path, image, reg && reg->current ? reg->current->name : "unknown board", detail);
        rc != EXIT_OK)
      return rc;
    detail.clear();
  }

  const std::string before = w.snapshot().version;

  hooks.show_alert = [&](const AlertRequest& r) {
    const bool go = confirm(s, r, declined_why);
    end.asked(r, go);
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
  upgrade.upgrade(kind, path, file);
  progress.end();
  s.drain_posted();

  const UpgradeOutcome& o = upgrade.last();
  end.took(o);
  const char* path_name = o.path == UpgradePath::FlashChannel ? "flash-channel"
                          : o.path == UpgradePath::HidDownload ? "hid-download" : "none";
  out.doc()["path"] = path_name;
  out.doc()["file"] = path;
  out.doc()["version_before"] = before;
  // The engine's result means something only when a transfer ran.
  if (o.transferred) out.doc()["result"] = o.result;
  if (!o.busy.empty()) {
    detail = o.busy;
    return out.fail(EXIT_BUSY, o.busy);
  }
  if (!o.file_chosen) {
    detail = "the upgrade did not start";
    return out.fail(EXIT_FAILED, detail);
  }
  if (!o.accepted && (!fpga || o.file_refused)) {
    detail = !o.refusal.empty() ? o.refusal : !declined_why.empty() ? declined_why : "image refused";
    return out.fail(EXIT_IMAGE_REFUSED, detail);
  }
  if (!o.transferred) {
    detail = "the transfer did not run";
    return out.fail(EXIT_FAILED, detail);
  }
  if (!o.ok) {
    detail = "upgrade FAILED! (result " + std::to_string(o.result) + ")";
    if (o.result == FLASH_PARTITION)
      detail += ": the card's partition for this image holds " + std::to_string(o.partition_size) +
                " bytes, the file has " + std::to_string(image.size()) + "; nothing was written";
    return out.fail(EXIT_FAILED, detail);
  }

  // The end: does the card now run the image?
  out.line("upgrade OK! via " + std::string(path_name));
  const std::optional<ImageVersion>& want = end.image_version();
  out.doc()["image_version"] = want ? nlohmann::json(want->text()) : nlohmann::json(nullptr);
  const VerifyReport& r = wait_for_the_card(s, end, wait);
  if (s.interrupted()) {
    detail = "OK!, then the wait for the card was interrupted";
    return s.interrupted_exit();
  }
  detail = r.summary();
  // Both as the window shows a version: the card's status text names its model first
  // ("TB610M-1CH:V3.2.0 build ..."), the version beside the card list does not.
  auto without_model = [](const std::string& v) {
    const size_t colon = v.find(':');
    return colon != std::string::npos && v.find(' ') > colon ? v.substr(colon + 1) : v;
  };
  out.line("version before: " + without_model(before));
  out.line("version after:  " + without_model(end.version_after()));
  out.line(r.summary());
  if (r.end == VerifiedEnd::RestartNeeded) out.line(RESTART_ADVICE);
  if (r.end == VerifiedEnd::NotVerified) return out.fail(EXIT_FAILED, "upgrade " + r.summary());
  return EXIT_OK;
}

int cmd_upgrade(Session& s, const std::string& what, const std::string& path, const EndWait& wait) {
  Output& out = s.out();
  if (what != "firmware" && what != "fpga") return out.fail(EXIT_USAGE, "upgrade takes firmware or fpga");
  std::string error;
  // Read once: this buffer is what every check looks at, what the record hashes and what is
  // written; the path is not opened again.
  const std::shared_ptr<const ImageFile> image = ImageFile::load_shared(path, &error);
  if (!image) return out.fail(EXIT_USAGE, error);
  if (image->empty()) return out.fail(EXIT_IMAGE_REFUSED, path + " is empty");
  const bool fpga = what == "fpga";
  // The attempt is on record before anything reaches the card, and ends however it ends. A
  // history that cannot be written never stops the upgrade: the terminal and the JSON document
  // ("history") say so.
  history::HistoryStore store = history::HistoryStore::open(history::resolve_history_path(s.options().history_db).path);
  UpgradeEnd end(store, s.card().history_identity(), fpga ? UPGRADE_KIND_FPGA : UPGRADE_KIND_USB, path, image.get(),
                 s.card_session().snapshot().version, [&out](const std::string& message) {
                   out.doc()["history"] = message;
                   if (!out.json()) std::fprintf(stderr, "%s\n", message.c_str());
                 });
  std::string detail;
  const int rc = upgrade_image(s, path, image, fpga, wait, end, detail);
  end.finish(detail);
  // Said at the start, and again with the last word: the upgrade is not on record.
  if (!end.history_failure().empty()) out.line(end.history_failure());
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
    UpgradeFront front;
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
