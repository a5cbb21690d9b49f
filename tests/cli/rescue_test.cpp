// kestrelctl rescue as a process on the simulated boot ROM: a good image is loaded, the card of
// its board comes back and --flash writes it to the card's flash to a verified end; a bad image,
// a missing confirmation and a device that leaves mid-load each end with the reason and their
// exit code, with nothing started.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/boot_images.h"
#include "support/kestrelctl_run.h"

namespace {

using kestrel::test::json_of;
using kestrel::test::run_kestrelctl;

class RescueCli : public ::testing::Test {
 protected:
  std::string image(const std::string& name, const std::vector<uint8_t>& bytes) { return dir_.write(name, bytes); }
  std::string card_image(const std::string& tag) {
    return image(tag + ".img", kestrel::test::with_trailer(kestrel::test::card_boot_image(kestrel::test::tagged(tag, 10000))));
  }
  kestrel::test::TempDir dir_;
};

TEST_F(RescueCli, FlashEndsVerifiedOnTheCardOfTheImagesBoard) {
  for (const std::string board : {"meadow", "TB610R-1CH"}) {
    const std::string img = card_image(board);
    const std::string reports = dir_.path() + "/reports-" + board;
    const auto r = run_kestrelctl("--simulate boot-rom --yes --json --sim-report-log " + reports + " rescue --flash " + img);
    const auto j = json_of(r);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(j["rescue"]["loaded_bytes"], 256 + 10000) << board;  // both sections; the board's trailer is not loaded
    EXPECT_EQ(j["rescue"]["started"], true);
    EXPECT_EQ(j["rescue"]["image"]["entry"], "0x40000000");
    EXPECT_EQ(j["verified"], true) << r.out;
    EXPECT_NE(j["version_after"].get<std::string>().find(board + ":V2.0.6800"), std::string::npos) << r.out;
    // The card that came back received the flash writes (its report log is not empty).
    std::ifstream log(reports);
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_GT(text.str().size(), 10000u) << board;
  }
}

TEST_F(RescueCli, WithoutFlashTheCardComesBackAndNothingIsWritten) {
  const auto r = run_kestrelctl("--simulate boot-rom --yes rescue " + card_image("rw820c"), {}, true);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("card back:"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("upgrade firmware"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("upgrade OK!"), std::string::npos) << r.out;
}

TEST_F(RescueCli, RefusalsSayWhyAndStartNothing) {
  auto bad_sum = kestrel::test::card_boot_image();
  bad_sum[bad_sum.size() - 1] ^= 0x01;
  auto data_image = kestrel::test::card_boot_image();
  data_image[2] = 0x01;
  kestrel::test::BootImageSpec outside;
  outside.sections = {{0x40080000, kestrel::test::words(4)}};
  // A firmware that names no board: loaded and started, but no card comes back.
  kestrel::test::BootImageSpec no_card;
  no_card.sections = {{0x40000000, kestrel::test::words(100)}};
  struct Case {
    const char* what;
    std::string args;
    int code;
    const char* message;
    bool started;
  };
  const std::string good = card_image("meadow");
  const Case cases[] = {
      {"checksum off by one", "--yes rescue " + image("sum.img", bad_sum), 4, "checksum mismatch", false},
      {"data image", "--yes rescue " + image("data.img", data_image), 4, "bit 0", false},
      {"section past RAM", "--yes rescue " + image("out.img", kestrel::test::boot_image(outside)), 4, "outside", false},
      {"a directory", "--yes rescue " + dir_.path(), 2, "is a directory", false},
      {"no confirmation", "rescue " + good, 4, "needs confirmation", false},
      {"device vanishes mid-load", "--yes rescue --sim-vanish-at 3 --flash " + good, 1, "device gone", false},
      {"no device", "--yes rescue --device 1 " + good, 3, "no device 1", false},
      {"no card returns", "--yes rescue --wait 1 " + image("nc.img", kestrel::test::boot_image(no_card)), 1,
       "did not come back", true},
  };
  for (const Case& c : cases) {
    const auto r = run_kestrelctl("--simulate boot-rom --json " + c.args);
    const auto j = json_of(r);
    EXPECT_EQ(r.code, c.code) << c.what << ": " << r.out;
    EXPECT_NE(j["error"]["message"].get<std::string>().find(c.message), std::string::npos) << c.what << ": " << r.out;
    EXPECT_EQ(j["rescue"].value("started", false), c.started) << c.what;
    EXPECT_FALSE(j.contains("verified")) << c.what;
  }
}

TEST_F(RescueCli, SeveralDevicesInBootModeAreListedWithTheirPortsAndOneMustBeNamed) {
  const auto r = run_kestrelctl("--simulate boot-rom --yes --json rescue --sim-boot-roms 2 --flash " + card_image("meadow"));
  const auto j = json_of(r);
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_NE(j["error"]["message"].get<std::string>().find("choose one with --device"), std::string::npos) << r.out;
  ASSERT_EQ(j["rescue"]["devices"].size(), 2u) << r.out;
  EXPECT_EQ(j["rescue"]["devices"][0]["port"], "2-1");
  EXPECT_EQ(j["rescue"]["devices"][1]["port"], "2-2");
  EXPECT_FALSE(j["rescue"].contains("loaded_bytes")) << "nothing was loaded";

  const auto text = run_kestrelctl("--simulate boot-rom --yes rescue --sim-boot-roms 2 " + card_image("meadow"), {}, true);
  EXPECT_NE(text.out.find("1: port 2-2"), std::string::npos) << text.out;
}

// The started controller's card comes up on its own port; another card plugged in elsewhere a
// moment earlier is new too, and is neither attached nor written.
TEST_F(RescueCli, TheCardWrittenIsTheOneOnTheBootDevicesPort) {
  const std::string img = card_image("TB610R-1CH");
  for (const std::string device : {"2-2", "1"}) {
    const auto r = run_kestrelctl("--simulate boot-rom --yes --json rescue --sim-boot-roms 2 --sim-stray-card --device " +
                                  device + " --flash " + img);
    const auto j = json_of(r);
    EXPECT_EQ(r.code, 0) << device << ": " << r.out;
    EXPECT_EQ(j["rescue"]["device"], "sim:1") << device;
    EXPECT_EQ(j["rescue"]["card"]["port"], "2-2") << device << ": " << r.out;
    EXPECT_EQ(j["verified"], true) << device << ": " << r.out;
    EXPECT_NE(j["version_after"].get<std::string>().find("TB610R-1CH:V2.0.6800"), std::string::npos) << r.out;
  }
}

}  // namespace
