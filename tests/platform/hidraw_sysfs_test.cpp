// Enumeration by the hidraw backend over a fake sysfs and /dev tree under a temporary root.
#include <gtest/gtest.h>

#include <filesystem>

#include "devlink/qhidev.h"
#include "log/clock.h"
#include "platform/hid_tree.h"
#include "platform/hidraw_backend.h"
#include "platform/hidraw_sysfs.h"

namespace kestrel::platform {
namespace {

using test::FakeHid;

const std::string kGuid = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";

FakeHid card() {
  FakeHid h;
  h.minor = 1;
  return h;
}
FakeHid keyboard() {
  FakeHid h;
  h.vendor = 0x046D;
  h.product = 0xC31C;
  h.release = 0x6400;
  h.interface = 0;
  h.usb_port = "1-1";
  h.product_string = "USB Keyboard";
  h.descriptor = {0x05, 0x01, 0xA1, 0x01, 0xC0};
  return h;
}
FakeHid second_card() {
  FakeHid h;
  h.minor = 2;
  h.vendor = 0x28E9;
  h.product = 0x6912;
  h.release = 0x0203;
  h.interface = 10;
  h.usb_port = "3-1.4";
  h.product_string = std::nullopt;
  return h;
}
FakeHid touchpad() {
  FakeHid h;
  h.minor = 10;
  h.bus = 0x0018;
  h.vendor = 0x06CB;
  h.product = 0x7A13;
  h.interface = -1;
  h.hid_name = "SYNA7DB5:01 06CB:7A13";
  h.descriptor = {0x05, 0x0D, 0xA1, 0x01, 0xC0};
  return h;
}

class HidrawSysfs : public ::testing::Test {
 protected:
  test::FakeHidTree tree_;
  HidrawBackend backend_{test::fixture_options(tree_.root())};
};

TEST_F(HidrawSysfs, ListsEveryHidrawDeviceInNumberOrder) {
  for (const FakeHid& h : {touchpad(), second_card(), card(), keyboard()}) tree_.add(h);
  std::vector<HidInterfaceInfo> all;
  ASSERT_TRUE(backend_.enumerate(all));
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].node, tree_.node(keyboard()));
  EXPECT_EQ(all[1].node, tree_.node(card()));
  EXPECT_EQ(all[2].node, tree_.node(second_card()));
  EXPECT_EQ(all[3].node, tree_.node(touchpad()));
}

TEST_F(HidrawSysfs, DescribesAUsbInterface) {
  tree_.add(card());
  std::vector<HidInterfaceInfo> all;
  ASSERT_TRUE(backend_.enumerate(all));
  ASSERT_EQ(all.size(), 1u);
  const HidInterfaceInfo& i = all[0];
  EXPECT_EQ(i.node, tree_.root() + "/dev/hidraw1");
  EXPECT_EQ(i.path, "\\\\?\\hid#vid_04b4&pid_00ed&mi_02#1-2&hidraw1" + kGuid);
  EXPECT_EQ(i.vendor_id, 0x04B4);
  EXPECT_EQ(i.product_id, 0x00ED);
  EXPECT_EQ(i.release, 0x0100);
  EXPECT_EQ(i.interface_number, 2);
  EXPECT_TRUE(i.product_ok);
  EXPECT_EQ(i.product, "USB Video");
  EXPECT_EQ(i.report_descriptor, test::card_descriptor());
}

TEST_F(HidrawSysfs, PathDigitsAreLowerCaseHex) {
  tree_.add(second_card());
  std::vector<HidInterfaceInfo> all;
  ASSERT_TRUE(backend_.enumerate(all));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].path, "\\\\?\\hid#vid_28e9&pid_6912&mi_0a#3-1.4&hidraw2" + kGuid);
  EXPECT_EQ(all[0].release, 0x0203);
  EXPECT_FALSE(all[0].product_ok) << "the USB device has no product string";
  EXPECT_EQ(all[0].product, "");
}

TEST_F(HidrawSysfs, ADeviceOnAnotherBusGetsAPathNoCardPrefixMatches) {
  tree_.add(touchpad());
  std::vector<HidInterfaceInfo> all;
  ASSERT_TRUE(backend_.enumerate(all));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].path, "\\\\?\\hid#bus_0018&vid_06cb&pid_7a13#0018:06cb:7a13.000b&hidraw10" + kGuid);
  EXPECT_EQ(all[0].interface_number, -1);
  EXPECT_EQ(all[0].product, "SYNA7DB5:01 06CB:7A13");
  EXPECT_TRUE(all[0].product_ok);
}

// The synthesised paths are what the card filter was written against.
TEST_F(HidrawSysfs, CardPathsMatchTheFilterAsWritten) {
  tree_.add(card());
  tree_.add(second_card());
  tree_.add(keyboard());
  std::vector<HidInterfaceInfo> all;
  ASSERT_TRUE(backend_.enumerate(all));
  ASSERT_EQ(all.size(), 3u);
  uint16_t len = 0;
  EXPECT_EQ(qhidev_filter_match(all[0].path, &len), 0) << "keyboard";
  EXPECT_EQ(qhidev_filter_match(all[1].path, &len), 1);
  EXPECT_EQ(qhidev_display_name(all[1].product, all[1].path, len), "USB Video - mi_02#1-2&hidraw1");
  EXPECT_EQ(qhidev_filter_match(all[2].path, &len), 7);
}

