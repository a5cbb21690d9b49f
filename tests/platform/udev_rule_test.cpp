// The udev rule that lets the logged-in user open a card's node must cover exactly the
// interfaces that discovery takes for cards.
#include <fnmatch.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "devlink/qhidev.h"
#include "platform/hid_tree.h"
#include "platform/hidraw_sysfs.h"

namespace kestrel {
namespace {

struct Rule {
  std::string vendor, product;  // globs
};

// The one grant outside hidraw: the controller in boot mode, as a whole USB device.
constexpr const char* kBootModeGrant =
    R"(SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="04b4", ATTR{idProduct}=="00f3", TAG+="uaccess")";

std::vector<Rule> read_rules(bool& hidraw_only, bool& boot_mode) {
  std::ifstream f(KESTREL_RULES_FILE);
  EXPECT_TRUE(f) << KESTREL_RULES_FILE;
  const std::regex grant(
      R"re(ATTRS\{idVendor\}=="([0-9a-f?]{4})", ATTRS\{idProduct\}=="([0-9a-f?]{4})", TAG\+="uaccess")re");
  std::vector<Rule> rules;
  hidraw_only = false;
  boot_mode = false;
  for (std::string line; std::getline(f, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line == R"(SUBSYSTEM!="hidraw", GOTO="kestrel_end")") hidraw_only = rules.empty();
    std::smatch m;
    if (line == kBootModeGrant) boot_mode = rules.empty();
    else if (std::regex_search(line, m, grant)) rules.push_back({m[1], m[2]});
    else if (line.find("uaccess") != std::string::npos) ADD_FAILURE() << "unexpected grant: " << line;
  }
  return rules;
}

TEST(UdevRule, GrantsExactlyTheInterfacesTakenForCards) {
  bool hidraw_only = false, boot_mode = false;
  const std::vector<Rule> rules = read_rules(hidraw_only, boot_mode);
  EXPECT_TRUE(hidraw_only) << "the card grants touch hidraw nodes only";
  EXPECT_TRUE(boot_mode) << "the controller in boot mode is granted, before the hidraw-only part";
  ASSERT_EQ(rules.size(), QHIDEV_FILTER.size());
  for (uint16_t vendor : {0x04B4, 0x28E9, 0x046D}) {
    for (uint32_t product = 0; product <= 0xFFFF; ++product) {
      const std::string v = test::hex4(vendor), p = test::hex4(static_cast<uint16_t>(product));
      bool granted = false;
      for (const Rule& r : rules)
        granted |= fnmatch(r.vendor.c_str(), v.c_str(), 0) == 0 && fnmatch(r.product.c_str(), p.c_str(), 0) == 0;
      const std::string path = platform::hid_interface_path(platform::kBusUsb, vendor, static_cast<uint16_t>(product), 2, "1-2&hidraw0");
      ASSERT_EQ(granted, qhidev_filter_match(path, nullptr) != 0) << v << ":" << p;
    }
  }
}

}  // namespace
}  // namespace kestrel
