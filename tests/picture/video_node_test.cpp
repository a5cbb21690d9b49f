// The video-node finder over a fake sysfs tree: the capture node on the card's own USB device.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "picture/video_node.h"
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

}  // namespace
}  // namespace kestrel::picture