TEST_F(HidrawSysfs, LeavesOutAnEntryItCannotRead) {
  tree_.add(card());
  FakeHid broken = second_card();
  broken.broken = true;
  tree_.add(broken);
  std::vector<HidInterfaceInfo> all;
  ASSERT_TRUE(backend_.enumerate(all));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].node, tree_.node(card()));
}

// A card whose node cannot be looked at (gone between the listing and the look, or never made by
// udev) is left out of the device list; the cards after it are still listed.
TEST_F(HidrawSysfs, ACardWhoseNodeCannotBeStatedIsSkippedNotTheRest) {
  FakeHid third = card();
  third.minor = 3;
  third.usb_port = "1-3";
  tree_.add(card());
  std::filesystem::remove(tree_.add(second_card()));
  tree_.add(third);
  SimClock clock;
  clock_set_source(&clock);
  set_backend(&backend_);
  qhidev_list list;
  EXPECT_TRUE(qhidev_enum(list));
  std::vector<std::string> nodes;
  for (uint32_t i = 0; i < list.count; ++i) nodes.push_back(list.items[i]->node);
  EXPECT_EQ(nodes, (std::vector<std::string>{tree_.node(card()), tree_.node(third)}));
  qhidev_release_all(list);
  set_backend(nullptr);
  clock_set_source(nullptr);
}

TEST_F(HidrawSysfs, EmptyClassDirectoryListsNothing) {
  std::vector<HidInterfaceInfo> all(3);
  EXPECT_TRUE(backend_.enumerate(all));
  EXPECT_TRUE(all.empty());
}

TEST(HidrawSysfsRoot, FailsWithoutTheClassDirectory) {
  HidrawBackend b(test::fixture_options("/nonexistent-kestrel-root"));
  std::vector<HidInterfaceInfo> all;
  EXPECT_FALSE(b.enumerate(all));
  EXPECT_EQ(b.hotplug_fd(), -1) << "a fixture root has no udev monitor";
}

TEST_F(HidrawSysfs, DescribesOneNode) {
  tree_.add(card());
  tree_.add(second_card());
  HidInterfaceInfo i;
  ASSERT_TRUE(backend_.describe(tree_.node(second_card()), i));
  EXPECT_EQ(i.product_id, 0x6912);
  EXPECT_EQ(i.interface_number, 10);
  EXPECT_FALSE(backend_.describe(tree_.root() + "/dev/hidraw7", i));
  EXPECT_FALSE(backend_.describe(tree_.root() + "/dev/..", i));
  EXPECT_FALSE(backend_.describe("/elsewhere/dev/hidraw1", i)) << "a node outside the root";
}

// The names a user knows a card by: the USB device's sysfs name is the port path and its serial
// attribute the serial; off USB (a uhid card, a touchpad on I2C) the HID driver's phys and uniq.
TEST_F(HidrawSysfs, NamesThePortAndSerial) {
  FakeHid usb = second_card();
  usb.serial = "A1B2C3";
  FakeHid plain = card();  // no serial attribute at all
  FakeHid off_usb = touchpad();
  off_usb.hid_phys = "kestrel-sim/meadow.2";
  off_usb.hid_uniq = "KSIM0002";
  tree_.add(usb);
  tree_.add(plain);
  tree_.add(off_usb);
  std::vector<HidInterfaceInfo> all;
  ASSERT_TRUE(backend_.enumerate(all));
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].port, "1-2");
  EXPECT_EQ(all[0].serial, "");
  EXPECT_EQ(all[1].port, "3-1.4");
  EXPECT_EQ(all[1].serial, "A1B2C3");
  EXPECT_EQ(all[2].port, "kestrel-sim/meadow.2");
  EXPECT_EQ(all[2].serial, "KSIM0002");

  HidInterfaceInfo one;
  ASSERT_TRUE(backend_.describe(tree_.node(usb), one));
  EXPECT_EQ(one.port, "3-1.4");
  EXPECT_EQ(one.serial, "A1B2C3");
}

struct PathCase {
  uint16_t bus, vendor, product;
  int interface;
  const char* want;
};

TEST(HidInterfacePath, Forms) {
  const PathCase cases[] = {
      {0x0003, 0x04B4, 0x00ED, 2, "\\\\?\\hid#vid_04b4&pid_00ed&mi_02#x#"},
      {0x0003, 0xABCD, 0xEF01, 15, "\\\\?\\hid#vid_abcd&pid_ef01&mi_0f#x#"},
      {0x0003, 0x28E9, 0x028B, -1, "\\\\?\\hid#vid_28e9&pid_028b#x#"},
      {0x0005, 0x04B4, 0x00ED, -1, "\\\\?\\hid#bus_0005&vid_04b4&pid_00ed#x#"},
  };
  for (const PathCase& c : cases)
    EXPECT_EQ(hid_interface_path(c.bus, c.vendor, c.product, c.interface, "x"),
              std::string(c.want) + "{4d1e55b2-f16f-11cf-88cb-001111000030}");
}

}  // namespace
}  // namespace kestrel::platform
