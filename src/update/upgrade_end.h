// The end of an upgrade, one owner for every front end (the window, kestrelctl with one card, and
// each worker of kestrelctl --card all): the attempt's history row, begun before anything reaches
// the card and ended with what came of it; the workflow's outcome translated into that row; the
// wait for the card to restart and come back (a ReturnWatch the front end drives: the window from
// its timer and its device changes, kestrelctl in a loop); and the verdict on the version the card
// then runs. A front end keeps only its words: the detail it told the user, the countdown, the
// verdict as printed or shown.
//
//   UpgradeEnd end(store, card.history_identity(), UPGRADE_KIND_USB, path, image.get(), version, told);
//   hooks.show_alert = [&](const AlertRequest& r) { const bool go = ask(r); end.asked(r, go); return go; };
//   workflow.upgrade(UPGRADE_KIND_USB, path, image);
//   end.took(workflow.last());
//   if (workflow.last().ok) {
//     end.watch(key, port, look);
//     end.wait([&] { return interrupted(); });
//   }
//   end.finish(words);
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "history/history_store.h"
#include "update/alert.h"
#include "update/image_file.h"
#include "update/return_watch.h"
#include "update/verify.h"

namespace kestrel {

struct UpgradeOutcome;

class UpgradeEnd {
 public:
  // Told the first time the attempt's row could not be written, after the log has it: a history
  // that cannot be written never stops an upgrade, but the user is told it is not on record.
  using HistoryFailed = std::function<void(const std::string& message)>;

  // Begins the row in `store` (which outlives this): the card by board, USB serial, port path and
  // node, the image of `kind` (UPGRADE_KIND_USB or UPGRADE_KIND_FPGA) read from `file` (null when
  // it could not be read), the card's version text before. Until told otherwise the attempt
  // reads "declined".
  UpgradeEnd(history::HistoryStore& store, const history::CardIdentity& card, uint16_t kind, const std::string& file,
             const ImageFile* image, const std::string& version_before, HistoryFailed failed = {});
  UpgradeEnd(const UpgradeEnd&) = delete;
  UpgradeEnd& operator=(const UpgradeEnd&) = delete;
  ~UpgradeEnd();

  // ---- How the attempt went -------------------------------------------------------------------
  // The match check's question and its answer: the verdict, and whether the upgrade went ahead
  // past a mismatch (forced; --force alone, or a question never met, is not).
  void asked(const AlertRequest& request, bool go);
  // The front end refused the file before the workflow ran (past a limit, no bitstream marks).
  void refused();
  // The workflow's outcome: the path, the engine's result, and what the attempt comes to:
  // declined (busy, no file, the check or the user said no), refused (the workflow refused the
  // file), FAILED! (the transfer did not run or failed) or OK!.
  void took(const UpgradeOutcome& outcome);

  // ---- The wait after "OK!" -------------------------------------------------------------------
  // Starts waiting for `card`, on USB port `port`, to leave the bus and come back; `look` is how
  // the front end that owns the card looks at the bus. The version it must come back running is
  // the image's (USB-controller images; FPGA logic is reported, not judged).
  void watch(const CardKey& card, const std::string& port, ReturnLook look);
  // The wait's own state (its phase and time left, for a countdown); null before watch().
  const ReturnWatch* return_watch() const { return watch_.get(); }
  // The front end heard the card leave (a removal notification).
  void gone();
  // One look at the bus; true once the wait has ended and its verdict is in (also when nothing
  // is watched).
  bool poll();
  // Looks every RESTART_POLL_MS until the wait ends, or until `interrupted` says so (the wait is
  // then stopped: not verified, nothing known of the card). `between` is called after each look
  // that did not end it (a countdown). The verdict.
  const VerifyReport& wait(const std::function<bool()>& interrupted,
                           const std::function<void(const ReturnWatch&)>& between = {});
  // Ends the wait now, not verified, with `why` as what the card reported.
  void stop(const std::string& why);
  // The card stayed on the bus and still runs its old firmware: only a replug or power cycle
  // starts the image.
  bool needs_replug() const;
  // Waits, `limit_ms` long, for that replug; a new verdict follows.
  void wait_for_replug(uint32_t limit_ms);

  // ---- The verdict ------------------------------------------------------------------------------
  // What a USB-controller image names itself; nullopt for FPGA logic and an image without one.
  const std::optional<ImageVersion>& image_version() const { return image_version_; }
  const VerifyReport& report() const;
  // The card runs the image (true), does not or did not come back (false), or that is not known
  // (FPGA logic, a card that needs its restart, a wait that was stopped).
  std::optional<bool> verified() const { return outcome_.verified; }
  // The card's whole status text when it was read after the transfer; "" when it was not.
  const std::string& version_after() const { return outcome_.version_after; }

  // ---- The row --------------------------------------------------------------------------------
  // Writes how the attempt ended, `detail` in the front end's words (the window writes it again
  // once a later verdict is in). `version_after`: the card's version as the front end showed it,
  // when not its whole text. False when the row could not be written.
  bool finish(const std::string& detail);
  bool finish(const std::string& detail, const std::string& version_after);
  // The row was begun (a failed end can then be told apart from a history that never took it).
  bool begun() const { return row_ > 0; }
  // Why the row could not be written; "" while it could.
  const std::string& history_failure() const { return failure_; }

 private:
  void record(const history::HistoryWrite& w);
  void judged();

  history::HistoryStore& store_;
  uint16_t kind_;
  std::optional<ImageVersion> image_version_;
  int64_t row_ = 0;
  history::Outcome outcome_;
  std::unique_ptr<ReturnWatch> watch_;
  bool ended_ = false;    // the wait's end was taken into the row
  bool stopped_ = false;  // ... after a stop
  HistoryFailed failed_;
  std::string failure_;
};

}  // namespace kestrel
