// The live status of the attached card: title, signal format, input chosen, hold, lock and the
// busy state of the device controls.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "card/current_card.h"
#include "boards/control_calls.h"
#include "boards/registry.h"
#include "devlink/commands.h"
#include "devlink/status_records.h"
#include "log/clock.h"
#include "log/log.h"
#include "res/ui_text.h"

namespace kestrel {

namespace {

// Code 6 writes the record whole.
static_assert(WORK_STATUS_COPY == STATUS_VIEW_SIZE);
constexpr size_t kWorkStatusLen = 176;
constexpr uint16_t kWorkStatusMin = 160;
constexpr uint64_t kBusyReapplyNs = 10'000'000'000ULL;  // re-apply the busy state at least this often

// The work-status answer's fields that make up the record when the board has no code 6:
// offset and width, copied to the same offset; bytes 160..167 go to 64..71.
struct Span {
  size_t off, len;
};
constexpr Span kCopied[] = {{0, 4}, {4, 1}, {10, 2}, {12, 4}, {16, 1}, {20, 4}, {24, 4}, {32, 32}};

}  // namespace

bool CurrentCard::work_status_get(uint8_t* dest) {
  const uint8_t one = 1;
  std::span<uint8_t> page = text_page(0);
  const uint8_t s = m_link.next_seq();
  if (!m_link.hid_put(s, CMD_WORK_STATUS, 0, &one, 1, page)) return false;
  if (!m_link.hid_get(page)) {
    log_printf(0, " war : query status(%u) get failed error(%u)\r\n", 0u, static_cast<unsigned>(errno));
    return false;
  }
  if (!m_link.frame_check(page.data(), CMD_WORK_STATUS, s, kWorkStatusMin)) return false;
  // A 160..175-byte answer leaves the tail as it was in the page; copy the full 176 all the same.
  std::memcpy(dest, page.data() + FRAME_HDR, kWorkStatusLen);
  return true;
}

bool CurrentCard::status_view_get(uint8_t* v) {
  if (m_registry) {
    BoardContext ctx{m_link, text_page(0)};
    if (ctl_work_status(*m_registry, ctx, std::span<uint8_t, WORK_STATUS_COPY>(v, WORK_STATUS_COPY))) return true;
  }
  uint8_t* answer = m_status_work.data() + kPage;
  if (!work_status_get(answer)) return false;
  std::memset(v, 0, STATUS_VIEW_SIZE);
  for (const Span& sp : kCopied) std::memcpy(v + sp.off, answer + sp.off, sp.len);
  std::memcpy(v + 64, answer + 160, 8);
  return true;
}

void CurrentCard::refresh_status_display() {
  const uint64_t t0 = clock_now_ns();
  m_last_status_ns = t0;
  uint8_t* record = m_status_work.data();
  const std::optional<StatusView> got =
      status_view_get(record) ? parse_status_view({record, STATUS_VIEW_SIZE}) : std::nullopt;
  if (!got) {
    const SecNs e = split_ns(clock_now_ns() - t0);
    log_printf(0, " war : query status(%u) %u.%09u failed\r\n", 0u, e.sec, e.ns);
    return;
  }
  const StatusView& v = *got;
  m_probe_state = v.probe + 1;

  take_choices();
  const int sel = shown_.input;
  if (!input_list_open() && sel != v.vpin) {
    log_printf(0, " war : input source(% u) != % u\r\n", static_cast<unsigned>(sel), v.vpin);
    choose(shown_.input, v.vpin, shown_.inputs.size());
    show(Shown::Input);
  }

  const int32_t f = v.fvpd != FVPD_SCANNING ? 1 : 0;
  if (f != m_fixed_input) {
    m_fixed_input = f;
    shown_.hold = f == 1;
    show(Shown::Hold);
  }

  const uint8_t busy = v.busy != 0 ? 1 : 0;
  const uint64_t now = clock_now_ns();
  if (now >= m_enable_deadline_ns || busy != m_last_busy) {
    m_last_busy = busy;
    m_enable_deadline_ns = now + kBusyReapplyNs;
    show_busy(busy != 0);
  }

  show(Shown::Locked);

  char text[4096];
  if (v.signal != 0 && v.resolution != 0)
    std::snprintf(text, sizeof text, "%uX%u %uf/s %s", unsigned{v.width()}, unsigned{v.height()}, unsigned{v.frame_rate},
                  v.interlaced ? "interlaced" : "progressive");
  else
    std::snprintf(text, sizeof text, " %s input(%u)", ui_text[1], v.signal);
  if (m_format_text != text) {
    m_format_text = text;
    shown_.signal_format = text;
    show(Shown::SignalFormat);
  }

  char title[256];
  const uint32_t idle = v.idle;
  const uint32_t t = v.t;
  std::snprintf(title, sizeof title, "KESTREL - usbd(%02X) idle %2u.%03u%% time %u.%03us", v.usbd, idle / 1000,
                idle % 1000, t / 1000, t % 1000);
  shown_.title = title;
  show(Shown::Title);
}

void CurrentCard::on_status_refresh_command() {
  if (m_dxctl_lock_status) return;
  if (!m_link.current()) return;
  uint8_t* s = m_status_work.data();
  uint16_t len = 0;
  if (!read_and_log_status(s, &len)) return;
  const std::optional<BoardStatus> st = parse_board_status({s, len});
  if (!st) return;
  show_version_text(s);
  m_color_format = st->color_format;
  m_input_locked = st->input_locked() ? 1 : 0;
  show(Shown::Color);
  refresh_status_display();
}

}  // namespace kestrel
