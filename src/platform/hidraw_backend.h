// The Linux backend: HID interfaces are the hidraw devices that sysfs lists, opened through
// their /dev nodes; arrivals and removals come from a udev monitor on the hidraw subsystem.
//
// enumerate()   every hidraw device, ordered by number, with the USB interface number, release
//               and product string of its USB parents and the report descriptor from sysfs;
//               false only when root/sys/class/hidraw cannot be listed.
// open()        QueryOnly checks that the node exists and opens nothing (see HidrawDevice);
//               ReadWrite opens it O_RDWR, and fails as Unsupported on a kernel before 5.11,
//               which lacks the output and input report ioctls. Failures say which (Permission
//               for EACCES/EPERM: the udev rule 70-kestrel.rules is missing).
// hotplug_fd()  the udev monitor's socket, readable when a hidraw device arrives or leaves;
//               -1 when there is no monitor (no udev, or a fixture root: a fixture has no
//               kernel behind it). drain_hotplug() returns what the socket holds.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/hid_backend.h"

struct udev;
struct udev_monitor;

namespace kestrel::platform {

struct HidrawOptions {
  std::string root = "/";       // sysfs is read below root/sys, nodes opened below root/dev
  std::string kernel_release;   // empty: the running kernel's (uname)
};

// True when a kernel of this release ("6.1.0-13-amd64") has HIDIOCSOUTPUT and HIDIOCGINPUT.
// A release that does not parse is given the benefit of the doubt.
bool kernel_has_report_ioctls(std::string_view release);

class HidrawBackend final : public HidBackend {
 public:
  explicit HidrawBackend(HidrawOptions options = {});
  ~HidrawBackend() override;
  HidrawBackend(const HidrawBackend&) = delete;
  HidrawBackend& operator=(const HidrawBackend&) = delete;

  bool enumerate(std::vector<HidInterfaceInfo>& out) override;
  bool describe(const std::string& node, HidInterfaceInfo& out) override;
  std::unique_ptr<HidDevice> open(const std::string& node, Access access, std::string* error = nullptr) override;
  std::unique_ptr<HidDevice> open_checked(const std::string& node, Access access, OpenFailure& why,
                                          std::string* error = nullptr) override;
  int hotplug_fd() override;
  std::vector<HotplugEvent> drain_hotplug() override;

 private:
  HidrawOptions opt_;
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
};

}  // namespace kestrel::platform
