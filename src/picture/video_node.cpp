#include "picture/video_node.h"

#include <dirent.h>

#include <algorithm>
#include <charconv>
#include <vector>

#include "platform/hidraw_sysfs.h"

namespace kestrel::picture {

namespace {

std::string basename_of(const std::string& p) {
  const size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

unsigned number_of(const std::string& name) {
  unsigned n = 0;
  const size_t digits = name.find_first_of("0123456789");
  if (digits != std::string::npos) std::from_chars(name.data() + digits, name.data() + name.size(), n);
  return n;
}

}  // namespace

VideoNodeResult find_video_node(const std::string& root, const std::string& hid_node) {
  using namespace platform;
  VideoNodeResult r;
  const std::string hidraw = basename_of(hid_node);
  if (hidraw.rfind("hidraw", 0) != 0) {
    r.error = hid_node + " is not a hidraw node: give the video node with --video";
    return r;
  }
  const std::string usb = sysfs_usb_device_of(root, "hidraw", hidraw);
  if (usb.empty()) {
    r.error = "the card's HID interface " + hid_node + " is on no USB device";
    return r;
  }
  const std::string class_dir = root_join(root, "sys/class/video4linux");
  std::vector<std::string> names;
  if (DIR* d = ::opendir(class_dir.c_str())) {
    while (const dirent* e = ::readdir(d))
      if (std::string(e->d_name).rfind("video", 0) == 0) names.emplace_back(e->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return number_of(a) < number_of(b); });
  for (const std::string& name : names) {
    if (sysfs_usb_device_of(root, "video4linux", name) != usb) continue;
    const std::string dir = class_dir + "/" + name;
    std::string index;
    if (sysfs_read_attr(dir, "index", index) && index != "0") continue;
    std::string uevent, devname;
    if (sysfs_read_attr(dir, "uevent", uevent)) devname = sysfs_uevent_value(uevent, "DEVNAME");
    r.node = root_join(root, "dev/" + (devname.empty() ? name : devname));
    return r;
  }
  r.error = "no video capture node on the card's USB device (" + basename_of(usb) + ")";
  return r;
}

}  // namespace kestrel::picture
