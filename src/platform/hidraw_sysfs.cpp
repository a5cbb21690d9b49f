#include "platform/hidraw_sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>

namespace kestrel::platform {

namespace {

constexpr size_t kMaxTextAttr = 4096;
// The kernel caps a descriptor at 4096 bytes; one byte more lets the parser see an oversize one.
constexpr size_t kMaxDescriptorRead = 4097;
constexpr int kMaxAncestors = 32;

bool read_file(const std::string& path, std::string& out, size_t max) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.assign(max, '\0');
  size_t got = 0;
  while (got < max) {
    const ssize_t n = ::read(fd, out.data() + got, max - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  out.resize(got);
  return true;
}

// A text attribute without its line end.
bool read_attr(const std::string& dir, const char* name, std::string& out) {
  if (!read_file(dir + "/" + name, out, kMaxTextAttr)) return false;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return true;
}

std::string uevent_value(const std::string& uevent, std::string_view key) {
  size_t pos = 0;
  while (pos < uevent.size()) {
    size_t end = uevent.find('\n', pos);
    if (end == std::string::npos) end = uevent.size();
    const std::string_view line(uevent.data() + pos, end - pos);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=')
      return std::string(line.substr(key.size() + 1));
    pos = end + 1;
  }
  return {};
}

bool parse_hex(std::string_view s, uint32_t& v) {
  if (s.empty()) return false;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v, 16);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

std::string dirname_of(const std::string& p) {
  const size_t slash = p.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : p.substr(0, slash);
}

std::string basename_of(const std::string& p) {
  const size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

// Lexical clean-up of an absolute path: the class links of sysfs are relative ("../../devices/
// ..."), and resolving them by text keeps every read below the root, as a fixture needs.
std::string normalize(const std::string& path) {
  std::vector<std::string_view> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    const std::string_view part(path.data() + pos, end - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = end + 1;
  }
  std::string out;
  for (auto p : parts) {
    out += '/';
    out += p;
  }
  return out.empty() ? "/" : out;
}

// The device directory that a class entry links to.
std::string resolve_class_entry(const std::string& entry) {
  char buf[4096];
  const ssize_t n = ::readlink(entry.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return entry;  // a directory rather than a link
  const std::string target(buf, static_cast<size_t>(n));
  return normalize(target[0] == '/' ? target : dirname_of(entry) + "/" + target);
}

struct UsbParents {
  std::string interface_dir;
  std::string device_dir;
};

// Walks up from the HID device to its USB interface and USB device, if it has them.
UsbParents find_usb_parents(const std::string& hid_dir, const std::string& devices_root) {
  UsbParents u;
  std::string dir = dirname_of(hid_dir);
  for (int i = 0; i < kMaxAncestors && dir.size() > devices_root.size() &&
                  dir.compare(0, devices_root.size(), devices_root) == 0;
       ++i, dir = dirname_of(dir)) {
    std::string uevent;
    if (!read_attr(dir, "uevent", uevent)) continue;
    const std::string type = uevent_value(uevent, "DEVTYPE");
    if (type == "usb_interface" && u.interface_dir.empty()) {
      u.interface_dir = dir;
    } else if (type == "usb_device") {
      u.device_dir = dir;
      break;
    }
  }
  return u;
}

unsigned hidraw_number(const std::string& node) {
  const std::string name = basename_of(node);
  unsigned n = 0;
  const size_t digits = name.find_first_of("0123456789");
  if (digits != std::string::npos) std::from_chars(name.data() + digits, name.data() + name.size(), n);
  return n;
}

std::string to_lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool describe_entry(const std::string& root, const std::string& entry, HidInterfaceInfo& out) {
  const std::string hidraw_dir = resolve_class_entry(entry);
  std::string uevent;
  if (!read_attr(hidraw_dir, "uevent", uevent)) return false;
  const std::string sysname = basename_of(hidraw_dir);
  std::string devname = uevent_value(uevent, "DEVNAME");
  if (devname.empty()) devname = sysname;

  // The class device sits in <hid device>/hidraw/hidrawN.
  const std::string hid_dir = dirname_of(dirname_of(hidraw_dir));
  std::string hid_uevent;
  if (!read_attr(hid_dir, "uevent", hid_uevent)) return false;
  // HID_ID=0003:000004B4:000000ED: bus, vendor, product.
  const std::string id = uevent_value(hid_uevent, "HID_ID");
  uint32_t bus = 0, vendor = 0, product = 0;
  const size_t c1 = id.find(':'), c2 = id.find(':', c1 == std::string::npos ? 0 : c1 + 1);
  if (c1 == std::string::npos || c2 == std::string::npos ||
      !parse_hex(std::string_view(id).substr(0, c1), bus) ||
      !parse_hex(std::string_view(id).substr(c1 + 1, c2 - c1 - 1), vendor) ||
      !parse_hex(std::string_view(id).substr(c2 + 1), product))
    return false;

  HidInterfaceInfo info;
  info.node = root_join(root, "dev/" + devname);
  info.vendor_id = static_cast<uint16_t>(vendor);
  info.product_id = static_cast<uint16_t>(product);
  std::string desc;
  if (read_file(hid_dir + "/report_descriptor", desc, kMaxDescriptorRead))
    info.report_descriptor.assign(desc.begin(), desc.end());

  std::string instance;
  const UsbParents usb = bus == kBusUsb ? find_usb_parents(hid_dir, root_join(root, "sys/devices"))
                                        : UsbParents{};
  if (!usb.device_dir.empty()) {
    std::string v;
    uint32_t n = 0;
    if (!usb.interface_dir.empty() && read_attr(usb.interface_dir, "bInterfaceNumber", v) && parse_hex(v, n))
      info.interface_number = static_cast<int>(n);
    if (read_attr(usb.device_dir, "bcdDevice", v) && parse_hex(v, n)) info.release = static_cast<uint16_t>(n);
    info.product_ok = read_attr(usb.device_dir, "product", info.product);
    instance = basename_of(usb.device_dir);
    info.port = instance;
    read_attr(usb.device_dir, "serial", info.serial);
  } else {
    info.product = uevent_value(hid_uevent, "HID_NAME");
    info.product_ok = !info.product.empty();
    instance = to_lower(basename_of(hid_dir));
    // A uhid device (the simulated card) or another bus: the driver's own names.
    info.port = uevent_value(hid_uevent, "HID_PHYS");
    info.serial = uevent_value(hid_uevent, "HID_UNIQ");
  }
  instance += '&';
  instance += sysname;
  info.path = hid_interface_path(static_cast<uint16_t>(bus), info.vendor_id, info.product_id,
                                 info.interface_number, instance);
  out = std::move(info);
  return true;
}

}  // namespace

std::string sysfs_usb_device_of(const std::string& root, const std::string& cls, const std::string& name) {
  const std::string dir = resolve_class_entry(root_join(root, "sys/class/" + cls + "/" + name));
  return find_usb_parents(dir, root_join(root, "sys/devices")).device_dir;
}

bool sysfs_read_attr(const std::string& dir, const char* name, std::string& out) { return read_attr(dir, name, out); }

std::string sysfs_uevent_value(const std::string& uevent, std::string_view key) { return uevent_value(uevent, key); }

std::string root_join(const std::string& root, std::string_view rel) {
  std::string out = root;
  if (out.empty() || out.back() != '/') out += '/';
  out += rel;
  return out;
}

std::string hid_interface_path(uint16_t bus, uint16_t vendor, uint16_t product, int interface,
                               std::string_view instance) {
  char head[64];
  if (bus != kBusUsb)
    std::snprintf(head, sizeof head, "\\\\?\\hid#bus_%04x&vid_%04x&pid_%04x", bus, vendor, product);
  else if (interface >= 0)
    std::snprintf(head, sizeof head, "\\\\?\\hid#vid_%04x&pid_%04x&mi_%02x", vendor, product, interface & 0xFF);
  else
    std::snprintf(head, sizeof head, "\\\\?\\hid#vid_%04x&pid_%04x", vendor, product);
  std::string path = head;
  path += '#';
  path += instance;
  path += '#';
  path += kHidClassGuid;
  return path;
}

bool hidraw_sysfs_enumerate(const std::string& root, std::vector<HidInterfaceInfo>& out) {
  const std::string class_dir = root_join(root, "sys/class/hidraw");
  DIR* d = ::opendir(class_dir.c_str());
  if (!d) return false;
  std::vector<HidInterfaceInfo> found;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    HidInterfaceInfo info;
    if (describe_entry(root, class_dir + "/" + e->d_name, info)) found.push_back(std::move(info));
  }
  ::closedir(d);
  std::sort(found.begin(), found.end(), [](const HidInterfaceInfo& a, const HidInterfaceInfo& b) {
    return hidraw_number(a.node) < hidraw_number(b.node);
  });
  out = std::move(found);
  return true;
}

bool hidraw_sysfs_describe(const std::string& root, const std::string& node, HidInterfaceInfo& out) {
  const std::string name = basename_of(node);
  if (name.empty() || name == "." || name == "..") return false;
  HidInterfaceInfo info;
  if (!describe_entry(root, root_join(root, "sys/class/hidraw/" + name), info) || info.node != node)
    return false;
  out = std::move(info);
  return true;
}

}  // namespace kestrel::platform
