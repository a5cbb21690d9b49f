// After an upgrade: waits for the card to restart and reports whether it runs the image it was
// given.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>

#include "card/card_session.h"
#include "devlink/card_names.h"
#include "platform/hid_backend.h"
#include "log/clock.h"
#include "log/log.h"
#include "res/ui_text.h"

namespace kestrel {

namespace {

using Phase = UpgradeEndWait::Phase;

}  // namespace

std::string upgrade_end_message(const VerifyReport& r, bool zh) {
  switch (r.end) {
    case VerifiedEnd::Verified:
      return (zh ? "升级已验证: 板卡报告 " : "Upgrade verified: the card reports ") + r.card_text;
    case VerifiedEnd::NotVerified:
      return (zh ? "升级未验证: 板卡报告 " : "Upgrade not verified: the card reports ") + r.card_text;
    case VerifiedEnd::RestartNeeded:
      return zh ? "升级尚未验证 (需要重启): 请重启板卡以运行并验证新固件"
                : "Upgrade not yet verified (restart needed): restart the card to run and verify the new firmware";
    case VerifiedEnd::NoVerdict:
      return (zh ? "升级后的FPGA版本: " : "FPGA version after the upgrade: ") +
             (r.card_text.empty() ? std::string("?") : r.card_text);
  }
  return {};
}

void CardSession::arm_upgrade_end(std::shared_ptr<UpgradeEnd> end,
                                  std::function<void(const VerifyReport&, const std::string&)> on_report) {
  const qhidev* d = list_->current;
  if (!d || !end) return;
  std::vector<std::string> others;  // the other cards listed now: never taken for it
  for (uint32_t i = 0; i < list_->count; ++i)
    if (const qhidev* o = list_->items[i].get(); o && o != d) others.push_back(o->path);
  ReturnLook look;
  // The window's own list, rescanned on every device change: no enumeration on the timer.
  look.list = [this] {
    std::vector<ListedCard> listed;
    for (uint32_t i = 0; i < list_->count; ++i)
      if (const qhidev* c = list_->items[i].get())
        listed.push_back({{c->path, c->attributes.vendor_id, c->attributes.product_id},
                          card_names(platform::backend(), *c).port});
    return listed;
  };
  look.taken = [others] { return others; };
  look.still_text = [this] { return read_status_text(card_.link(), card_.status_page(0)); };
  look.open_back = [this](const std::string& path, platform::OpenFailure& why) { return attach_returned(path, why); };
  look.patient = true;
  end_ = UpgradeEndWait{};
  end_.phase = Phase::Leaving;
  end_.end = std::move(end);
  end_.end->watch(CardKey{d->path, d->attributes.vendor_id, d->attributes.product_id},
                   card_names(platform::backend(), *d).port, std::move(look));
  end_.on_report = std::move(on_report);
  log_printf(LOG_TRACE, " msg : upgrade end: waiting for the card to restart\r\n");
}

void CardSession::report_upgrade_end(const VerifyReport& r, const std::string& version_after) {
  // Ended before the box opens: the timer goes on ticking under a modal box.
  if (r.end == VerifiedEnd::RestartNeeded && end_.end) {
    end_.phase = Phase::WaitReplug;
    end_.end->wait_for_replug(UINT32_MAX);
  } else {
    end_.phase = Phase::Idle;
  }
  const auto on_report = end_.on_report;  // a replug's verdict is told again, as its own
  if (end_.phase == Phase::Idle) end_.end.reset();
  if (on_report) on_report(r, version_after);
  observer_->show_restart_wait(-1);
  if (r.end == VerifiedEnd::RestartNeeded) log_printf(LOG_TRACE, " msg : %s\r\n", RESTART_ADVICE);
  observer_->tell(upgrade_end_message(r, ui_text == ui_text_zh));
}

void CardSession::upgrade_end_tick() {
  if (end_.phase == Phase::Idle || !end_.end) return;
  UpgradeEnd& end = *end_.end;
  const ReturnWatch& watch = *end.return_watch();
  const bool was_away = watch.phase() == ReturnWatch::Phase::Away;
  if (end.poll()) {
    if (end_.phase == Phase::WaitReplug && watch.stayed()) return;  // still no replug: nothing new to tell
    // Copies: the report ends the watch.
    const VerifyReport report = watch.report();
    const std::string text = watch.version_after();
    report_upgrade_end(report, text);
    return;
  }
  if (watch.phase() != ReturnWatch::Phase::Away) return;
  if (!was_away) {
    // It left to restart: the countdown starts.
    end_.phase = Phase::Away;
    end_.shown_s = 0;
    observer_->show_restart_wait(0);
  }
  // The countdown: the bar fills as the wait runs out, and a log line each second.
  const uint32_t left_s = watch.seconds_left();
  if (left_s != end_.shown_s) {
    end_.shown_s = left_s;
    observer_->show_restart_wait(static_cast<int>(std::min<uint64_t>(watch.waited_ms() * 100 / watch.limit_ms(), 100)));
    log_printf(LOG_TRACE, " msg : waiting for the card to come back: %u s\r\n", left_s);
  }
}

// The kernel lists the card that came back before udev has made its node and given the seat's
// user access to it: the watch tries such an open again for a while, then reports the card back
// but unopened. A card that does not answer yet is looked for again until the countdown ends.
std::optional<std::string> CardSession::attach_returned(const std::string& path, platform::OpenFailure& why) {
  why = platform::OpenFailure::NotFound;
  for (uint32_t i = 0; i < list_->count; ++i) {
    const qhidev* card = list_->items[i].get();
    if (!card || card->path != path) continue;
    if (list_->current != card) attach_card(static_cast<int>(i));
    why = list_->current == card ? platform::OpenFailure::None : open_failure();
    break;
  }
  if (why != platform::OpenFailure::None) return std::nullopt;
  return read_status_text(card_.link(), card_.status_page(0));
}

void CardSession::upgrade_end_on_change(uint32_t event) {
  if (end_.phase == Phase::Idle || !end_.end) return;
  // A removal of the card: it left to restart (or the user unplugged it to replug it).
  if (event == DEVICE_REMOVE_COMPLETE && end_.end->return_watch()->phase() != ReturnWatch::Phase::Away) end_.end->gone();
  upgrade_end_tick();
}

}  // namespace kestrel
