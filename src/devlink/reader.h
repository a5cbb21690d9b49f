// The input-report reader: a thread that reads the current card's interrupt-IN reports, accepts
// events and debug text by the rules of each report ID, and hands events to the session that
// listens only through its callback (which posts them to the front end's thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "devlink/qhidev.h"
#include "log/console.h"

namespace kestrel {

using DeviceEventCallback = bool (*)(void* context, uint32_t type, uint32_t length, const uint8_t* data);

constexpr uint32_t READER_RING = 16;

struct ReaderControl {
  void* context = nullptr;
  DeviceEventCallback callback = nullptr;
  std::atomic<uint8_t> run{0};
  std::atomic<uint8_t> hold{0};
  ReaderStopFlags flags;  // stop, exited A, exited B
  qhidev_list* list = nullptr;  // whose current card it reads: none until a session listens
  // Host monotonic time minus card time, from the last accepted input report 2: the card's
  // frame times as the host's clock has them.
  std::atomic<int64_t> dev_time_offset{0};

  // Device text lines for the 32821 handler (16 entries of one page each).
  struct RingEntry {
    uint64_t time;
    uint32_t length;
    char text[4096];
  };
  std::atomic<uint32_t> ring_read{0};
  std::atomic<uint32_t> ring_write{0};
  RingEntry ring[READER_RING];

  // The device the reader is reading, so that a release can wake it. Guarded by `device_lock`.
  std::mutex device_lock;
  std::shared_ptr<platform::HidDevice> reading;
};

// What the reader did with one report; returned for tests.
enum class AsyncVerdict { Event, EventNoOffset, Text, Dumped, Dropped };

// Applies the acceptance table to one report of `got` bytes (byte 0 the report ID) and acts on
// it: updates the time offset, calls back, writes the device text, or dumps it.
AsyncVerdict reader_dispatch(ReaderControl& c, const uint8_t* report, size_t got);

// The thread routine: runs until c.flags.stop is set, then sets exited B and exited A.
int hid_reader(ReaderControl& c);

// Holds the reader off the current device while the list is released or a device replaced:
// sets hold, wakes a blocked read and waits until the reader has let go of the device. The
// reader keeps its own reference, so even a read in flight never uses a destroyed device.
class ReaderHold {
 public:
  explicit ReaderHold(ReaderControl* c);
  ~ReaderHold();
  ReaderHold(const ReaderHold&) = delete;
  ReaderHold& operator=(const ReaderHold&) = delete;

 private:
  ReaderControl* c_;
  uint8_t was_;
};

}  // namespace kestrel
