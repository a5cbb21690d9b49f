// The seam between Kestrel and the operating system's HID stack. Everything above it sees the
// same calls whether the card is a /dev/hidraw node or a simulated card in this process.
//
// Every report call hands over or receives one whole report of its fixed size, report ID in
// byte 0: one call per report, never a partial transfer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestrel::platform {

class CardClaim;

// One present HID interface, as enumeration describes it.
struct HidInterfaceInfo {
  std::string node;            // what open() takes: "/dev/hidraw3", "sim:0", ...
  std::string path;            // Windows-form interface path, lower-case hex:
                               // \\?\hid#vid_04b4&pid_00ed&mi_02#...#{4d1e55b2-...}
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint16_t release = 0;        // bcdDevice
  int interface_number = -1;   // USB bInterfaceNumber, -1 when not a USB device
  std::string product;         // USB product string (UTF-8)
  bool product_ok = false;     // false when the product string could not be read
  std::string port;            // USB port path ("1-2.3", the USB device's sysfs name); the HID
                               // phys text for a device on no USB device; "" when unknown
  std::string serial;          // USB serial string (the HID uniq off USB); "" when it has none
  std::vector<uint8_t> report_descriptor;
};

enum class Access {
  QueryOnly,  // may read attributes and strings; no reports
  ReadWrite,
};

enum class ReadStatus {
  Ok,         // one report read; `got` holds its length
  Timeout,    // nothing arrived within the time given
  Cancelled,  // woken by cancel_read()
  Gone,       // the device was unplugged (ENODEV, POLLHUP)
  Error,      // any other failure
};

class HidDevice {
 public:
  virtual ~HidDevice() = default;

  // Output report over the control pipe. True when the whole report was taken.
  virtual bool set_output_report(std::span<const uint8_t> report) = 0;
  // Fetch the input report whose ID is in report[0]; fills the whole span. True on success.
  virtual bool get_input_report(std::span<uint8_t> report) = 0;
  virtual bool set_feature_report(std::span<const uint8_t> report) = 0;
  // Fetch the feature report whose ID is in report[0]; fills the whole span. True on success.
  virtual bool get_feature_report(std::span<uint8_t> report) = 0;

  // Blocking read of one interrupt-IN report. timeout_ms < 0 waits without limit. Safe to call
  // from one reader thread while other threads use the report calls above.
  virtual ReadStatus read_interrupt(std::span<uint8_t> buffer, int timeout_ms, size_t& got) = 0;
  // Wakes a read_interrupt() blocked on another thread; it returns Cancelled. Callable from any
  // thread; a wake that finds no reader is kept for the next read.
  virtual void cancel_read() = 0;

  // The driver's input queue size; false when the platform fixes it.
  virtual bool set_input_buffers(uint32_t count) = 0;

  // The host's claim on the card behind this handle (card_claim.h), shared with every other
  // program on the machine; null when no other program can reach the card.
  virtual std::shared_ptr<CardClaim> claim() { return nullptr; }
};

// Why an open failed, for callers that tell the user what to do about it.
enum class OpenFailure {
  None,
  NotFound,     // no such node (the interface left)
  Permission,   // the node exists but this user may not open it
  Unsupported,  // the system lacks what the report calls need (kernel too old)
  Other,
};

struct HotplugEvent {
  enum class Kind { Arrival, Removal } kind;
  std::string node;
};

class HidBackend {
 public:
  virtual ~HidBackend() = default;

  // Every present HID interface, in a stable order. False when the list cannot be made at all.
  virtual bool enumerate(std::vector<HidInterfaceInfo>& out) = 0;
  // nullptr on failure; `error` (optional) receives a one-line reason.
  virtual std::unique_ptr<HidDevice> open(const std::string& node, Access access,
                                          std::string* error = nullptr) = 0;
  // open() that also says why it failed. The default calls open() and calls any failure Other.
  virtual std::unique_ptr<HidDevice> open_checked(const std::string& node, Access access,
                                                  OpenFailure& why, std::string* error = nullptr);
  // The one present interface whose node is `node`, as enumerate() describes it; false when
  // there is none. The default enumerates and picks it out.
  virtual bool describe(const std::string& node, HidInterfaceInfo& out);
  // A file descriptor that becomes readable when interfaces arrive or leave; -1 when the
  // backend has none. drain_hotplug() then returns what happened, oldest first.
  virtual int hotplug_fd() = 0;
  virtual std::vector<HotplugEvent> drain_hotplug() = 0;
};

// The process-wide backend that device discovery uses. Not owned.
void set_backend(HidBackend* backend);
HidBackend* backend();

}  // namespace kestrel::platform
