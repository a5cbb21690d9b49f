// The 10 ms tick: the debug-output poll for cards without asynchronous reports, the monitor
// query every 2^32 ns, and the once-a-second status display; and the device-change handler.
#include <cstring>

#include "card/current_card.h"
#include "card/card_commands.h"
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

void CurrentCard::debug_output_poll() {
  for (;;) {
    if (m_poll_paused) return;
    qhidev* d = m_link.current();
    if (d && (d->link_flags & QHIDEV_F_ASYNC_MASK)) return;
    ++m_poll_count;
    if (m_poll_count < m_poll_period) {
      if (m_poll_period > kPollBackoffTicks) m_poll_period = kPollBackoffTicks;
      return;
    }
    m_poll_count = 0;
    std::span<uint8_t> page = text_page(0);
    std::memset(page.data(), 0, kDebugReportSize);
    page[0] = RID_DEBUG_TEXT;
    if (!d) {
      m_poll_period = kPollBackoffTicks;
      return;
    }
    const uint16_t len = d->handle->get_input_report(page.first(kDebugReportSize)) ? get_le16(page.data() + FRAME_LEN) : 0xFFFF;
    if (len > kDebugLenMax) {
      m_poll_period = kPollBackoffTicks;
      return;
    }
    const uint8_t kind = page[0] == RID_DEBUG_TEXT ? page[FRAME_CMD] : page[0];
    // Only the bytes the report carries are passed on (a length of 241..256 claims more).
    const uint32_t carried = len < kDebugReportSize - FRAME_HDR ? len : kDebugReportSize - FRAME_HDR;
    if (kind == kKindText && len > 0) {
      m_poll_period = 0;
      log_write_raw(page.data() + FRAME_HDR, carried);
      if (len >= kDebugPayloadFull) continue;
      return;
    }
    if (kind == kKindUpdate) {
      m_poll_period = 0;
      log_printf(15, " *&* : kestrel update ......");
      log_hex_dump(15, page.data(), carried + FRAME_HDR);
      post(ids::ID_STATUS_REFRESH);
      continue;
    }
    if (m_poll_period < kPollBackoffTicks) ++m_poll_period;
    return;
  }
}

void CurrentCard::on_timer(uint32_t id) {
  if (id != kTimerId) return;
  upgrade_end_tick();
  if (!list_->current) return;
  if (busy_elsewhere()) return;
  debug_output_poll();
  if (m_dxctl_lock_status) return;
  const uint64_t now = clock_now_ns();
  if (m_monitor_capable && now >= m_next_monitor_ns) {
    m_next_monitor_ns = now + kMonitorPeriodNs;
    on_monitor_query();
  }
  if (now - m_last_status_ns >= kStatusPeriodNs) {
    m_last_status_ns = now;
    refresh_status_display();
  }
}

bool CurrentCard::busy_elsewhere() {
  // The timer ticks every 10 ms; another program's claim is looked at (two flock calls) five
  // times a second, which is soon enough for a title and costs the tick nothing in between.
  const uint64_t now = clock_now_ns();
  if (m_busy_checked_ns != 0 && now - m_busy_checked_ns < kBusyCheckNs) return !m_busy_elsewhere.empty();
  m_busy_checked_ns = now;
  const qhidev* d = list_->current;
  const std::shared_ptr<platform::CardClaim> claim = d && d->handle ? d->handle->claim() : nullptr;
  const std::optional<platform::ClaimHolder> other = claim ? claim->upgrade_elsewhere() : std::nullopt;
  std::string busy;
  if (other) {
    busy = std::string(ui_phrase("设备忙: 另一个程序正在升级"));
    if (!other->program.empty()) busy += " (" + other->program + ", pid " + std::to_string(other->pid) + ")";
  }
  if (busy == m_busy_elsewhere) return !busy.empty();
  m_busy_elsewhere = busy;
  if (!busy.empty()) {
    log_printf(0, " war : card busy: %s\r\n", other->text().c_str());
    shown_.title = busy;
    show(Shown::Title);
    enable_device_controls(false);
    return true;
  }
  // Released: the card as it is now, at once.
  enable_device_controls(shown_.card >= 0);
  m_last_status_ns = 0;
  on_status_refresh_command();
  return false;
}

bool CurrentCard::on_device_change(uint32_t event) {
  switch (event) {
    case DEVICE_ARRIVAL:
    case DEVICE_QUERY_REMOVE:
    case DEVICE_REMOVE_PENDING:
    case DEVICE_REMOVE_COMPLETE:
      log_printf(0, " *&* : device change for %04X:%s\r\n", event, kDeviceEventNames[event & 7]);
      {
        ReaderHold hold(m_reader);
        qhidev_release_all(*list_);
      }
      board_scan();
      on_status_refresh_command();
      enable_device_controls(shown_.card >= 0);
      upgrade_end_on_change(event);
      break;
    default:
      break;
  }
  return true;
}

}  // namespace kestrel
