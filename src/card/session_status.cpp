// The live status of the session's card: title, signal format, input chosen, hold, lock and the
// busy state of the device controls.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "card/card_session.h"
#include "devlink/status_records.h"
#include "log/clock.h"
#include "log/log.h"
#include "res/ui_text.h"

namespace kestrel {

namespace {

constexpr uint64_t kBusyReapplyNs = 10'000'000'000ULL;  // re-apply the busy state at least this often

}  // namespace

void CardSession::refresh_status_display() {
  const uint64_t t0 = clock_now_ns();
  last_status_ns_ = t0;
  const std::optional<StatusView> got = card_.read_status_view();
  if (!got) {
    const SecNs e = split_ns(clock_now_ns() - t0);
    log_printf(0, " war : query status(%u) %u.%09u failed\r\n", 0u, e.sec, e.ns);
    return;
  }
  const StatusView& v = *got;
  card_.set_probe_state(v.probe + 1);

  observer_->read_choices(shown_);
  const int sel = shown_.input;
  if (!observer_->input_list_open() && sel != v.vpin) {
    log_printf(0, " war : input source(% u) != % u\r\n", static_cast<unsigned>(sel), v.vpin);
    choose(shown_.input, v.vpin, shown_.inputs.size());
    show(Shown::Input);
  }

  const int32_t f = v.fvpd != FVPD_SCANNING ? 1 : 0;
  if (f != fixed_input_) {
    fixed_input_ = f;
    shown_.hold = f == 1;
    show(Shown::Hold);
  }

  const uint8_t busy = v.busy != 0 ? 1 : 0;
  const uint64_t now = clock_now_ns();
  if (now >= enable_deadline_ns_ || busy != last_busy_) {
    last_busy_ = busy;
    enable_deadline_ns_ = now + kBusyReapplyNs;
    observer_->show_busy(busy != 0);
  }

  show(Shown::Locked);

  char text[4096];
  if (v.signal != 0 && v.resolution != 0)
    std::snprintf(text, sizeof text, "%uX%u %uf/s %s", unsigned{v.width()}, unsigned{v.height()}, unsigned{v.frame_rate},
                  v.interlaced ? "interlaced" : "progressive");
  else
    std::snprintf(text, sizeof text, " %s input(%u)", ui_text[1], v.signal);
  if (format_text_ != text) {
    format_text_ = text;
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

void CardSession::refresh_status() {
  if (card_.download_locked()) return;
  if (!card_.link().current()) return;
  uint8_t* s = card_.status_page(0).data();
  uint16_t len = 0;
  if (!card_.read_and_log_status(s, &len)) return;
  const std::optional<BoardStatus> st = parse_board_status({s, len});
  if (!st) return;
  show_version_text(s);
  color_format_ = st->color_format;
  input_locked_ = st->input_locked() ? 1 : 0;
  show(Shown::Color);
  refresh_status_display();
}

}  // namespace kestrel
