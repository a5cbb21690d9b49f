// After an upgrade: waits for the card to restart and reports whether it runs the image it was
// given.
#include <cstdio>

#include "card/current_card.h"
#include "devlink/card_names.h"
#include "platform/hid_backend.h"
#include "log/clock.h"
#include "log/log.h"
#include "res/ui_text.h"

namespace kestrel {

namespace {

constexpr uint16_t kKindUsb = 2;
using Phase = UpgradeEndWait::Phase;

uint64_t ms_since(uint64_t since_ns) { return (clock_now_ns() - since_ns) / 1'000'000; }

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

void CurrentCard::arm_upgrade_end(uint16_t kind, std::optional<ImageVersion> image,
                                  std::function<void(const VerifyReport&, const std::string&)> on_report) {
  const qhidev* d = list_->current;
  if (!d) return;
  m_end = UpgradeEndWait{};
  m_end.phase = Phase::Leaving;
  m_end.kind = kind;
  m_end.image = std::move(image);
  m_end.path = d->path;
  m_end.vendor_id = d->attributes.vendor_id;
  m_end.product_id = d->attributes.product_id;
  m_end.port = card_names(platform::backend(), *d).port;
  for (uint32_t i = 0; i < list_->count; ++i)
    if (const qhidev* o = list_->items[i].get(); o && o != d) m_end.others.push_back(o->path);
  m_end.since_ns = clock_now_ns();
  m_end.on_report = std::move(on_report);
  log_printf(LOG_TRACE, " msg : upgrade end: waiting for the card to restart\r\n");
}

void CurrentCard::report_upgrade_end(const VerifyReport& r, const std::string& version_after) {
  // Ended before the box opens: the timer goes on ticking under a modal box.
  m_end.phase = r.end == VerifiedEnd::RestartNeeded ? Phase::WaitReplug : Phase::Idle;
  if (m_end.on_report) m_end.on_report(r, version_after);
  show_restart_wait(-1);
  log_printf(LOG_TRACE, " msg : upgrade end %s\r\n", r.summary().c_str());
  if (r.end == VerifiedEnd::RestartNeeded) log_printf(LOG_TRACE, " msg : %s\r\n", RESTART_ADVICE);
  tell(upgrade_end_message(r, ui_text == ui_text_zh));
}

void CurrentCard::upgrade_end_tick() {
  if (m_end.phase == Phase::Leaving && ms_since(m_end.since_ns) >= RESTART_LEAVE_WAIT_MS) {
    // Still on the bus: it runs what it ran, unless it took the image without a restart.
    const std::string text = read_status_text(m_link, status_page(0)).value_or("");
    VerifyReport r = judge_return(m_end.kind, m_end.image, text);
    if (r.end == VerifiedEnd::NotVerified) r.end = VerifiedEnd::RestartNeeded;
    report_upgrade_end(r, text);
    return;
  }
  if (m_end.phase != Phase::Away) return;
  // Back but refused: the open is tried again, every QHIDEV_RETURN_RETRY_MS.
  if (m_end.refused_since_ns && ms_since(m_end.refused_try_ns) >= QHIDEV_RETURN_RETRY_MS) {
    const int at = upgrade_end_find();
    if (at >= 0) {
      upgrade_end_attach(at);
      if (m_end.phase != Phase::Away) return;
    }
  }
  const uint64_t waited = ms_since(m_end.since_ns);
  if (waited >= RESTART_RETURN_WAIT_MS) {
    report_upgrade_end({VerifiedEnd::NotVerified, "nothing: it did not come back within " +
                                                      std::to_string(RESTART_RETURN_WAIT_MS / 1000) + " s"});
    return;
  }
  // The countdown: the bar fills as the wait runs out, and a log line each second.
  const uint32_t left_s = static_cast<uint32_t>((RESTART_RETURN_WAIT_MS - waited + 999) / 1000);
  if (left_s != m_end.shown_s) {
    m_end.shown_s = left_s;
    show_restart_wait(static_cast<int>(waited * 100 / RESTART_RETURN_WAIT_MS));
    log_printf(LOG_TRACE, " msg : waiting for the card to come back: %u s\r\n", left_s);
  }
}

int CurrentCard::upgrade_end_find() const {
  std::vector<ListedCard> listed(list_->count);
  for (uint32_t i = 0; i < list_->count; ++i)
    if (const qhidev* d = list_->items[i].get())
      listed[i] = {{d->path, d->attributes.vendor_id, d->attributes.product_id}, card_names(platform::backend(), *d).port};
  return find_upgraded_card({m_end.path, m_end.vendor_id, m_end.product_id}, m_end.port, m_end.others, listed);
}

// The kernel lists the card that came back before udev has made its node and given the seat's
// user access to it: an open refused so is tried again from the timer for up to
// QHIDEV_RETURN_PATIENCE_MS, then the card is reported back but unopened. Any other failure waits
// for the next device change or the countdown, as before.
void CurrentCard::upgrade_end_attach(int at) {
  const qhidev* card = list_->items[static_cast<size_t>(at)].get();
  if (list_->current != card) attach_card(at);
  if (list_->current != card) {
    const platform::OpenFailure why = open_failure();
    if (why != platform::OpenFailure::Permission && why != platform::OpenFailure::NotFound) return;
    const uint64_t now = clock_now_ns();
    if (!m_end.refused_since_ns) m_end.refused_since_ns = now;
    m_end.refused_try_ns = now;
    if (ms_since(m_end.refused_since_ns) < QHIDEV_RETURN_PATIENCE_MS) return;
    m_end.refused_since_ns = 0;
    report_upgrade_end({VerifiedEnd::NotVerified, unread_return_text(why == platform::OpenFailure::NotFound,
                                                                     why == platform::OpenFailure::Permission)});
    return;
  }
  m_end.refused_since_ns = 0;
  const std::optional<std::string> text = read_status_text(m_link, status_page(0));
  if (!text) return;  // not answering yet: the next change or the countdown decides
  report_upgrade_end(judge_return(m_end.kind, m_end.image, *text), *text);
}

void CurrentCard::upgrade_end_on_change(uint32_t event) {
  if (m_end.phase == Phase::Idle) return;
  const int at = upgrade_end_find();
  if (m_end.phase != Phase::Away) {
    // A removal of the card, or a rescan without it: it left to restart.
    if (event == DEVICE_REMOVE_COMPLETE || at < 0) {
      m_end.phase = Phase::Away;
      m_end.since_ns = clock_now_ns();
      m_end.shown_s = 0;
      show_restart_wait(0);
    }
    if (at < 0 || event == DEVICE_REMOVE_COMPLETE) return;
  }
  if (at < 0) return;
  upgrade_end_attach(at);
}

}  // namespace kestrel
