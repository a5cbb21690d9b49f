// the info text search, the tag comparison, the registry's tag lookup and the four
// verdict rows against the simulated card.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "boards/registry.h"
#include "support/test_images.h"
#include "update/image_check.h"
#include "upgrade_fixture.h"

namespace kestrel {
namespace {

using test::UsbImageSpec;

// find_image_info over a buffer that carries the zero byte the callers guarantee after it.
const char* info_of(std::vector<uint8_t>& img) {
  img.push_back(0);
  return find_image_info(img.data(), img.data() + img.size() - 1);
}

TEST(FindImageInfo, FindsTheTextAfterKey) {
  auto img = test::usb_image(test::tagged("TB610K-1CH"));
  const char* info = info_of(img);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(std::string(info), "TB610K-1CH:V2.0.6800 build 2024-12-25 10:01:06 GCC: (GNU) 12.2.0");
  EXPECT_EQ(std::memcmp(info - 4, "key-", 4), 0);
}

TEST(FindImageInfo, SpacesAfterBuildAreSkipped) {
  UsbImageSpec five;
  five.spaces = 5;
  auto img = test::usb_image(five);
  EXPECT_NE(info_of(img), nullptr);
  UsbImageSpec zero;
  zero.spaces = 0;
  auto none = test::usb_image(zero);
  EXPECT_NE(info_of(none), nullptr);
}

TEST(FindImageInfo, SlashInTheStampRefusesTheCandidateAndALaterOneIsTaken) {
  // The first "key-" has a tag and a build stamp with '/' at offset 4; the second passes.
  UsbImageSpec s;
  s.decoy = "meadow:V1 build 2024/12-25 10:01:06 GCC: old";
  s.tag = "rw820c";
  auto img = test::usb_image(s);
  const char* info = info_of(img);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(std::string(info).substr(0, 7), "rw820c:");

  UsbImageSpec only;
  only.with_info = false;
  only.decoy = "meadow:V1 build 2024/12-25 10:01:06 GCC: old";
  auto img2 = test::usb_image(only);
  EXPECT_EQ(info_of(img2), nullptr);
}

TEST(FindImageInfo, EachTestRefusesACandidate) {
  for (const char* bad : {"meadow V1 build 2024-12-25 10:01:06 GCC: x",   // no ':'
                          "meadow:V1 bld 2024-12-25 10:01:06 GCC: x",     // no "build"
                          "meadow:V1 build 2024-12/25 10:01:06 GCC: x",   // '/' at 7
                          "meadow:V1 build 2024-12-25 10-01:06 GCC: x",   // '-' at 13
                          "meadow:V1 build 2024-12-25 10:01-06 GCC: x",   // '-' at 16
                          "meadow:V1 build 2024-12-25 10:01:06 gcc x",    // no "GCC:"
                          "meadow:V1 build 2024-"}) {                     // stamp cut short
    UsbImageSpec s;
    s.with_info = false;
    s.decoy = bad;
    auto img = test::usb_image(s);
    EXPECT_EQ(info_of(img), nullptr) << bad;
  }
}

TEST(FindImageInfo, KeyWithinTheLastThreeBytesEndsTheSearch) {
  for (size_t keep = 1; keep <= 3; ++keep) {
    std::vector<uint8_t> img(64, 'x');
    std::memcpy(img.data() + img.size() - keep, "key-", keep);
    EXPECT_EQ(info_of(img), nullptr) << keep;
  }
  // Four bytes "key-" at the very end is a candidate; its text is empty and fails.
  std::vector<uint8_t> img(64, 'x');
  std::memcpy(img.data() + 60, "key-", 4);
  EXPECT_EQ(info_of(img), nullptr);
}

// The search as first written: every test from each "key-" runs to the end of its string. Slow
// on images full of "key-", but plain enough to hold the faster search to.
const char* reference_find(const uint8_t* start, const uint8_t* end) {
  auto at = [](const char* s, size_t i) { return strnlen(s, i + 1) > i ? s[i] : '\0'; };
  for (const uint8_t* p = start; p < end; ++p) {
    if (*p != 'k') continue;
    if (end - p < 4) return nullptr;
    if (std::memcmp(p, "key-", 4) != 0) continue;
    const char* s = reinterpret_cast<const char*>(p);
    const char* c = std::strchr(s, ':');
    const char* b = c ? std::strstr(c, "build") : nullptr;
    if (b) {
      const char* q = b + 5;
      while (*q == ' ') ++q;
      if (at(q, 4) == '-' && at(q, 7) == '-' && at(q, 13) == ':' && at(q, 16) == ':' && std::strstr(q, "GCC:"))
        return s + 4;
    }
    p += 3;
  }
  return nullptr;
}

// Both searches over the same bytes (a zero byte after them); the answer as an offset, -1 for none.
std::pair<long, long> both_of(const std::string& bytes) {
  std::vector<uint8_t> img(bytes.begin(), bytes.end());
  img.push_back(0);
  const uint8_t* end = img.data() + bytes.size();
  auto off = [&](const char* r) { return r ? static_cast<long>(r - reinterpret_cast<const char*>(img.data())) : -1L; };
  return {off(find_image_info(img.data(), end)), off(reference_find(img.data(), end))};
}

TEST(FindImageInfo, AgreesWithThePlainSearch) {
  using namespace std::string_literals;
  const std::string stamp = " 2024-12-25 10:01:06 GCC: x";
  struct Case {
    std::string bytes;
    long want;  // the offset both must answer, -1 for none
  };
  const std::vector<Case> cases = {
      {"CY key-a:V1 build" + stamp, 7},
      {"CYkey-key-key-a:V1 build" + stamp, 6},  // the first of many "key-" sharing one text
      {"CYkkey-a:build" + stamp, 7},
      {"CY" + std::string(300, 'k') + "ey-a:build" + stamp, 305},
      {"CY key-a:x key-b:build" + stamp, 7},  // the first takes the second's "build"
      {"CY key-a\0:build"s + stamp + " key-b:build" + stamp, 47},  // ':' in the next string
      {"CY key-a:V1 build 2024/12-25 10:01:06 GCC: x key-b:build" + stamp, 49},
      {"CY key-a:build" + std::string(500, ' ') + "2024-12-25 10:01:06 GCC:", 7},
      {"CY key-a:build 2024-12-25 10:01:06\0GCC:"s, -1},   // "GCC:" in the next string
      {"CY key-a:build 2024-12-25 10:01\0:06 GCC:"s, -1},  // the stamp cut by the string's end
      {"CY key-a:build 2024-12-25GCC:01:06", 7},            // "GCC:" inside the stamp counts
      {"CY key-GCC:a:build 2024-12-25 10:01:06 x", -1},     // "GCC:" before the stamp does not
      {"CY key-a:bui\0ld key-b:build"s + stamp, 20},
      {"CY key-" + std::string(2000, ':') + "build" + stamp, 7},
      {"CY key-:build 1 key-:build" + stamp, 20},
      {"CY " + std::string(200, '\0') + "key-a:build" + stamp, 207},
      {"CYxxkey", -1},
      {"CY key-a:build 2024-12-25 10:01:06 GC", -1},
  };
  for (const Case& c : cases) {
    const auto [fast, plain] = both_of(c.bytes);
    EXPECT_EQ(plain, c.want) << c.bytes;
    EXPECT_EQ(fast, c.want) << c.bytes;
  }
}

// Random images built of the pieces the search looks for, so the pieces meet in every order.
TEST(FindImageInfo, AgreesWithThePlainSearchOnRandomPieces) {
  using namespace std::string_literals;
  const std::vector<std::string> pieces = {"key-", "k", ":", "build", " ", "    ", "2024-12-25 10:01:06", "-",
                                           "GCC:", "GCC", "\0"s, "x", "ey-", "2024-12-25 10:01", "key-t:",
                                           "build 2024-12-25 10:01:06 ", "build 2024-12-25 10:01:06 GCC:"};
  std::mt19937 rng(31);
  int found = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string bytes = "CY";
    const size_t n = 1 + rng() % 24;
    for (size_t i = 0; i < n; ++i) bytes += pieces[rng() % pieces.size()];
    const auto [fast, plain] = both_of(bytes);
    ASSERT_EQ(fast, plain) << "round " << round;
    found += plain >= 0;
  }
  EXPECT_GT(found, 100);  // the pieces do make texts the search takes, not only refusals
}

TEST(TagsMatch, Rules) {
  EXPECT_TRUE(tags_match("TB610K-1CH:V2 build", "TB610K-1CH:V1.0.0 FPGA:1.0"));
  EXPECT_FALSE(tags_match("TB610K-1CH:V2", "TB610K-1CHX:V1"));
  EXPECT_FALSE(tags_match("TB610K:V2", "TB610K-1CH:V1"));
  EXPECT_FALSE(tags_match(":V2", ":V1"));            // empty tags never match
  EXPECT_FALSE(tags_match("TB610K-1CH", "TB610K-1CH:V1"));  // no ':' in the first
  EXPECT_FALSE(tags_match("TB610K-1CH:V1", "TB610K-1CH"));  // target without ':'
  EXPECT_FALSE(tags_match(IMAGE_INFO_UNKNOWN_FILE, "meadow:V1"));
}

TEST(RegistryFindByTag, PrefixRuleFirstEntryWins) {
  BoardRegistry reg;
  registry_build(reg, nullptr);
  auto name = [&](const char* t) {
    BoardEntry* e = registry_find_by_tag(reg, t);
    return e ? std::string(e->name) : std::string("<none>");
  };
  EXPECT_EQ(name("TB610K-1CH:V2 build"), "TB610K-1CH");
  EXPECT_EQ(name("TB610:V2"), "TB610K-1CH");
  EXPECT_EQ(name("TB610R-1CH:V2"), "TB610R-1CH");
  EXPECT_EQ(name("meadow:1"), "meadow");
  EXPECT_EQ(name(":x"), "TB610K-1CH");  // an empty tag matches the first entry
  EXPECT_EQ(name("TB610K-1CH"), "<none>");
  EXPECT_EQ(name(IMAGE_INFO_UNRECOGNISED), "<none>");
  EXPECT_EQ(name("TB999:x"), "<none>");
}

// ---- The four rows, against the simulated card -------------------------------------------------

struct CheckRig {
  explicit CheckRig(std::string_view board) : CheckRig(*sim::make_scenario(board)) {}
  explicit CheckRig(const sim::Scenario& s) : fx(s) {
    registry_build(reg, nullptr);
    registry_select_by_status(reg, fx.card->status_text().c_str());
  }
  // The card's status text cut at "FPGA:", as the check shows it.
  std::string target() const {
    std::string t = fx.card->status_text();
    return t.substr(0, t.find("FPGA:"));
  }
  ImageCheckContext ctx() {
    return ImageCheckContext{fx.link, &reg, std::span<uint8_t>(fx.pages), [this](const AlertRequest& r) {
                               shown.push_back(r);
                               return answer;
                             }};
  }
  test::SimFixture fx;
  BoardRegistry reg;
  std::vector<AlertRequest> shown;
  bool answer = true;
};

std::string info_part(const std::string& info) { return " 固件信息:\r\n " + info + "\r\n"; }
std::string target_part(const std::string& t) { return "\r\n 目标信息:\r\n " + t + "\r\n"; }

void expect_common(const AlertRequest& r) {
  EXPECT_EQ(r.title, "usb固件升级匹配检查");
  EXPECT_EQ(r.cancel_caption, "取消");
}

TEST(DecideUpgrade, Row1ProbeAndTagsAgree) {
  CheckRig rig("meadow");
  const std::string info = test::info_text(test::tagged("meadow"));
  auto ctx = rig.ctx();
  const UpgradeDecision d = compose_upgrade_decision(ctx, info.c_str());
  EXPECT_TRUE(d.target_known);
  EXPECT_EQ(d.target, rig.target());  // cut at "FPGA:"
  EXPECT_EQ(d.target.find("FPGA:"), std::string::npos);
  EXPECT_EQ(d.target.rfind("meadow:", 0), 0u);
  EXPECT_TRUE(d.tags_equal);
  EXPECT_TRUE(d.probe);
  expect_common(d.request);
  EXPECT_EQ(d.request.style, 0x0100);
  EXPECT_EQ(d.request.colour_class(), 1);
  EXPECT_FALSE(d.request.reconfirm());
  EXPECT_EQ(d.request.info, info_part(info) + target_part(rig.target()));
  EXPECT_EQ(d.request.verdict, " 固件信息与目标板适合, 可以升级\r\n");
  EXPECT_EQ(d.request.accept_caption, "升级");
}

TEST(DecideUpgrade, Row2ProbePassesTagsDiffer) {
  // A card whose (old) firmware names its board with a tag the registry does not know.
  sim::Scenario old = *sim::make_scenario("meadow");
  old.reported_tag = "QZ100";
  CheckRig rig(old);
  const std::string info = test::info_text(test::tagged("TB830R-1CH"));  // a board whose probe is always true
  auto ctx = rig.ctx();
  const UpgradeDecision d = compose_upgrade_decision(ctx, info.c_str());
  EXPECT_TRUE(d.probe);
  EXPECT_FALSE(d.tags_equal);
  expect_common(d.request);
  EXPECT_EQ(d.request.style, 0x0200);
  EXPECT_FALSE(d.request.reconfirm());
  EXPECT_EQ(d.request.info, info_part(info) + "\r\n 目标信息: TB830R-1CH\r\n 硬件自动检查匹配通过\r\n");
  EXPECT_EQ(d.request.verdict, " 目标或许由于固件版本过旧, 不能正常识别, 谨慎升级\r\n");
  EXPECT_EQ(d.request.accept_caption, "谨慎升级");
}

// The probes of TB830R-1CH and TB850V-1CH answer true on every card, so the probe alone would
// pass their images on any board. A card that names a registered board gets the mismatch row for
// an image made for another model; its own model's image keeps the first row.
struct AnyBoardProbeCase {
  const char* image_tag;
  const char* card;
};

class AnyBoardProbe : public ::testing::TestWithParam<AnyBoardProbeCase> {};

TEST_P(AnyBoardProbe, ImageForAnotherModelIsAMismatch) {
  const AnyBoardProbeCase c = GetParam();
  CheckRig rig(c.card);
  const std::string info = test::info_text(test::tagged(c.image_tag));
  auto ctx = rig.ctx();
  const UpgradeDecision d = compose_upgrade_decision(ctx, info.c_str());
  ASSERT_TRUE(d.target_known);
  if (std::string_view(c.image_tag) == c.card) {
    EXPECT_FALSE(d.wrong_board);
    EXPECT_EQ(d.request.style, ALERT_STYLE_SUITS);
    EXPECT_EQ(d.request.verdict, VERDICT_SUITS);
  } else {
    EXPECT_TRUE(d.wrong_board);
    EXPECT_FALSE(d.probe);
    EXPECT_EQ(d.request.style, ALERT_STYLE_FORCE);
    EXPECT_EQ(d.request.verdict, VERDICT_MISMATCH);
    EXPECT_EQ(d.request.info, info_part(info) + target_part(rig.target()));
  }
}

std::vector<AnyBoardProbeCase> any_board_probe_cases() {
  std::vector<AnyBoardProbeCase> out;
  for (const char* tag : {"TB830R-1CH", "TB850V-1CH"})
    for (const char* card : {"TB610K-1CH", "TB610M-1CH", "TB610R-1CH", "TB720V-2CH", "TB830R-1CH", "TB850V-1CH", "meadow",
                             "rw820c"})
      out.push_back({tag, card});
  return out;
}

INSTANTIATE_TEST_SUITE_P(EveryBoard, AnyBoardProbe, ::testing::ValuesIn(any_board_probe_cases()));

TEST(DecideUpgrade, AFamilyTagStillPassesOnAMemberOfTheFamily) {
  // TB610M-1CH's name begins with the tag TB610M: no other model's image, so row 2 stays.
  CheckRig rig("TB610M-1CH");
  const std::string info = test::info_text(test::tagged("TB610M"));
  auto ctx = rig.ctx();
  const UpgradeDecision d = compose_upgrade_decision(ctx, info.c_str());
  EXPECT_FALSE(d.wrong_board);
  EXPECT_EQ(d.request.style, ALERT_STYLE_CAREFUL);
}

TEST(DecideUpgrade, Row3TagsAgreeProbeFails) {
  CheckRig rig("TB610K-1CH");  // its probe never matches
  const std::string info = test::info_text(test::tagged("TB610K-1CH"));
  auto ctx = rig.ctx();
  const UpgradeDecision d = compose_upgrade_decision(ctx, info.c_str());
  EXPECT_FALSE(d.probe);
  EXPECT_TRUE(d.tags_equal);
  expect_common(d.request);
  EXPECT_EQ(d.request.style, 0x0301);
  EXPECT_TRUE(d.request.reconfirm());
  EXPECT_EQ(d.request.colour_class(), 3);
  EXPECT_EQ(d.request.info, info_part(info) + target_part(rig.target()));
  EXPECT_EQ(d.request.verdict, " 新固件与目标板芯片冲突，不推荐升级\r\n");
  EXPECT_EQ(d.request.accept_caption, "强制升级");
  EXPECT_EQ(alert_reconfirm_question(d.request), " 新固件与目标板芯片冲突，不推荐升级\r\n是否强制升级");
}

TEST(DecideUpgrade, Row4NeitherWithTargetKnown) {
  CheckRig rig("meadow");
  const std::string info = test::info_text(test::tagged("TB610K-1CH"));
  auto ctx = rig.ctx();
  const UpgradeDecision d = compose_upgrade_decision(ctx, info.c_str());
  EXPECT_FALSE(d.probe);
  EXPECT_FALSE(d.tags_equal);
  expect_common(d.request);
  EXPECT_EQ(d.request.style, 0x0301);
  EXPECT_EQ(d.request.info, info_part(info) + target_part(rig.target()));
  EXPECT_EQ(d.request.verdict, " 固件信息与目标板不匹配, 不可升级\r\n");
  EXPECT_EQ(d.request.accept_caption, "强制升级");
}

TEST(DecideUpgrade, Row4WithoutDeviceSaysTargetUnknown) {
  CheckRig rig("meadow");
  rig.fx.list.current = nullptr;  // no current device
  const std::string info = test::info_text(test::tagged("TB610K-1CH"));
  auto ctx = rig.ctx();
  const UpgradeDecision d = compose_upgrade_decision(ctx, info.c_str());
  EXPECT_FALSE(d.target_known);
  EXPECT_EQ(d.request.info, info_part(info) + "\r\n 目标信息:\r\n 与固件信息不匹配, 不能正常识别\r\n");
  EXPECT_EQ(d.request.style, 0x0301);
}

TEST(DecideUpgrade, NoDeviceButProbingBoardGivesRow2) {
  CheckRig rig("meadow");
  rig.fx.list.current = nullptr;
  const std::string info = test::info_text(test::tagged("TB850V-1CH"));  // probe always true
  auto ctx = rig.ctx();
  const UpgradeDecision d = compose_upgrade_decision(ctx, info.c_str());
  EXPECT_EQ(d.request.style, 0x0200);
}

TEST(DecideUpgrade, StatusReadAsCommand4WhenReport4Unavailable) {
  CheckRig rig("TB610R-1CH");
  rig.fx.dev().link_flags &= ~QHIDEV_F_STATUS_RPT;
  rig.fx.card->clear_reports();
  const std::string info = test::info_text(test::tagged("TB610R-1CH"));
  auto ctx = rig.ctx();
  const UpgradeDecision d = compose_upgrade_decision(ctx, info.c_str());
  EXPECT_TRUE(d.target_known);
  EXPECT_TRUE(d.tags_equal);
  // The first request the card got is command 4 with payload byte 0.
  auto outs = rig.fx.card->reports_of(sim::ReportKind::Output);
  ASSERT_FALSE(outs.empty());
  EXPECT_EQ(outs[0][0], RID_LONG_REQ);
  EXPECT_EQ(outs[0][2], 4);
  EXPECT_EQ(get_le16(outs[0].data() + 4), 1);
  EXPECT_EQ(outs[0][8], 0);
}

TEST(DecideUpgrade, TextsAreCutAt2047Bytes) {
  CheckRig rig("meadow");
  std::string info = "meadow:" + std::string(3000, 'v') + " build 2024-12-25 10:01:06 GCC:";
  auto ctx = rig.ctx();
  const UpgradeDecision d = compose_upgrade_decision(ctx, info.c_str());
  EXPECT_LE(d.request.info->size(), 2047u);
  EXPECT_GE(d.request.info->size(), 2040u);
}

TEST(CheckUsbImageFile, AcceptsWhatTheUserAccepts) {
  CheckRig rig("meadow");
  test::TempDir dir;
  const std::string p = dir.write("fw.img", test::usb_image(test::tagged("meadow")));
  auto ctx = rig.ctx();
  EXPECT_TRUE(check_usb_image_file(ctx, p));
  ASSERT_EQ(rig.shown.size(), 1u);
  EXPECT_EQ(rig.shown[0].style, 0x0100);
  rig.answer = false;
  EXPECT_FALSE(check_usb_image_file(ctx, p));
}

TEST(CheckUsbImageFile, WithoutSignatureNoDialog) {
  CheckRig rig("meadow");
  test::TempDir dir;
  auto img = test::usb_image(test::tagged("meadow"));
  auto ctx = rig.ctx();
  for (auto sig : {std::pair<uint8_t, uint8_t>{'C', 'X'}, {'c', 'y'}, {0, 0}, {'Y', 'C'}}) {
    img[0] = sig.first;
    img[1] = sig.second;
    EXPECT_FALSE(check_usb_image_file(ctx, dir.write("bad.img", img)));
  }
  EXPECT_FALSE(check_usb_image_file(ctx, dir.path() + "/missing.img"));
  EXPECT_FALSE(check_usb_image_file(ctx, dir.write("empty.img", {})));
  EXPECT_FALSE(check_usb_image_file(ctx, dir.write("one.img", {'C'})));
  EXPECT_TRUE(rig.shown.empty());
}

TEST(CheckUsbImageFile, NoInfoTextEndsInRow4WithTheFileFallback) {
  CheckRig rig("meadow");
  test::TempDir dir;
  auto ctx = rig.ctx();
  EXPECT_TRUE(check_usb_image_file(ctx, dir.write("old.img", test::usb_image(test::without_info()))));
  ASSERT_EQ(rig.shown.size(), 1u);
  EXPECT_EQ(rig.shown[0].style, 0x0301);
  EXPECT_EQ(rig.shown[0].verdict, VERDICT_MISMATCH);
  EXPECT_EQ(rig.shown[0].info->rfind(info_part(IMAGE_INFO_UNKNOWN_FILE), 0), 0u);
}

TEST(CheckUsbImageBuffer, TrailerBoardRefusesDamagedImage) {
  CheckRig rig("meadow");
  const BoardEntry* meadow = rig.reg.current;
  ASSERT_STREQ(meadow->name, "meadow");
  auto ctx = rig.ctx();

  auto good = test::with_trailer(test::usb_image(test::tagged("meadow")));
  good.push_back(0);
  EXPECT_TRUE(check_usb_image_buffer(ctx, meadow, good.data(), static_cast<uint32_t>(good.size() - 1)));
  EXPECT_EQ(rig.shown.back().style, 0x0100);

  auto bad = test::with_trailer(test::usb_image(test::tagged("meadow")), -1);  // length word one short
  bad.push_back(0);
  check_usb_image_buffer(ctx, meadow, bad.data(), static_cast<uint32_t>(bad.size() - 1));
  EXPECT_EQ(rig.shown.back().style, 0x0301);
  EXPECT_EQ(rig.shown.back().info->rfind(info_part(IMAGE_INFO_DAMAGED), 0), 0u);

  // A board that checks nothing: the info text decides; without one the third fallback.
  BoardEntry* tb850 = registry_find_by_tag(rig.reg, "TB850V-1CH:");
  auto plain = test::usb_image(test::without_info());
  plain.push_back(0);
  check_usb_image_buffer(ctx, tb850, plain.data(), static_cast<uint32_t>(plain.size() - 1));
  EXPECT_EQ(rig.shown.back().info->rfind(info_part(IMAGE_INFO_UNRECOGNISED), 0), 0u);
}

}  // namespace
}  // namespace kestrel
