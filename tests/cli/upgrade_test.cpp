// kestrelctl upgrade and check-image as processes on simulated cards: the flash channel and the
// HID download to "OK!", a mismatched image refused unless forced, and JSON in every case.
#include <gtest/gtest.h>

#include "support/kestrelctl_run.h"
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_images.h"

namespace {

using kestrel::test::json_of;
using kestrel::test::ProcessResult;

ProcessResult run(const std::string& args) { return kestrel::test::run_kestrelctl(args); }

class UpgradeCli : public ::testing::Test {
 protected:
  kestrel::test::TempDir dir_;
};

TEST_F(UpgradeCli, FpgaThroughTheFlashChannel) {
  const std::string bit = dir_.write("logic.bin", kestrel::test::fpga_bitstream(70000));
  const auto r = run("--simulate meadow --json upgrade fpga " + bit);
  EXPECT_EQ(r.code, 0);
  const auto j = json_of(r);
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j["path"], "flash-channel");
  EXPECT_TRUE(j.contains("version_after"));
}

TEST_F(UpgradeCli, FirmwareThroughTheHidDownload) {
  // TB610M-1CH has no flash channel and its probe recognises its own receiver.
  const std::string img = dir_.write("fw.img", kestrel::test::usb_image(kestrel::test::tagged("TB610M-1CH", 65536)));
  const auto r = run("--simulate TB610M-1CH --json --yes upgrade firmware " + img);
  EXPECT_EQ(r.code, 0);
  const auto j = json_of(r);
  EXPECT_EQ(j["path"], "hid-download");
  EXPECT_EQ(j["check"]["style"], "0x0100");
}

TEST_F(UpgradeCli, WithoutATerminalNothingWaitsForAnAnswer) {
  const std::string img = dir_.write("fw.img", kestrel::test::usb_image(kestrel::test::tagged("TB610M-1CH", 65536)));
  const auto r = run("--simulate TB610M-1CH --json upgrade firmware " + img);
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(json_of(r)["ok"], false);
}

TEST_F(UpgradeCli, MismatchedImageNeedsForce) {
  const std::string img = dir_.write("other.img", kestrel::test::usb_image(kestrel::test::tagged("rw820c", 65536)));
  auto r = run("--simulate TB610K-1CH --json --yes upgrade firmware " + img);
  EXPECT_EQ(r.code, 4);
  auto j = json_of(r);
  EXPECT_EQ(j["check"]["style"], "0x0301");
  EXPECT_TRUE(j.contains("error"));

  r = run("--simulate TB610K-1CH --json check-image " + img);
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(json_of(r)["check"]["style"], "0x0301");

  r = run("--simulate TB610K-1CH --json --force upgrade firmware " + img);
  EXPECT_EQ(r.code, 0);
}

// Without a terminal the progress is plain lines on standard error: "<phase> <percent>% ...".
std::vector<std::string> phases_seen(const std::string& text) {
  std::vector<std::string> seen;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    for (const char* p : {"erase", "write", "verify"})
      if (line.rfind(std::string(" ") + p + " ", 0) == 0 && (seen.empty() || seen.back() != p)) seen.push_back(p);
  return seen;
}

TEST_F(UpgradeCli, ProgressNamesEachPhase) {
  // A card that takes 1 ms per page and 10 ms per erase block, so each phase lasts a while.
  const std::string bit = dir_.write("logic.bin", kestrel::test::fpga_bitstream(70000));
  auto r = kestrel::test::run_kestrelctl("--simulate meadow --sim-page-ms 1 upgrade fpga " + bit, {}, true);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(phases_seen(r.out), (std::vector<std::string>{"erase", "write", "verify"})) << r.out;
  EXPECT_NE(r.out.find(" verify 100% "), std::string::npos) << r.out;

  // The HID download confirms nothing: erase and write only, ending at 100 %.
  const std::string img = dir_.write("fw.img", kestrel::test::usb_image(kestrel::test::tagged("TB610M-1CH", 65536)));
  r = kestrel::test::run_kestrelctl("--simulate TB610M-1CH --sim-page-ms 1 --yes upgrade firmware " + img, {}, true);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(phases_seen(r.out), (std::vector<std::string>{"erase", "write"})) << r.out;
  EXPECT_NE(r.out.find(" write 100% "), std::string::npos) << r.out;

  // An FPGA file of two blocks on the HID path: its figure is 10 while the second block erases
  // (160 ms here, longer than the window's 100 ms between looks), then starts again near 5 with
  // the pages. The phase follows the work, not the figure.
  const std::string big = dir_.write("logic.bit", kestrel::test::fpga_bitstream(100000));
  r = kestrel::test::run_kestrelctl("--simulate TB610M-1CH --sim-page-ms 1 upgrade fpga " + big, {}, true);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(phases_seen(r.out), (std::vector<std::string>{"erase", "write"})) << r.out;
  EXPECT_NE(r.out.find(" erase 10% "), std::string::npos) << r.out;
}

TEST_F(UpgradeCli, UnreadableOrForeignFiles) {
  auto r = run("--simulate meadow --json upgrade fpga " + dir_.path() + "/missing.bin");
  EXPECT_EQ(r.code, 2);
  const std::string junk = dir_.write("junk.img", std::vector<uint8_t>{'X', 'Y', 1, 2});
  r = run("--simulate meadow --json check-image " + junk);
  EXPECT_EQ(r.code, 4);
  EXPECT_TRUE(json_of(r).contains("error"));
}

}  // namespace
