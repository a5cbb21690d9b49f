#include "update/upgrade_end.h"

#include "log/clock.h"
#include "log/log.h"
#include "update/upgrade_attempt.h"
#include "update/workflow.h"

namespace kestrel {

namespace {

history::TransferPath transfer_path(UpgradePath p) {
  switch (p) {
    case UpgradePath::FlashChannel: return history::TransferPath::FlashChannel;
    case UpgradePath::HidDownload: return history::TransferPath::HidDownload;
    case UpgradePath::None: break;
  }
  return history::TransferPath::None;
}

const VerifyReport kNothingJudged{VerifiedEnd::NoVerdict, {}};

}  // namespace

UpgradeEnd::UpgradeEnd(history::HistoryStore& store, const history::CardIdentity& card, uint16_t kind,
                       const std::string& file, const ImageFile* image,
                       const std::string& version_before, HistoryFailed failed)
    : store_(store), kind_(kind), failed_(std::move(failed)) {
  if (image && kind == UPGRADE_KIND_USB) image_version_ = image_version_of(image->data());
  outcome_.result = history::Result::Declined;
  const history::HistoryWrite w = store_.begin(upgrade_attempt(card, kind, file, image, version_before));
  row_ = w.ok ? w.id : 0;
  record(w);
}

UpgradeEnd::~UpgradeEnd() = default;

void UpgradeEnd::record(const history::HistoryWrite& w) {
  // Once is enough: a row that could not begin cannot end either.
  if (w.ok || !failure_.empty()) return;
  failure_ = w.message;
  log_printf(0, " war : %s\r\n", failure_.c_str());
  if (failed_) failed_(failure_);
}

void UpgradeEnd::asked(const AlertRequest& request, bool go) {
  outcome_.verdict = alert_verdict_words(request);
  outcome_.forced = go && request.style == ALERT_STYLE_FORCE;
}

void UpgradeEnd::refused() { outcome_.result = history::Result::Refused; }

void UpgradeEnd::took(const UpgradeOutcome& o) {
  outcome_.path = transfer_path(o.path);
  // The engine's result means something only when a transfer ran.
  if (o.transferred) outcome_.engine_result = o.result;
  if (!o.busy.empty() || !o.file_chosen) {
    outcome_.result = history::Result::Declined;
  } else if (!o.accepted && (kind_ != UPGRADE_KIND_FPGA || o.file_refused)) {
    // Turned down before anything was written: by the workflow's own look at the file, or by
    // the check or the user.
    outcome_.result = o.refusal.empty() ? history::Result::Declined : history::Result::Refused;
  } else {
    outcome_.result = o.ok ? history::Result::Ok : history::Result::Failed;
  }
}

void UpgradeEnd::watch(const CardKey& card, const std::string& port, ReturnLook look) {
  watch_ = std::make_unique<ReturnWatch>(kind_, image_version_, card, port, std::move(look));
  ended_ = stopped_ = false;
}

void UpgradeEnd::gone() {
  if (watch_) watch_->gone();
}

bool UpgradeEnd::poll() {
  if (!watch_) return true;
  if (!watch_->poll()) return false;
  judged();
  return true;
}

void UpgradeEnd::judged() {
  if (ended_) return;
  ended_ = true;
  const VerifyReport& r = watch_->report();
  outcome_.version_after = stopped_ ? std::string() : watch_->version_after();
  // A stopped wait knows nothing of the card; FPGA logic and a card that still needs its restart
  // are not judged either way.
  if (r.end == VerifiedEnd::Verified) outcome_.verified = true;
  else if (r.end == VerifiedEnd::NotVerified && !stopped_) outcome_.verified = false;
  else outcome_.verified = std::nullopt;
  log_printf(LOG_TRACE, " msg : upgrade end %s\r\n", r.summary().c_str());
}

const VerifyReport& UpgradeEnd::wait(const std::function<bool()>& interrupted,
                                     const std::function<void(const ReturnWatch&)>& between) {
  while (!poll()) {
    if (interrupted && interrupted()) {
      stop("nothing: interrupted");
      break;
    }
    if (between) between(*watch_);
    sleep_ms(RESTART_POLL_MS);
  }
  return report();
}

void UpgradeEnd::stop(const std::string& why) {
  if (!watch_ || ended_) return;
  watch_->stop(why);
  stopped_ = true;
  judged();
}

bool UpgradeEnd::needs_replug() const {
  return watch_ && ended_ && watch_->stayed() && watch_->report().end == VerifiedEnd::RestartNeeded &&
         kind_ == UPGRADE_KIND_USB;
}

void UpgradeEnd::wait_for_replug(uint32_t limit_ms) {
  if (!needs_replug()) return;
  watch_->wait_for_replug(limit_ms);
  ended_ = stopped_ = false;
}

const VerifyReport& UpgradeEnd::report() const { return watch_ ? watch_->report() : kNothingJudged; }

bool UpgradeEnd::finish(const std::string& detail) { return finish(detail, outcome_.version_after); }

bool UpgradeEnd::finish(const std::string& detail, const std::string& version_after) {
  history::Outcome o = outcome_;
  o.detail = detail;
  o.version_after = version_after;
  const history::HistoryWrite w = store_.finish(row_, o);
  record(w);
  return w.ok;
}

}  // namespace kestrel
