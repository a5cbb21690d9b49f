// Devices in boot mode on the real USB bus, through libusb-1.0.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bootmode/boot_port.h"

struct libusb_context;

namespace kestrel {

class LibusbBootBus : public BootBus {
 public:
  LibusbBootBus();
  ~LibusbBootBus() override;
  LibusbBootBus(const LibusbBootBus&) = delete;
  LibusbBootBus& operator=(const LibusbBootBus&) = delete;

  // Lists 04B4:00F3 devices by bus and port path (stable while the device stays plugged into
  // the same port, unlike its device number).
  std::vector<BootDeviceInfo> list() override;
  std::unique_ptr<BootPort> open(const std::string& id, std::string* error = nullptr) override;
  std::string error() const override { return error_; }

 private:
  libusb_context* ctx_ = nullptr;
  std::string error_;
};

}  // namespace kestrel
