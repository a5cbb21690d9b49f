#include "platform/hidraw_backend.h"

#include <fcntl.h>
#include <libudev.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>

#include "platform/hidraw_device.h"
#include "platform/hidraw_sysfs.h"

namespace kestrel::platform {

namespace {

// HIDIOCSOUTPUT and HIDIOCGINPUT arrived in this release.
constexpr unsigned kReportIoctlMajor = 5, kReportIoctlMinor = 11;

std::string running_kernel() {
  utsname u{};
  return ::uname(&u) == 0 ? std::string(u.release) : std::string();
}

}  // namespace

bool kernel_has_report_ioctls(std::string_view release) {
  unsigned major = 0, minor = 0;
  const char* p = release.data();
  const char* end = release.data() + release.size();
  auto r = std::from_chars(p, end, major);
  if (r.ec != std::errc() || r.ptr == end || *r.ptr != '.') return true;
  r = std::from_chars(r.ptr + 1, end, minor);
  if (r.ec != std::errc()) return true;
  return major > kReportIoctlMajor || (major == kReportIoctlMajor && minor >= kReportIoctlMinor);
}

HidrawBackend::HidrawBackend(HidrawOptions options) : opt_(std::move(options)) {
  if (opt_.kernel_release.empty()) opt_.kernel_release = running_kernel();
  if (opt_.root != "/") return;
  udev_ = udev_new();
  if (!udev_) return;
  // The "udev" source reports a node after its rules ran, so its permissions are in place. Only
  // the udev daemon feeds it, though: where none runs (a container, an initramfs, a minimal
  // system) it stays silent, and the kernel's own uevents are all there is. devtmpfs has made the
  // node by the time the kernel announces it. /run/udev/control is the daemon's socket, the same
  // test libudev makes.
  const char* source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
  monitor_ = udev_monitor_new_from_netlink(udev_, source);
  if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
                   udev_monitor_enable_receiving(monitor_) < 0)) {
    udev_monitor_unref(monitor_);
    monitor_ = nullptr;
  }
  if (monitor_) {
    const int fd = udev_monitor_get_fd(monitor_);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
}

HidrawBackend::~HidrawBackend() {
  if (monitor_) udev_monitor_unref(monitor_);
  if (udev_) udev_unref(udev_);
}

bool HidrawBackend::enumerate(std::vector<HidInterfaceInfo>& out) {
  return hidraw_sysfs_enumerate(opt_.root, out);
}

bool HidrawBackend::describe(const std::string& node, HidInterfaceInfo& out) {
  return hidraw_sysfs_describe(opt_.root, node, out);
}

std::unique_ptr<HidDevice> HidrawBackend::open(const std::string& node, Access access, std::string* error) {
  OpenFailure why;
  return open_checked(node, access, why, error);
}

std::unique_ptr<HidDevice> HidrawBackend::open_checked(const std::string& node, Access access, OpenFailure& why,
                                                       std::string* error) {
  if (access == Access::ReadWrite && !kernel_has_report_ioctls(opt_.kernel_release)) {
    why = OpenFailure::Unsupported;
    if (error)
      *error = "Linux " + opt_.kernel_release +
               " has no HIDIOCSOUTPUT/HIDIOCGINPUT; talking to a card needs Linux 5.11 or later";
    return nullptr;
  }
  return HidrawDevice::open(node, access, why, error);
}

int HidrawBackend::hotplug_fd() { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

std::vector<HotplugEvent> HidrawBackend::drain_hotplug() {
  std::vector<HotplugEvent> events;
  if (!monitor_) return events;
  while (udev_device* d = udev_monitor_receive_device(monitor_)) {
    const char* action = udev_device_get_action(d);
    const char* node = udev_device_get_devnode(d);
    const std::string name = node ? node : root_join(opt_.root, std::string("dev/") + udev_device_get_sysname(d));
    if (action && std::string_view(action) == "add")
      events.push_back({HotplugEvent::Kind::Arrival, name});
    else if (action && std::string_view(action) == "remove")
      events.push_back({HotplugEvent::Kind::Removal, name});
    udev_device_unref(d);
  }
  return events;
}

}  // namespace kestrel::platform
