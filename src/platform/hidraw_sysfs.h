// What the hidraw backend reads from sysfs: the hidraw class devices, their HID parent (IDs,
// report descriptor) and their USB interface and device (interface number, release, product
// string), and the Windows-form interface path made from them. Everything is read below a root
// directory, "/" on a running system and a fixture tree in tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hid_backend.h"

namespace kestrel::platform {

// The HID interface class GUID that ends every interface path.
inline constexpr std::string_view kHidClassGuid = "{4d1e55b2-f16f-11cf-88cb-001111000030}";
inline constexpr uint16_t kBusUsb = 0x0003;

// \\?\hid#vid_04b4&pid_00ed&mi_02#<instance>#{4d1e55b2-...} for a USB interface (no "&mi_xx"
// when interface < 0), lower-case hex. Another bus gets "hid#bus_0005&vid_...", a form that no
// card prefix matches, as no card is anything but USB.
std::string hid_interface_path(uint16_t bus, uint16_t vendor, uint16_t product, int interface,
                               std::string_view instance);

// Every hidraw device below root/sys/class/hidraw, ordered by hidraw number. An entry whose
// sysfs cannot be read (a device leaving meanwhile) is left out. False when the class
// directory cannot be listed.
bool hidraw_sysfs_enumerate(const std::string& root, std::vector<HidInterfaceInfo>& out);

// The entry whose node is `node` (root/dev/hidrawN).
bool hidraw_sysfs_describe(const std::string& root, const std::string& node, HidInterfaceInfo& out);

// The sysfs directory of the USB device that the class device root/sys/class/<cls>/<name> sits
// on; "" when it is on no USB device. Shared with the video-node finder.
std::string sysfs_usb_device_of(const std::string& root, const std::string& cls, const std::string& name);
// A text attribute of a sysfs directory without its line end; false when it cannot be read.
bool sysfs_read_attr(const std::string& dir, const char* name, std::string& out);
// The value of KEY in a uevent text ("KEY=value" lines); "" when absent.
std::string sysfs_uevent_value(const std::string& uevent, std::string_view key);

// root joined with a path relative to it ("sys/class/hidraw"): "/sys/class/hidraw" for "/".
std::string root_join(const std::string& root, std::string_view rel);

}  // namespace kestrel::platform
