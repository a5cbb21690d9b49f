#include "devlink/reader.h"

#include <cerrno>
#include <cstring>
#include <thread>

#include "devlink/frame.h"
#include "log/clock.h"
#include "log/hexdump.h"
#include "log/log.h"

namespace kestrel {


namespace {

constexpr uint32_t kIdleMs = 100;       // nothing to read: look again in 100 ms
constexpr uint32_t kGoneMs = 100;       // the card went away: silent back-off
constexpr uint32_t kErrorMs = 10;       // other read errors: one line and a short back-off
constexpr int kReadSliceMs = 100;       // a blocked read looks at the flags this often
constexpr size_t kShortTextMax = 55;    // reports 3 and 12 hold at most 55 payload bytes

constexpr uint8_t RID_EVENT_ASYNC = 2;
constexpr uint8_t RID_TEXT_SHORT = 3;
constexpr uint8_t RID_MIXED = 12;

bool event_record_ok(const uint8_t* rec) {
  return get_le32(rec + 4) == MAGIC_ZHHH && frame_sum_intact(rec, 24);
}

}  // namespace

AsyncVerdict reader_dispatch(ReaderControl& c, const uint8_t* r, size_t got) {
  if (got == 0) return AsyncVerdict::Dropped;
  const uint16_t len = got >= FRAME_HDR ? get_le16(r + FRAME_LEN) : 0;
  // The frame sum may only run over bytes that were read.
  auto sum_ok = [&](size_t n) { return n <= got && frame_sum_intact(r, n); };

  switch (r[0]) {
    case RID_EVENT_ASYNC: {
      if (got < 24 || !event_record_ok(r)) return AsyncVerdict::Dropped;
      const uint64_t dev_time = get_le64(r + 8);
      c.dev_time_offset.store(static_cast<int64_t>(clock_now_ns() - dev_time), std::memory_order_relaxed);
      if (c.callback) c.callback(c.context, 2, 24, r);
      return AsyncVerdict::Event;
    }
    case RID_TEXT_SHORT:
      if (got < FRAME_HDR || len > kShortTextMax || !sum_ok(FRAME_HDR + len) || r[2] != 1) return AsyncVerdict::Dropped;
      log_write_raw(r + FRAME_HDR, len);
      return AsyncVerdict::Text;
    case RID_DEBUG_TEXT:
      if (got < FRAME_HDR || r[2] != 1 || len == 0 || FRAME_HDR + len > got || !sum_ok(FRAME_HDR + len))
        return AsyncVerdict::Dropped;
      log_write_raw(r + FRAME_HDR, len);
      return AsyncVerdict::Text;
    case RID_MIXED:
      if (got < FRAME_HDR || len > kShortTextMax || !sum_ok(FRAME_HDR + len)) return AsyncVerdict::Dropped;
      if (r[2] == 1) {
        log_write_raw(r + FRAME_HDR, len);
        return AsyncVerdict::Text;
      }
      if (r[2] == 2) {
        if (len != 24 || !event_record_ok(r + FRAME_HDR)) return AsyncVerdict::Dropped;
        if (c.callback) c.callback(c.context, 2, 24, r + FRAME_HDR);
        return AsyncVerdict::EventNoOffset;
      }
      log_hex_dump(0, r, static_cast<uint32_t>(got));
      return AsyncVerdict::Dumped;
    default:
      log_hex_dump(0, r, static_cast<uint32_t>(got));
      return AsyncVerdict::Dumped;
  }
}

int hid_reader(ReaderControl& c) {
  alignas(64) uint8_t buf[ASYNC_READ_SIZE];
  while (!c.flags.stop.load(std::memory_order_acquire)) {
    std::shared_ptr<platform::HidDevice> dev;
    uint16_t flags = 0;
    {
      std::lock_guard<std::mutex> g(c.device_lock);
      if (c.list && !c.hold.load(std::memory_order_acquire) && c.run.load(std::memory_order_acquire)) {
        // The current device, its handle and its link flags change on the window's thread
        // (attach, rescan); they are read together under the list's reader lock.
        std::shared_ptr<platform::HidDevice> h = qhidev_reader_handle(*c.list, &flags);
        if (h && (flags & QHIDEV_F_ASYNC_MASK)) dev = std::move(h);
      }
      c.reading = dev;
    }
    if (!dev) {
      sleep_ms(kIdleMs);
      continue;
    }
    size_t got = 0;
    const platform::ReadStatus st = dev->read_interrupt(std::span<uint8_t>(buf, sizeof buf), kReadSliceMs, got);
    // A report is handed on before the device is let go, so that a hold (a release, a rescan,
    // the window going away) also waits for the callback into the window to finish.
    if (st == platform::ReadStatus::Ok && !c.flags.stop.load(std::memory_order_acquire) &&
        !c.hold.load(std::memory_order_acquire))
      reader_dispatch(c, buf, got);
    {
      std::lock_guard<std::mutex> g(c.device_lock);
      c.reading.reset();
    }
    if (c.flags.stop.load(std::memory_order_acquire)) break;
    switch (st) {
      case platform::ReadStatus::Ok:
        break;
      case platform::ReadStatus::Timeout:
      case platform::ReadStatus::Cancelled:
        break;
      case platform::ReadStatus::Gone:
        sleep_ms(kGoneMs);
        break;
      case platform::ReadStatus::Error:
        log_printf(0, " *&* : read file failed %u\r\n", static_cast<unsigned>(errno));
        sleep_ms(kErrorMs);
        break;
    }
  }
  c.flags.exited_b.store(1, std::memory_order_release);
  c.flags.exited_a.store(1, std::memory_order_release);
  return 0;
}

ReaderHold::ReaderHold(ReaderControl* c) : c_(c), was_(0) {
  if (!c_) return;
  was_ = c_->hold.exchange(1, std::memory_order_acq_rel);
  // Wake a blocked read and wait until the reader has dropped its reference.
  for (;;) {
    std::shared_ptr<platform::HidDevice> r;
    {
      std::lock_guard<std::mutex> g(c_->device_lock);
      r = c_->reading;
    }
    if (!r) break;
    r->cancel_read();
    std::this_thread::yield();
  }
}

ReaderHold::~ReaderHold() {
  if (c_) c_->hold.store(was_, std::memory_order_release);
}

}  // namespace kestrel
