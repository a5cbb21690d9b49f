// Which controller a rescue loads and which card it then writes: the device a user named among
// several in boot mode, the card that came up on that device's own USB port (never one plugged
// in elsewhere meanwhile), and one program at a time on a device.
#include <gtest/gtest.h>

#include "bootmode/rescue.h"
#include "sim/boot_rom.h"

namespace {

using kestrel::BootDeviceInfo;
using kestrel::platform::HidInterfaceInfo;

HidInterfaceInfo card_on(const std::string& node, const std::string& port) {
  HidInterfaceInfo c;
  c.node = node;
  c.port = port;
  return c;
}

TEST(RescueChoice, TheCardOnTheBootDevicesPortIsTheOneTaken) {
  struct Case {
    const char* what;
    std::vector<HidInterfaceInfo> fresh;
    std::string boot_port;
    std::optional<size_t> picked;
  };
  const Case cases[] = {
      {"nothing yet", {}, "1-3", std::nullopt},
      {"only a card on another port", {card_on("/dev/hidraw4", "1-4")}, "1-3", std::nullopt},
      {"the stray first, then ours", {card_on("/dev/hidraw4", "1-4"), card_on("/dev/hidraw5", "1-3")}, "1-3", 1},
      {"ours behind a hub", {card_on("/dev/hidraw5", "1-3.2")}, "1-3.2", 0},
      {"a port that only begins like ours", {card_on("/dev/hidraw5", "1-3.2")}, "1-3", std::nullopt},
      {"one card on no USB port", {card_on("/dev/hidraw6", "")}, "1-3", 0},
      {"two cards on no USB port", {card_on("/dev/hidraw6", ""), card_on("/dev/hidraw7", "")}, "1-3", std::nullopt},
      {"ours beside a portless one", {card_on("/dev/hidraw6", ""), card_on("/dev/hidraw5", "1-3")}, "1-3", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(kestrel::rescue_pick_card(c.fresh, c.boot_port), c.picked) << c.what;
}

TEST(RescueChoice, SeveralDevicesInBootModeNeedToBeNamed) {
  const std::vector<BootDeviceInfo> two = {{"usb:1-3", "bus 1 port 3", "1-3"}, {"usb:2-1.4", "bus 2 port 1.4", "2-1.4"}};
  const std::vector<BootDeviceInfo> one = {two[0]};
  struct Case {
    const char* what;
    const std::vector<BootDeviceInfo>& found;
    std::string given;
    std::optional<size_t> chosen;
    const char* why;
  };
  const Case cases[] = {
      {"the only one", one, "", 0, ""},
      {"two, none named", two, "", std::nullopt, "choose one with --device"},
      {"by index", two, "1", 1, ""},
      {"by port", two, "2-1.4", 1, ""},
      {"by id", two, "usb:1-3", 0, ""},
      {"index past the end", two, "2", std::nullopt, "no device 2 in boot mode"},
      {"a port with no device", two, "1-4", std::nullopt, "no device in boot mode at '1-4'"},
      {"a huge number", two, "99999999999999999999", std::nullopt, "no device in boot mode at"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(kestrel::rescue_choose_device(c.found, c.given, &why), c.chosen) << c.what;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
  }
  std::string why;
  EXPECT_EQ(kestrel::rescue_choose_device({}, "", &why), std::nullopt);
  EXPECT_NE(why.find("no device in boot mode"), std::string::npos) << why;
}

TEST(RescueChoice, ADeviceInBootModeIsHeldByOneOpenAtATime) {
  kestrel::sim::SimBootBus bus;
  bus.add_rom();
  bus.add_rom();
  const auto found = bus.list();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].port, "2-1");
  EXPECT_EQ(found[1].port, "2-2");

  auto first = bus.open(found[0].id);
  ASSERT_TRUE(first);
  std::string why;
  EXPECT_FALSE(bus.open(found[0].id, &why));
  EXPECT_NE(why.find("in use by another program"), std::string::npos) << why;
  EXPECT_TRUE(bus.open(found[1].id)) << "the other device is free";
  first.reset();
  EXPECT_TRUE(bus.open(found[0].id)) << "released with the port";
}

}  // namespace
