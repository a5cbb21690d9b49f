// The card's events: the reader's callback, what each event does, and the frame timing.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "card/card_session.h"
#include "devlink/commands.h"
#include "log/clock.h"
#include "log/log.h"

namespace kestrel {

namespace {

constexpr uint16_t kEventMonitor = 72;  // frame-timing notice
constexpr uint16_t kEventStatus = 1;    // status change with fresh frame timing
constexpr size_t kMonitorBlock = 48;    // work record, then push record

// Frame record fields.
constexpr size_t FR_QUEUE = 4, FR_TICK = 8, FR_WIDTH = 16, FR_HEIGHT = 18, FR_IP = 20, FR_RATE = 21, FR_INPUT = 22;

}  // namespace

bool CardSession::on_reader_event(void* context, uint32_t type, uint32_t length, const uint8_t* data) {
  auto* w = static_cast<CardSession*>(context);
  if (type == 1) {
    w->post(CardEvent::CardText);
    return true;
  }
  if (type != 2) return false;
  if (length != EVENT_SIZE || !data) return true;
  std::memcpy(w->event_state_.event.data(), data, EVENT_SIZE);
  const uint16_t code = get_le16(data + EVENT_WORD1);
  if (code == kEventMonitor) {
    w->post(CardEvent::FrameTiming);
  } else if (code == kEventStatus) {
    w->post(CardEvent::FrameTiming);
    w->post(CardEvent::StatusChange);
  } else {
    w->post(CardEvent::StatusChange);
  }
  return true;
}

void CardSession::print_card_text() {
  if (!card_.reader()) return;
  ReaderControl& c = *card_.reader();
  while (c.ring_read.load(std::memory_order_acquire) != c.ring_write.load(std::memory_order_acquire)) {
    ReaderControl::RingEntry& e = c.ring[c.ring_read.load() % READER_RING];
    const uint32_t len = e.length < sizeof e.text ? e.length : sizeof e.text - 1;
    e.text[len] = '\0';
    const SecNs age = split_ns(clock_now_ns() - e.time);
    log_printf(0, " *&* : %u.%09u %s\r\n", age.sec, age.ns, e.text);
    c.ring_read.store((c.ring_read.load() + 1) % READER_RING, std::memory_order_release);
  }
}

void CardSession::on_status_change() {
  const uint32_t w1 = get_le32(event_state_.event.data() + EVENT_WORD1);
  const uint32_t w2 = get_le32(event_state_.event.data() + EVENT_WORD2);
  if (card_.download_locked()) {
    log_printf(0, " *&* : intr event %08X : %08X but m_dxctl_lock_status(%u) != idle and to delay\r\n", w1, w2, 1u);
    pending_event_ = 1;
    return;
  }
  log_printf(0, " *&* : intr event %08X : %08X\r\n", w1, w2);
  board_status_refresh();
}

void CardSession::print_frame_record(const uint8_t* r, const char* key, uint64_t diff) {
  char when[256];
  format_wall_time(when, sizeof when, dev_to_wall_ns(get_le64(r + FR_TICK), dev_time_offset()));
  log_printf(0, "\r\n queue: %u input: %u framerate: %2u i/p: %u format: %4ux%-4u key : %s\r\n", get_le32(r + FR_QUEUE),
             r[FR_INPUT], r[FR_RATE], r[FR_IP], get_le16(r + FR_WIDTH), get_le16(r + FR_HEIGHT), key);
  const SecNs t = split_ns(get_le64(r + FR_TICK));
  const SecNs d = split_ns(diff);
  log_printf(0, "        %s tick: %u.%09u diff: %u.%09u\r\n", when, t.sec, t.ns, d.sec, d.ns);
}

void CardSession::print_frame_timing() {
  if (!monitor_capable_) return;
  uint8_t* s = card_.status_page(0).data();
  // The answer may be up to 257 bytes; the status work page holds it.
  if (card_.monitor_query(s) < kMonitorBlock) {
    // A block too short to hold both frame records carries nothing to print.
    return;
  }
  const uint8_t* w = s;
  const uint8_t* p = s + 24;
  const uint8_t* sw = event_state_.work.data();
  const uint64_t w_tick = get_le64(w + FR_TICK);
  const uint64_t p_tick = get_le64(p + FR_TICK);
  const uint64_t sw_tick = get_le64(sw + FR_TICK);
  if (w_tick == sw_tick) return;

  const int64_t offset = dev_time_offset();
  char when[256];
  format_wall_time(when, sizeof when, dev_to_wall_ns(w_tick, offset));
  const SecNs nano = split_ns(w_tick + static_cast<uint64_t>(offset));
  const SecNs tick = split_ns(w_tick);
  const SecNs base = split_ns(clock_now_ns());
  log_printf(0, "\r\n Qtime: %s tick %u.%09u nano %u.%09u base %u.%09u\r\n", when, nano.sec, nano.ns, tick.sec, tick.ns,
             base.sec, base.ns);
  if (p_tick == sw_tick) {
    print_frame_record(p, "push", w_tick - p_tick);
  } else {
    print_frame_record(sw, "push", p_tick - sw_tick);
    print_frame_record(p, "push", w_tick - p_tick);
  }
  print_frame_record(w, "work", clock_now_ns() - w_tick - static_cast<uint64_t>(offset));
  log_printf(0, "\r\n");
  std::memcpy(event_state_.work.data(), w, 24);
  std::memcpy(event_state_.push.data(), p, 24);
}

int64_t CardSession::dev_time_offset() const {
  const ReaderControl* r = card_.reader();
  return r ? r->dev_time_offset.load(std::memory_order_relaxed) : 0;
}

void CardSession::log_stdview_output() { log_printf(0, " *&* : stdview output event\r\n"); }

uint64_t dev_to_wall_ns(uint64_t dev_time, int64_t offset) {
  timespec ts{};
  timespec_get(&ts, TIME_UTC);
  const uint64_t wall = static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
  return wall - clock_now_ns() + static_cast<uint64_t>(offset) + dev_time;
}

void format_wall_time(char* buf, size_t size, uint64_t wall_ns) {
  const time_t secs = static_cast<time_t>(wall_ns / 1'000'000'000ULL);
  const unsigned rest = static_cast<unsigned>(wall_ns % 1'000'000'000ULL);
  tm t{};
  if (!localtime_r(&secs, &t)) {
    std::snprintf(buf, size, "?");
    return;
  }
  std::snprintf(buf, size, "%04u-%02u-%02u %02u:%02u:%02u.%09u", static_cast<unsigned>(t.tm_year + 1900),
                static_cast<unsigned>(t.tm_mon + 1), static_cast<unsigned>(t.tm_mday), static_cast<unsigned>(t.tm_hour),
                static_cast<unsigned>(t.tm_min), static_cast<unsigned>(t.tm_sec), rest);
}

}  // namespace kestrel
