#include "bootmode/libusb_boot.h"

#include <libusb.h>

#include <cstdio>

namespace kestrel {

namespace {

// A boot ROM answers within milliseconds; a second is far beyond it and still short enough that
// a device that stopped answering fails the load promptly.
constexpr unsigned kRequestTimeoutMs = 1000;
constexpr int kMaxPortDepth = 7;  // USB allows five hubs between root and device

std::string id_of(libusb_device* dev) {
  uint8_t ports[kMaxPortDepth];
  const int n = libusb_get_port_numbers(dev, ports, kMaxPortDepth);
  std::string id = "usb:" + std::to_string(libusb_get_bus_number(dev)) + "-";
  for (int i = 0; i < n; ++i) id += (i ? "." : "") + std::to_string(ports[i]);
  return id;
}

bool is_boot_device(libusb_device* dev) {
  libusb_device_descriptor d{};
  return libusb_get_device_descriptor(dev, &d) == 0 && d.idVendor == BOOT_VENDOR_ID && d.idProduct == BOOT_PRODUCT_ID;
}

BootResult result_of(int rc, size_t wanted) {
  if (rc >= 0 && static_cast<size_t>(rc) == wanted) return {};
  if (rc >= 0) return {BootStatus::Error, "short transfer: " + std::to_string(rc) + " of " + std::to_string(wanted)};
  switch (rc) {
    case LIBUSB_ERROR_NO_DEVICE: return {BootStatus::Gone, {}};
    case LIBUSB_ERROR_PIPE: return {BootStatus::Refused, "stall"};
    default: return {BootStatus::Error, libusb_error_name(rc)};
  }
}

class LibusbBootPort : public BootPort {
 public:
  LibusbBootPort(libusb_device_handle* h, bool claimed) : h_(h), claimed_(claimed) {}
  ~LibusbBootPort() override {
    if (claimed_) libusb_release_interface(h_, 0);
    libusb_close(h_);
  }
  LibusbBootPort(const LibusbBootPort&) = delete;
  LibusbBootPort& operator=(const LibusbBootPort&) = delete;

  BootResult write(uint32_t address, std::span<const uint8_t> data) override {
    // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
    const int rc = libusb_control_transfer(h_, BOOT_REQUEST_OUT, BOOT_REQUEST, boot_value_of(address),
                                           boot_index_of(address), const_cast<uint8_t*>(data.data()),
                                           static_cast<uint16_t>(data.size()), kRequestTimeoutMs);
    return result_of(rc, data.size());
  }
  BootResult read(uint32_t address, std::span<uint8_t> out) override {
    const int rc = libusb_control_transfer(h_, BOOT_REQUEST_IN, BOOT_REQUEST, boot_value_of(address),
                                           boot_index_of(address), out.data(), static_cast<uint16_t>(out.size()),
                                           kRequestTimeoutMs);
    return result_of(rc, out.size());
  }
  BootResult jump(uint32_t entry) override {
    const int rc = libusb_control_transfer(h_, BOOT_REQUEST_OUT, BOOT_REQUEST, boot_value_of(entry),
                                           boot_index_of(entry), nullptr, 0, kRequestTimeoutMs);
    return result_of(rc, 0);
  }

 private:
  libusb_device_handle* h_;
  bool claimed_;
};

}  // namespace

LibusbBootBus::LibusbBootBus() {
  if (const int rc = libusb_init(&ctx_); rc != 0) {
    ctx_ = nullptr;
    error_ = std::string("cannot use USB: ") + libusb_error_name(rc);
  }
}

LibusbBootBus::~LibusbBootBus() {
  if (ctx_) libusb_exit(ctx_);
}

std::vector<BootDeviceInfo> LibusbBootBus::list() {
  std::vector<BootDeviceInfo> found;
  if (!ctx_) return found;
  libusb_device** devs = nullptr;
  const ssize_t n = libusb_get_device_list(ctx_, &devs);
  if (n < 0) {
    error_ = std::string("cannot list USB devices: ") + libusb_error_name(static_cast<int>(n));
    return found;
  }
  error_.clear();
  for (ssize_t i = 0; i < n; ++i) {
    if (!is_boot_device(devs[i])) continue;
    const std::string id = id_of(devs[i]);
    const std::string port = id.substr(id.find('-') + 1);
    found.push_back({id, "bus " + std::to_string(libusb_get_bus_number(devs[i])) + " port " + port, id.substr(4)});
  }
  libusb_free_device_list(devs, 1);
  return found;
}

std::unique_ptr<BootPort> LibusbBootBus::open(const std::string& id, std::string* error) {
  auto fail = [&](std::string why) -> std::unique_ptr<BootPort> {
    error_ = why;
    if (error) *error = std::move(why);
    return nullptr;
  };
  if (!ctx_) return fail(error_);
  libusb_device** devs = nullptr;
  const ssize_t n = libusb_get_device_list(ctx_, &devs);
  if (n < 0) return fail(std::string("cannot list USB devices: ") + libusb_error_name(static_cast<int>(n)));
  libusb_device_handle* h = nullptr;
  int rc = LIBUSB_ERROR_NOT_FOUND;
  for (ssize_t i = 0; i < n && !h; ++i)
    if (is_boot_device(devs[i]) && id_of(devs[i]) == id) rc = libusb_open(devs[i], &h);
  libusb_free_device_list(devs, 1);
  if (!h) {
    if (rc == LIBUSB_ERROR_ACCESS)
      return fail("no permission to open " + id + ": install the udev rule, or run as root");
    if (rc == LIBUSB_ERROR_NOT_FOUND) return fail("no device in boot mode at " + id);
    return fail("cannot open " + id + ": " + libusb_error_name(rc));
  }
  // The boot ROM's requests go to the device, which needs no claimed interface; the claim is
  // what keeps a second rescue (another kestrelctl, the window) off a controller being loaded:
  // the kernel grants interface 0 to one open file at a time. A ROM that offers no interface 0
  // is loaded unclaimed.
  rc = libusb_claim_interface(h, 0);
  if (rc == LIBUSB_ERROR_BUSY) {
    libusb_close(h);
    return fail("the device in boot mode at " + id.substr(4) + " is in use by another program (another rescue?)");
  }
  if (rc != 0 && rc != LIBUSB_ERROR_NOT_FOUND) {
    libusb_close(h);
    return fail("cannot claim " + id + ": " + libusb_error_name(rc));
  }
  error_.clear();
  return std::make_unique<LibusbBootPort>(h, rc == 0);
}

}  // namespace kestrel
