// The end of an upgrade: what an image's info text names, whether a card's status text names the
// same, and the simulated card restarting after the unlock into the image it was given (or not).
#include <gtest/gtest.h>

#include "support/test_images.h"
#include "update/verify.h"
#include "upgrade_fixture.h"

namespace kestrel {
namespace {

TEST(ImageVersion, FromInfoText) {
  const auto v = image_version_of(std::string_view("TB610K-1CH:V2.0.6800 build   2024-12-25 10:01:06 x86 GCC:12"));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->tag, "TB610K-1CH");
  EXPECT_EQ(v->version, "V2.0.6800");
  EXPECT_EQ(v->stamp, "2024-12-25 10:01:06");
  EXPECT_EQ(v->text(), "TB610K-1CH:V2.0.6800 build 2024-12-25 10:01:06");
  // The fallback texts of images without info name nothing.
  EXPECT_FALSE(image_version_of(std::string_view(IMAGE_INFO_UNRECOGNISED)));
  EXPECT_FALSE(image_version_of(std::string_view("TB610K-1CH:V2 build 2024")));  // stamp cut short
  EXPECT_FALSE(image_version_of(std::string_view(":V2 build 2024-12-25 10:01:06")));  // empty tag
}

struct RunsCase {
  const char* status_text;
  bool runs;
};

class CardRunsImage : public ::testing::TestWithParam<RunsCase> {};

TEST_P(CardRunsImage, ComparesTagVersionAndStamp) {
  const auto v = image_version_of(std::string_view("TB610K-1CH:V2.0.6800 build 2024-12-25 10:01:06 GCC:12"));
  ASSERT_TRUE(v);
  EXPECT_EQ(card_runs_image(*v, GetParam().status_text), GetParam().runs) << GetParam().status_text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CardRunsImage,
    ::testing::Values(RunsCase{"TB610K-1CH:V2.0.6800 build 2024-12-25 10:01:06 FPGA:1.0", true},
                      RunsCase{"TB610K-1CH:V2.0.6800  build 2024-12-25 10:01:06", true},  // spacing
                      RunsCase{"TB610K-1CH:V2.0.6800 build 2024-12-25 10:01:07 FPGA:1.0", false},  // other build
                      RunsCase{"TB610K-1CH:V2.0.6801 build 2024-12-25 10:01:06", false},
                      RunsCase{"TB610M-1CH:V2.0.6800 build 2024-12-25 10:01:06", false},  // other board
                      RunsCase{"TB610K-1CH-X:V2.0.6800 build 2024-12-25 10:01:06", false},
                      RunsCase{"TB610K-1CH:V1.0.0 FPGA:V2.0.6800 build 2024-12-25 10:01:06", false},  // FPGA part
                      RunsCase{"V2.0.6800 build 2024-12-25 10:01:06", false},  // no tag
                      RunsCase{"", false}));

TEST(JudgeReturn, VerdictsAndWords) {
  const auto v = image_version_of(std::string_view("meadow:V2 build 2024-12-25 10:01:06 GCC:"));
  auto r = judge_return(2, v, "meadow:V2 build 2024-12-25 10:01:06 FPGA:1.0");
  EXPECT_EQ(r.end, VerifiedEnd::Verified);
  EXPECT_EQ(r.summary(), "verified");
  r = judge_return(2, v, "meadow:V1.0.0 FPGA:1.0");
  EXPECT_EQ(r.end, VerifiedEnd::NotVerified);
  EXPECT_EQ(r.summary(), "not verified (card reports meadow:V1.0.0)");
  r = judge_return(2, std::nullopt, "meadow:V1.0.0 FPGA:1.0");  // an image that names no version
  EXPECT_EQ(r.end, VerifiedEnd::NotVerified);
  r = judge_return(1, std::nullopt, "meadow:V1.0.0 FPGA: 2.1 ");
  EXPECT_EQ(r.end, VerifiedEnd::NoVerdict);
  EXPECT_EQ(r.summary(), "FPGA version 2.1");
}

TEST(FindReturnedCard, PathThenPortThenTheOnlyCardOfItsKind) {
  const CardKey card{"\\\\?\\hid#vid_04b4&pid_00ed&mi_02#1-2.3&hidraw0#{g}", 0x04B4, 0x00ED};
  const CardKey other_port{"\\\\?\\hid#vid_04b4&pid_00ed&mi_02#1-4&hidraw1#{g}", 0x04B4, 0x00ED};
  const CardKey same_port{"\\\\?\\hid#vid_04b4&pid_00ed&mi_02#1-2.3&hidraw5#{g}", 0x04B4, 0x00ED};
  const CardKey new_device{"\\\\?\\hid#vid_04b4&pid_00ed&mi_02#0003:04b4:00ed.0002&hidraw2#{g}", 0x04B4, 0x00ED};
  const CardKey foreign{"\\\\?\\hid#vid_28e9&pid_6912&mi_02#1-5&hidraw3#{g}", 0x28E9, 0x6912};
  EXPECT_EQ(find_returned_card(card, {other_port, card}), 1);             // its own path
  EXPECT_EQ(find_returned_card(card, {other_port, same_port}), 1);        // its port, a new node
  EXPECT_EQ(find_returned_card(card, {foreign, new_device}), 1);          // the only one of its kind
  EXPECT_EQ(find_returned_card(card, {other_port, new_device}), -1);      // two of its kind: no guess
  EXPECT_EQ(find_returned_card(card, {foreign}), -1);
  EXPECT_EQ(find_returned_card(card, {}), -1);
}

// Several cards of one board attached: the card that left is never taken for one that stayed.
TEST(FindUpgradedCard, AnotherCardListedBesideItIsNeverTakenForIt) {
  const CardKey card{"uhid-a", 0x04B4, 0x00ED};
  const ListedCard stayed{{"uhid-b", 0x04B4, 0x00ED}, "usb-2"};
  const ListedCard back{{"uhid-c", 0x04B4, 0x00ED}, "usb-1"};        // a new HID device in its port
  const ListedCard elsewhere{{"uhid-d", 0x04B4, 0x00ED}, "usb-9"};   // replugged into another port
  const std::vector<std::string> others{"uhid-b"};
  struct Case {
    std::vector<ListedCard> now;
    int want;
  } cases[] = {
      {{stayed}, -1},                                     // gone: the card that stayed is not it
      {{stayed, {{"uhid-a", 0x04B4, 0x00ED}, "usb-1"}}, 1},  // still there
      {{stayed, back}, 1},                                // back in its port with a new path
      {{stayed, elsewhere}, 1},                           // the only new card of its kind
      {{{{"uhid-b", 0x04B4, 0x00ED}, "usb-1"}}, 0},         // in its port, with a path another card had
  };
  for (const Case& c : cases) EXPECT_EQ(find_upgraded_card(card, "usb-1", others, c.now), c.want) << c.now.size();
  // Without the list of others, the one card of its kind that stayed would have been taken.
  EXPECT_EQ(find_upgraded_card(card, "usb-1", {}, {stayed}), 0);
}

// ---- The simulated card after an upgrade --------------------------------------------------------

constexpr uint32_t kImageSize = 65536;

struct RestartRig : test::UpgradeRig {
  explicit RestartRig(sim::Scenario s) : UpgradeRig(s) {}
  // A firmware upgrade through the workflow, with the card's own image; true on "OK!".
  bool upgrade(const std::vector<uint8_t>& img) {
    view.file_answers.push_back(dir.write("fw.img", img));
    wf->on_clicked_button_usb_firmware();
    return wf->last().ok;
  }
  std::string text() { return fx.card->status_text(); }
};

sim::Scenario scenario(const char* board, sim::Scenario::AfterUpgrade after) {
  sim::Scenario s = *sim::make_scenario(board);
  s.after_upgrade = after;
  return s;
}

struct RestartCase {
  const char* board;  // TB610M-1CH: HID download; meadow: flash channel
  bool sealed;        // meadow's integrity test wants the trailer
};

class SimRestart : public ::testing::TestWithParam<RestartCase> {};

TEST_P(SimRestart, LeavesAfterTheUnlockAndComesBackRunningTheImage) {
  const RestartCase c = GetParam();
  RestartRig rig(scenario(c.board, sim::Scenario::AfterUpgrade::Restart));
  auto img = test::usb_image(test::tagged(c.board, kImageSize));
  if (c.sealed) img = test::with_trailer(img);
  ASSERT_TRUE(rig.upgrade(img));
  // The unlock (0x20) was answered, then the card left.
  EXPECT_EQ(rig.control_codes().back(), 0x20);
  EXPECT_GE(rig.wf->last().unlock_result, 0);  // answered before the card left
  EXPECT_FALSE(rig.fx.card->plugged());
  EXPECT_TRUE(rig.fx.card->returning());
  // Not before its restart time...
  rig.fx.clock.advance_ns(500'000'000);
  rig.fx.backend.poll_returns();
  EXPECT_FALSE(rig.fx.card->plugged());
  // ...and then running the image.
  rig.fx.clock.advance_ns(600'000'000);
  std::vector<platform::HidInterfaceInfo> listed;
  rig.fx.backend.enumerate(listed);
  EXPECT_TRUE(rig.fx.card->plugged());
  EXPECT_EQ(listed.size(), 1u);
  const auto want = image_version_of(std::span<const uint8_t>(img.data(), img.size()));
  ASSERT_TRUE(want);
  EXPECT_EQ(judge_return(2, want, rig.text()).end, VerifiedEnd::Verified) << rig.text();
}

INSTANTIATE_TEST_SUITE_P(BothPaths, SimRestart,
                         ::testing::Values(RestartCase{"TB610M-1CH", false}, RestartCase{"meadow", true}));

TEST(SimRestart, CardThatNeedsAReplugRunsTheOldFirmwareUntilThen) {
  RestartRig rig(scenario("TB610M-1CH", sim::Scenario::AfterUpgrade::NeedsReplug));
  const auto img = test::usb_image(test::tagged("TB610M-1CH", kImageSize));
  const std::string before = rig.text();
  ASSERT_TRUE(rig.upgrade(img));
  rig.fx.clock.advance_ns(5'000'000'000);
  rig.fx.backend.poll_returns();
  EXPECT_TRUE(rig.fx.card->plugged());
  EXPECT_EQ(rig.text(), before);
  rig.fx.card->unplug();
  rig.fx.card->plug();
  EXPECT_NE(rig.text(), before);
  EXPECT_EQ(judge_return(2, image_version_of(std::span<const uint8_t>(img.data(), img.size())), rig.text()).end,
            VerifiedEnd::Verified);
}

TEST(SimRestart, CardThatFallsBackComesBackWithItsOldVersion) {
  RestartRig rig(scenario("TB610M-1CH", sim::Scenario::AfterUpgrade::RestartIntoOld));
  const std::string before = rig.text();
  ASSERT_TRUE(rig.upgrade(test::usb_image(test::tagged("TB610M-1CH", kImageSize))));
  EXPECT_FALSE(rig.fx.card->plugged());
  rig.fx.clock.advance_ns(2'000'000'000);
  rig.fx.backend.poll_returns();
  EXPECT_TRUE(rig.fx.card->plugged());
  EXPECT_EQ(rig.text(), before);
}

TEST(SimRestart, DeclinedUpgradeDoesNotRestart) {
  RestartRig rig(scenario("TB610M-1CH", sim::Scenario::AfterUpgrade::Restart));
  rig.default_alert_answer = false;
  EXPECT_FALSE(rig.upgrade(test::usb_image(test::tagged("TB610M-1CH", kImageSize))));
  EXPECT_TRUE(rig.fx.card->plugged());
  EXPECT_FALSE(rig.fx.card->returning());
}

}  // namespace
}  // namespace kestrel
