// A fixture of the kernel's view of HID interfaces: sysfs directories laid out as the kernel lays
// them out (USB device, USB interface, HID device, hidraw class device, the class link) and the
// /dev node, under a temporary root; or the same devices as a umockdev description.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/descriptor_builder.h"
#include "platform/hidraw_backend.h"

namespace kestrel::test {

struct FakeHid {
  unsigned minor = 0;                // hidraw<minor>
  uint16_t bus = 0x0003;             // USB; 0x0018 is I2C
  uint16_t vendor = 0x04B4;
  uint16_t product = 0x00ED;
  uint16_t release = 0x0100;
  int interface = 2;                 // USB interface number
  std::string usb_port = "1-2";      // the USB device's sysfs name
  std::optional<std::string> product_string = "USB Video";
  std::string hid_name;              // HID_NAME
  std::optional<std::string> serial;  // the USB device's serial string
  std::string hid_phys, hid_uniq;    // HID_PHYS, HID_UNIQ (written when not empty)
  std::vector<uint8_t> descriptor = card_descriptor();
  bool broken = false;               // the HID device's uevent lacks HID_ID

  std::string hidraw() const { return "hidraw" + std::to_string(minor); }
  std::string usb_device_path() const { return "devices/pci0000:00/0000:00:14.0/usb1/" + usb_port; }
  std::string usb_interface_path() const {
    return usb_device_path() + "/" + usb_port + ":1." + std::to_string(interface);
  }
  std::string hid_path() const {
    char id[32];
    std::snprintf(id, sizeof id, "%04X:%04X:%04X.%04X", bus, vendor, product, minor + 1);
    const std::string parent = bus == 0x0003 ? usb_interface_path() : "devices/platform/i2c_designware.0/i2c-1/i2c-dev";
    return parent + "/" + id;
  }
  std::string hidraw_path() const { return hid_path() + "/hidraw/" + hidraw(); }

  std::string hid_uevent() const {
    char id[64];
    std::snprintf(id, sizeof id, "HID_ID=%04X:%08X:%08X\n", bus, vendor, product);
    std::string more;
    if (!hid_phys.empty()) more += "HID_PHYS=" + hid_phys + "\n";
    if (!hid_uniq.empty()) more += "HID_UNIQ=" + hid_uniq + "\n";
    return (broken ? std::string() : std::string(id)) + "HID_NAME=" + hid_name + "\n" + more;
  }
};

inline std::string hex4(uint16_t v) {
  char b[8];
  std::snprintf(b, sizeof b, "%04x", v);
  return b;
}

inline std::string hex2(int v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02x", v);
  return b;
}

// Backend options for a fixture root, on a kernel with the report ioctls unless told otherwise.
inline platform::HidrawOptions fixture_options(std::string root, std::string kernel_release = "6.1.0") {
  platform::HidrawOptions o;
  o.root = std::move(root);
  o.kernel_release = std::move(kernel_release);
  return o;
}

class FakeHidTree {
 public:
  FakeHidTree() {
    char tmpl[] = "/tmp/kestrel-hidtree.XXXXXX";
    root_ = ::mkdtemp(tmpl);
    // Traversable by anyone, so that a test may drop to another user.
    ::chmod(root_.c_str(), 0755);
    std::filesystem::create_directories(root_ + "/sys/class/hidraw");
    std::filesystem::create_directories(root_ + "/dev");
  }
  ~FakeHidTree() { std::filesystem::remove_all(root_); }
  FakeHidTree(const FakeHidTree&) = delete;
  FakeHidTree& operator=(const FakeHidTree&) = delete;

  const std::string& root() const { return root_; }
  std::string node(const FakeHid& h) const { return root_ + "/dev/" + h.hidraw(); }

  // Adds the device's sysfs entries and its node, an empty regular file.
  std::string add(const FakeHid& h) {
    if (h.bus == 0x0003) {
      const std::string usb = h.usb_device_path();
      write(usb + "/uevent", "DEVTYPE=usb_device\n");
      write(usb + "/idVendor", hex4(h.vendor) + "\n");
      write(usb + "/idProduct", hex4(h.product) + "\n");
      write(usb + "/bcdDevice", hex4(h.release) + "\n");
      if (h.product_string) write(usb + "/product", *h.product_string + "\n");
      if (h.serial) write(usb + "/serial", *h.serial + "\n");
      write(h.usb_interface_path() + "/uevent", "DEVTYPE=usb_interface\n");
      write(h.usb_interface_path() + "/bInterfaceNumber", hex2(h.interface) + "\n");
    }
    write(h.hid_path() + "/uevent", h.hid_uevent());
    write(h.hid_path() + "/report_descriptor", std::string(h.descriptor.begin(), h.descriptor.end()));
    const std::string raw = h.hidraw_path();
    write(raw + "/uevent", "MAJOR=243\nMINOR=" + std::to_string(h.minor) + "\nDEVNAME=" + h.hidraw() + "\n");
    write(raw + "/dev", "243:" + std::to_string(h.minor) + "\n");
    std::filesystem::create_directory_symlink("../../" + raw, root_ + "/sys/class/hidraw/" + h.hidraw());
    write("../dev/" + h.hidraw(), "");
    return node(h);
  }

 private:
  void write(const std::string& rel_to_sys, const std::string& data) {
    const std::filesystem::path p = std::filesystem::path(root_ + "/sys/" + rel_to_sys).lexically_normal();
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
  }

  std::string root_;
};

// The same devices for umockdev_testbed_add_from_string().
inline std::string umockdev_description(const FakeHid& h) {
  std::string s;
  if (h.bus == 0x0003) {
    s += "P: /" + h.usb_device_path() + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
    s += "A: idVendor=" + hex4(h.vendor) + "\nA: idProduct=" + hex4(h.product) + "\nA: bcdDevice=" + hex4(h.release) + "\n";
    if (h.product_string) s += "A: product=" + *h.product_string + "\n";
    s += "\nP: /" + h.usb_interface_path() + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n";
    s += "A: bInterfaceNumber=" + hex2(h.interface) + "\n\n";
  }
  s += "P: /" + h.hid_path() + "\nE: SUBSYSTEM=hid\n";
  std::string uevent = h.hid_uevent();
  for (size_t pos = 0, end; (end = uevent.find('\n', pos)) != std::string::npos; pos = end + 1)
    s += "E: " + uevent.substr(pos, end - pos) + "\n";
  s += "H: report_descriptor=";
  for (uint8_t b : h.descriptor) {
    char x[3];
    std::snprintf(x, sizeof x, "%02X", b);
    s += x;
  }
  s += "\n\nP: /" + h.hidraw_path() + "\nN: " + h.hidraw() + "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/" + h.hidraw() +
       "\nE: MAJOR=243\nE: MINOR=" + std::to_string(h.minor) + "\nA: dev=243:" + std::to_string(h.minor) + "\n\n";
  return s;
}

}  // namespace kestrel::test
