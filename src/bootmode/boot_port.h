// The seam to a USB controller in boot mode (vendor 0x04B4, product 0x00F3): its boot ROM takes
// vendor request 0xA0 on the control pipe. Host to device (bmRequestType 0x40) writes the data
// stage to memory at the address whose low 16 bits are in wValue and high 16 bits in wIndex;
// device to host (0xC0) reads memory back; a write with no data starts the program at the
// address. At most 4,096 bytes per request.
//
// Two implementations: libusb (real devices, bootmode/libusb_boot.*) and the simulated boot ROM
// (sim/boot_rom.*).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

inline constexpr uint16_t BOOT_VENDOR_ID = 0x04B4;
inline constexpr uint16_t BOOT_PRODUCT_ID = 0x00F3;
inline constexpr uint8_t BOOT_REQUEST = 0xA0;
inline constexpr uint8_t BOOT_REQUEST_OUT = 0x40;  // vendor, device recipient, host to device
inline constexpr uint8_t BOOT_REQUEST_IN = 0xC0;   // vendor, device recipient, device to host
inline constexpr uint32_t BOOT_CHUNK_MAX = 4096;   // bytes per 0xA0 request

inline uint16_t boot_value_of(uint32_t address) { return static_cast<uint16_t>(address & 0xFFFF); }
inline uint16_t boot_index_of(uint32_t address) { return static_cast<uint16_t>(address >> 16); }

enum class BootStatus : uint8_t {
  Ok,
  Gone,     // the device left the bus (unplugged, or it started a program)
  Refused,  // the boot ROM stalled the request (an address it does not hold, a bad length)
  Error,    // any other transfer error or time-out
};
const char* boot_status_name(BootStatus s);  // "ok", "device gone", "refused", "transfer error"

struct BootResult {
  BootStatus status = BootStatus::Ok;
  std::string detail;  // the transport's own words, when it has any
  bool ok() const { return status == BootStatus::Ok; }
};

// One opened device in boot mode. Each call is one control request.
class BootPort {
 public:
  virtual ~BootPort() = default;
  // Writes `data` (1 to 4,096 bytes) at `address`. Ok only when every byte was taken.
  virtual BootResult write(uint32_t address, std::span<const uint8_t> data) = 0;
  // Reads `out.size()` bytes (1 to 4,096) from `address`. Ok only when every byte arrived.
  virtual BootResult read(uint32_t address, std::span<uint8_t> out) = 0;
  // Starts the program at `entry`. Ok when the ROM acknowledged; Gone when the device left the
  // bus before the acknowledgement could arrive, which a started program may do.
  virtual BootResult jump(uint32_t entry) = 0;
};

struct BootDeviceInfo {
  std::string id;     // what open() takes: "usb:<bus>-<port path>" or "sim:<index>"
  std::string where;  // for people: "bus 1 port 3.2" or "simulated boot ROM 0"
  std::string port;   // its USB port path as cards are named by ("1-3.2"): where the card comes back
};

// The devices in boot mode a transport sees.
class BootBus {
 public:
  virtual ~BootBus() = default;
  // The devices present now (empty when none, or when the bus cannot be read: see error()).
  virtual std::vector<BootDeviceInfo> list() = 0;
  // nullptr when it cannot be opened, with `error` (if given) saying why. The port holds the
  // device for this program alone until it is destroyed: a second open, from this program or
  // another, is refused while it lives, so two rescues never load one controller at once.
  virtual std::unique_ptr<BootPort> open(const std::string& id, std::string* error = nullptr) = 0;
  // Why the last list() or open() failed; empty when it did not.
  virtual std::string error() const { return {}; }
};

}  // namespace kestrel
