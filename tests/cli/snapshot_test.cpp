// kestrelctl snapshot and upgrade --check-capture as processes on simulated cards: the PNG is
// decoded and compared with what the JSON says; every failure has its exit code and message.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "picture/png_file.h"
#include "support/kestrelctl_run.h"
#include "support/test_images.h"

namespace {

using kestrel::test::json_of;
using kestrel::test::run_kestrelctl;

class SnapshotCli : public ::testing::Test {
 protected:
  kestrel::test::TempDir dir_;
};

TEST_F(SnapshotCli, WritesTheSimulatedCardsFrameAsPng) {
  const std::string file = dir_.path() + "/shot.png";
  const auto r = run_kestrelctl("--simulate meadow --json snapshot --out " + file);
  ASSERT_EQ(r.code, 0) << r.out;
  const auto j = json_of(r);
  EXPECT_EQ(j["format"], "YUYV");
  EXPECT_EQ(j["width"], 1920);
  EXPECT_EQ(j["height"], 1080);
  EXPECT_EQ(j["file"], file);
  std::string error;
  const auto img = kestrel::picture::read_png(file, &error);
  ASSERT_TRUE(img) << error;
  EXPECT_EQ(img->width, 1920);
  EXPECT_EQ(img->height, 1080);
  EXPECT_NEAR(j["mean_luma"].get<double>(), kestrel::picture::mean_luma(*img), 0.01);
  // The first bar is 75 % white, below the caption.
  const uint8_t* bar = img->pixel(30, 700);
  EXPECT_NEAR(bar[0], 191, 4);
  EXPECT_NEAR(bar[2], 191, 4);
  // Without --json, one line for people.
  const auto plain = run_kestrelctl("--simulate meadow snapshot -o " + dir_.path() + "/b.png");
  EXPECT_EQ(plain.code, 0);
  EXPECT_NE(plain.out.find("1920x1080 YUYV, mean luma"), std::string::npos) << plain.out;
}

TEST_F(SnapshotCli, FailuresHaveTheirExitCodes) {
  std::filesystem::create_directory(dir_.path() + "/taken");
  struct Case {
    std::string args;
    int code;
    std::string says;
  };
  const Case cases[] = {
      {"snapshot --video " + dir_.path() + "/video9", 3, "no video node"},
      {"snapshot --video /dev/null", 1, "not a video device"},
      {"--simulate meadow snapshot --out " + dir_.path() + "/taken", 2, "it is a directory"},
      {"--simulate meadow snapshot --out " + dir_.path() + "/no/such/dir.png", 1, "cannot write"},
      {"--simulate meadow snapshot --timeout 0", 2, "seconds above 0"},
      {"--simulate meadow snapshto", 2, "did you mean snapshot"},
  };
  for (const Case& c : cases) {
    const auto r = run_kestrelctl("--json " + c.args);
    EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.out;
    EXPECT_NE(json_of(r)["error"]["message"].get<std::string>().find(c.says), std::string::npos) << c.args << "\n" << r.out;
  }
  EXPECT_EQ(std::filesystem::directory_iterator(dir_.path() + "/taken"), std::filesystem::directory_iterator())
      << "nothing half-written is left in the way";
}

TEST_F(SnapshotCli, UpgradeChecksCaptureWhenTheCardIsBack) {
  const std::string bit = dir_.write("logic.bin", kestrel::test::fpga_bitstream(70000));
  auto r = run_kestrelctl("--simulate meadow --json --yes upgrade fpga " + bit + " --check-capture=5");
  ASSERT_EQ(r.code, 0) << r.out;
  auto j = json_of(r);
  EXPECT_EQ(j["capture"]["ok"], true);
  EXPECT_EQ(j["capture"]["text"], "capture ok");
  r = run_kestrelctl("--simulate meadow --yes upgrade fpga " + bit + " --check-capture");
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("capture ok"), std::string::npos) << r.out;
  // Without the option nothing is checked.
  j = json_of(run_kestrelctl("--simulate meadow --json --yes upgrade fpga " + bit));
  EXPECT_FALSE(j.contains("capture"));
  r = run_kestrelctl("--simulate meadow --json --yes upgrade fpga " + bit + " --check-capture=soon");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(json_of(r)["error"]["message"].get<std::string>().find("--check-capture takes"), std::string::npos);
}

}  // namespace
