// The 10 ms tick: the debug-output poll for cards without asynchronous reports, the monitor
// query every 2^32 ns, and the once-a-second status display; and the device-change handler.
#include <cstring>

#include "card/card_session.h"
#include "log/clock.h"
#include "log/hexdump.h"
#include "log/log.h"
#include "platform/card_claim.h"
#include "res/ui_phrases.h"

namespace kestrel {

namespace {

constexpr size_t kDebugReportSize = 248;   // input report 8 as fetched
constexpr size_t kDebugPayloadFull = 240;  // a full report: more text is waiting
constexpr uint16_t kDebugLenMax = 256;
constexpr uint32_t kPollBackoffTicks = 10;
constexpr uint64_t kMonitorPeriodNs = 1ULL << 32;  // about 4.3 s
constexpr uint64_t kStatusPeriodNs = 1'000'000'000ULL;
constexpr uint64_t kBusyCheckNs = 200'000'000ULL;
constexpr uint8_t kKindText = 1;
constexpr uint8_t kKindUpdate = 2;

const char* const kDeviceEventNames[8] = {"ARRIVAL", "REMOVE", "ABORT", "PENDING", "COMPLETE", "", "", ""};

}  // namespace

void CardSession::debug_output_poll() {
  for (;;) {
    if (poll_paused_) return;
    qhidev* d = card_.link().current();
    if (d && (d->link_flags & QHIDEV_F_ASYNC_MASK)) return;
    ++poll_count_;
    if (poll_count_ < poll_period_) {
      if (poll_period_ > kPollBackoffTicks) poll_period_ = kPollBackoffTicks;
      return;
    }
    poll_count_ = 0;
    std::span<uint8_t> page = card_.text_page(0);
    std::memset(page.data(), 0, kDebugReportSize);
    page[0] = RID_DEBUG_TEXT;
    if (!d) {
      poll_period_ = kPollBackoffTicks;
      return;
    }
    const uint16_t len = d->handle->get_input_report(page.first(kDebugReportSize)) ? get_le16(page.data() + FRAME_LEN) : 0xFFFF;
    if (len > kDebugLenMax) {
      poll_period_ = kPollBackoffTicks;
      return;
    }
    const uint8_t kind = page[0] == RID_DEBUG_TEXT ? page[FRAME_CMD] : page[0];
    // Only the bytes the report carries are passed on (a length of 241..256 claims more).
    const uint32_t carried = len < kDebugReportSize - FRAME_HDR ? len : kDebugReportSize - FRAME_HDR;
    if (kind == kKindText && len > 0) {
      poll_period_ = 0;
      log_write_raw(page.data() + FRAME_HDR, carried);
      if (len >= kDebugPayloadFull) continue;
      return;
    }
    if (kind == kKindUpdate) {
      poll_period_ = 0;
      log_printf(15, " *&* : kestrel update ......");
      log_hex_dump(15, page.data(), carried + FRAME_HDR);
      post(CardEvent::StatusRefresh);
      continue;
    }
    if (poll_period_ < kPollBackoffTicks) ++poll_period_;
    return;
  }
}

void CardSession::on_timer(uint32_t id) {
  if (id != kTimerId) return;
  upgrade_end_tick();
  if (!list_->current) return;
  if (busy_elsewhere()) return;
  debug_output_poll();
  if (card_.download_locked()) return;
  const uint64_t now = clock_now_ns();
  if (monitor_capable_ && now >= next_monitor_ns_) {
    next_monitor_ns_ = now + kMonitorPeriodNs;
    print_frame_timing();
  }
  if (now - last_status_ns_ >= kStatusPeriodNs) {
    last_status_ns_ = now;
    refresh_status_display();
  }
}

bool CardSession::busy_elsewhere() {
  // The timer ticks every 10 ms; another program's claim is looked at (two flock calls) five
  // times a second, which is soon enough for a title and costs the tick nothing in between.
  const uint64_t now = clock_now_ns();
  if (busy_checked_ns_ != 0 && now - busy_checked_ns_ < kBusyCheckNs) return !busy_elsewhere_.empty();
  busy_checked_ns_ = now;
  const qhidev* d = list_->current;
  const std::shared_ptr<platform::CardClaim> claim = d && d->handle ? d->handle->claim() : nullptr;
  const std::optional<platform::ClaimHolder> other = claim ? claim->upgrade_elsewhere() : std::nullopt;
  std::string busy;
  if (other) {
    busy = std::string(ui_phrase("设备忙: 另一个程序正在升级"));
    if (!other->program.empty()) busy += " (" + other->program + ", pid " + std::to_string(other->pid) + ")";
  }
  if (busy == busy_elsewhere_) return !busy.empty();
  busy_elsewhere_ = busy;
  if (!busy.empty()) {
    log_printf(0, " war : card busy: %s\r\n", other->text().c_str());
    shown_.title = busy;
    show(Shown::Title);
    observer_->enable_device_controls(false);
    return true;
  }
  // Released: the card as it is now, at once.
  observer_->enable_device_controls(shown_.card >= 0);
  last_status_ns_ = 0;
  refresh_status();
  return false;
}

bool CardSession::on_device_change(uint32_t event) {
  switch (event) {
    case DEVICE_ARRIVAL:
    case DEVICE_QUERY_REMOVE:
    case DEVICE_REMOVE_PENDING:
    case DEVICE_REMOVE_COMPLETE:
      log_printf(0, " *&* : device change for %04X:%s\r\n", event, kDeviceEventNames[event & 7]);
      {
        ReaderHold hold(card_.reader());
        qhidev_release_all(*list_);
      }
      board_scan();
      refresh_status();
      observer_->enable_device_controls(shown_.card >= 0);
      upgrade_end_on_change(event);
      break;
    default:
      break;
  }
  return true;
}

}  // namespace kestrel
