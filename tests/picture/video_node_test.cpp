// The video-node finder over a fake sysfs tree: the capture node on the card's own USB device.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "picture/video_node.h"
#include "platform/hidraw_sysfs.h"
#include "platform/hid_tree.h"

namespace kestrel::picture {
namespace {

using test::FakeHid;

class VideoNode : public ::testing::Test {
 protected:
  // A video4linux class device on USB device `port`'s interface `iface`, as uvcvideo makes it.
  void add_video(const std::string& port, int iface, unsigned n, int index, bool index_attr = true) {
    const std::string rel = "devices/pci0000:00/0000:00:14.0/usb1/" + port + "/" + port + ":1." +
                            std::to_string(iface) + "/video4linux/video" + std::to_string(n);
    write(rel + "/uevent", "MAJOR=81\nMINOR=" + std::to_string(n) + "\nDEVNAME=video" + std::to_string(n) + "\n");
    if (index_attr) write(rel + "/index", std::to_string(index) + "\n");
    std::filesystem::create_directories(tree_.root() + "/sys/class/video4linux");
    std::filesystem::create_directory_symlink("../../" + rel,
                                              tree_.root() + "/sys/class/video4linux/video" + std::to_string(n));
  }
  void write(const std::string& rel, const std::string& text) {
    const std::filesystem::path p = tree_.root() + "/sys/" + rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
  std::string dev(const std::string& name) { return tree_.root() + "/dev/" + name; }

  test::FakeHidTree tree_;
};

FakeHid card_on(const std::string& port, unsigned minor) {
  FakeHid h;
  h.minor = minor;
  h.usb_port = port;
  return h;
}

TEST_F(VideoNode, PicksTheCaptureNodeOfTheCardsOwnUsbDevice) {
  const std::string card = tree_.add(card_on("1-2", 1));
  tree_.add(card_on("1-3", 2));
  add_video("1-3", 0, 0, 0);  // another card's camera, listed first
  add_video("1-2", 0, 2, 1);  // the card's metadata node, lower number than its capture node
  add_video("1-2", 0, 3, 0);
  const VideoNodeResult r = find_video_node(tree_.root(), card);
  EXPECT_EQ(r.node, dev("video3")) << r.error;
  EXPECT_EQ(find_video_node(tree_.root(), tree_.node(card_on("1-3", 2))).node, dev("video0"));
}

TEST_F(VideoNode, SaysWhyThereIsNone) {
  const std::string card = tree_.add(card_on("1-2", 1));
  // No video4linux class at all, then only someone else's camera.
  EXPECT_EQ(find_video_node(tree_.root(), card).node, "");
  add_video("1-1", 0, 0, 0);
  const VideoNodeResult r = find_video_node(tree_.root(), card);
  EXPECT_EQ(r.node, "");
  EXPECT_NE(r.error.find("no video capture node on the card's USB device (1-2)"), std::string::npos) << r.error;

  // A card on no USB device (the kernel's uhid) and a node that is no hidraw node.
  FakeHid i2c = card_on("1-4", 4);
  i2c.bus = 0x0018;
  EXPECT_NE(find_video_node(tree_.root(), tree_.add(i2c)).error.find("on no USB device"), std::string::npos);
  EXPECT_NE(find_video_node(tree_.root(), "sim:0").error.find("--video"), std::string::npos);
  EXPECT_NE(find_video_node(tree_.root(), dev("hidraw9")).error, "");
}

TEST_F(VideoNode, ANodeWithoutAnIndexCountsAsCapture) {
  // Kernels before the index attribute.
  const std::string card = tree_.add(card_on("2-1", 1));
  add_video("2-1", 1, 5, 0, false);
  EXPECT_EQ(find_video_node(tree_.root(), card).node, dev("video5"));
}

// The tree the VM test's card on USB showed (kestrel-sim --gadget on dummy_hcd): the USB device
// under the dummy host controller's platform device, interfaces 0 and 1 without a driver, the HID
// interface 2, and vivid's capture node on no USB device. The port is the USB device's name, not
// the HID phys ("usb-dummy_hcd.0-1/input2"); the capture node is looked for on 1-1 only.
TEST_F(VideoNode, TheGadgetCardOfTheVmTest) {
  const std::string usb = "devices/platform/dummy_hcd.0/usb1/1-1";
  write(usb + "/uevent", "DEVTYPE=usb_device\nPRODUCT=4b4/3d/100\n");
  write(usb + "/idVendor", "04b4\n");
  write(usb + "/idProduct", "003d\n");
  write(usb + "/bcdDevice", "0100\n");
  write(usb + "/serial", "KSIM0001\n");
  write(usb + "/product", "USB Video\n");
  for (int i = 0; i < 3; ++i) {
    const std::string intf = usb + "/1-1:1." + std::to_string(i);
    write(intf + "/uevent", "DEVTYPE=usb_interface\n");
    write(intf + "/bInterfaceNumber", "0" + std::to_string(i) + "\n");
    write(intf + "/bInterfaceClass", i == 2 ? "03\n" : "ff\n");
  }
  const std::string hid = usb + "/1-1:1.2/0003:04B4:003D.0001";
  write(hid + "/uevent",
        "HID_ID=0003:000004B4:0000003D\nHID_NAME=Kestrel simulated card USB Video\n"
        "HID_PHYS=usb-dummy_hcd.0-1/input2\nHID_UNIQ=KSIM0001\n");
  write(hid + "/hidraw/hidraw0/uevent", "MAJOR=242\nMINOR=0\nDEVNAME=hidraw0\n");
  std::filesystem::create_directories(tree_.root() + "/sys/class/hidraw");
  std::filesystem::create_directories(tree_.root() + "/dev");
  std::filesystem::create_directory_symlink("../../" + hid + "/hidraw/hidraw0", tree_.root() + "/sys/class/hidraw/hidraw0");
  std::ofstream(dev("hidraw0")) << "";
  // vivid's capture node.
  write("devices/platform/vivid.0/video4linux/video0/uevent", "MAJOR=81\nMINOR=0\nDEVNAME=video0\n");
  write("devices/platform/vivid.0/video4linux/video0/index", "0\n");
  std::filesystem::create_directories(tree_.root() + "/sys/class/video4linux");
  std::filesystem::create_directory_symlink("../../devices/platform/vivid.0/video4linux/video0",
                                            tree_.root() + "/sys/class/video4linux/video0");

  std::vector<platform::HidInterfaceInfo> found;
  ASSERT_TRUE(platform::hidraw_sysfs_enumerate(tree_.root(), found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].node, dev("hidraw0"));
  EXPECT_EQ(found[0].port, "1-1");
  EXPECT_EQ(found[0].serial, "KSIM0001");
  EXPECT_EQ(found[0].interface_number, 2);
  EXPECT_EQ(found[0].release, 0x0100);
  EXPECT_EQ(found[0].path, "\\\\?\\hid#vid_04b4&pid_003d&mi_02#1-1&hidraw0#{4d1e55b2-f16f-11cf-88cb-001111000030}");

  VideoNodeResult r = find_video_node(tree_.root(), dev("hidraw0"));
  EXPECT_EQ(r.node, "");
  EXPECT_NE(r.error.find("no video capture node on the card's USB device (1-1)"), std::string::npos) << r.error;
  // With uvcvideo's nodes on interface 0 (capture, then metadata) the capture node is taken.
  const std::string v4l = usb + "/1-1:1.0/video4linux/";
  for (int n : {1, 2}) {
    write(v4l + "video" + std::to_string(n) + "/uevent", "DEVNAME=video" + std::to_string(n) + "\n");
    write(v4l + "video" + std::to_string(n) + "/index", std::to_string(n - 1) + "\n");
    std::filesystem::create_directory_symlink("../../" + v4l + "video" + std::to_string(n),
                                              tree_.root() + "/sys/class/video4linux/video" + std::to_string(n));
  }
  r = find_video_node(tree_.root(), dev("hidraw0"));
  EXPECT_EQ(r.node, dev("video1")) << r.error;
}

}  // namespace
}  // namespace kestrel::picture
