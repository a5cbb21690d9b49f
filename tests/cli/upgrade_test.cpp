// kestrelctl upgrade and check-image as processes on simulated cards: the flash channel and the
// HID download to "OK!", a mismatched image refused unless forced, and JSON in every case.
#include <gtest/gtest.h>

#include "support/kestrelctl_run.h"
#include "support/kestrelctl_terminal.h"
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
using kestrel::test::count_of;
using kestrel::test::run_on_terminal;

ProcessResult run(const std::string& args) { return kestrel::test::run_kestrelctl(args); }

class UpgradeCli : public ::testing::Test {
 protected:
  kestrel::test::TempDir dir_;
};


TEST_F(UpgradeCli, ForcedMismatchStillAsksOnATerminal) {
  const std::string img = dir_.write("other.img", kestrel::test::usb_image(kestrel::test::tagged("rw820c", 65536)));
  // --force without --yes: the question comes, and "n" writes nothing. It is the window's second
  // question, in the locale's language.
  auto r = run_on_terminal("--simulate TB610K-1CH --force upgrade firmware " + img, "n", "zh_CN.UTF-8");
  EXPECT_EQ(r.code, 4) << r.out;
  EXPECT_EQ(count_of(r.out, "[y/N]"), 1u) << r.out;
  EXPECT_NE(r.out.find("是否强制升级"), std::string::npos) << r.out;
  r = run_on_terminal("--simulate TB610K-1CH --force upgrade firmware " + img, "n", "C");
  EXPECT_EQ(r.code, 4) << r.out;
  EXPECT_NE(r.out.find("Force the upgrade anyway?"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("upgrade OK!"), std::string::npos) << r.out;
  // "y" goes ahead.
  r = run_on_terminal("--simulate TB610K-1CH --force upgrade firmware " + img, "y");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("upgrade OK!"), std::string::npos) << r.out;
  // Without --force the mismatch is refused before any question.
  r = run_on_terminal("--simulate TB610K-1CH upgrade firmware " + img, "y");
  EXPECT_EQ(r.code, 4) << r.out;
  EXPECT_EQ(count_of(r.out, "[y/N]"), 0u) << r.out;
}

// The history says "forced" only of an upgrade that went ahead past a mismatch.
TEST_F(UpgradeCli, ForcedIsRecordedOnlyWhenTheUpgradeWentAhead) {
  const std::string img = dir_.write("other.img", kestrel::test::usb_image(kestrel::test::tagged("rw820c", 65536)));
  const std::string db = "--history-db " + dir_.path() + "/history.db ";
  EXPECT_EQ(run_on_terminal(db + "--simulate TB610K-1CH --force upgrade firmware " + img, "n").code, 4);
  EXPECT_EQ(run_on_terminal(db + "--simulate TB610K-1CH --force upgrade firmware " + img, "y").code, 0);
  const auto j = json_of(run(db + "--json history"));
  ASSERT_EQ(j["attempts"].size(), 2u) << j.dump();
  EXPECT_EQ(j["attempts"][0]["result"], "declined");
  EXPECT_EQ(j["attempts"][0]["forced"], false);
  EXPECT_EQ(j["attempts"][1]["result"], "OK!");
  EXPECT_EQ(j["attempts"][1]["forced"], true);

  // --force where nothing was forced: an FPGA upgrade never meets the match question, a matching
  // image passes it; with one card and with several, each row stays unforced.
  const std::string bit = dir_.write("logic.bin", kestrel::test::fpga_bitstream(70000));
  const std::string own = dir_.write("own.img", kestrel::test::usb_image(kestrel::test::tagged("TB610M-1CH", 65536)));
  for (const std::string& args : {"--simulate meadow --sim-page-ms 1 --force --yes upgrade fpga " + bit,
                                 "--simulate TB610M-1CH --sim-page-ms 1 --force --yes upgrade firmware " + own,
                                 "--simulate meadow,meadow --card all --sim-page-ms 1 --force --yes upgrade fpga " + bit})
    EXPECT_EQ(run(db + args).code, 0) << args;
  const auto after = json_of(run(db + "--json history"));
  ASSERT_EQ(after["attempts"].size(), 6u) << after.dump();
  for (size_t i = 2; i < 6; ++i) {
    EXPECT_EQ(after["attempts"][i]["result"], "OK!") << i;
    EXPECT_EQ(after["attempts"][i]["forced"], false) << i << ": " << after["attempts"][i].dump();
  }
}

TEST_F(UpgradeCli, FpgaUpgradeAsksOnATerminalAndNamesWhatItWrites) {
  const std::string bit = dir_.write("logic.bin", kestrel::test::fpga_bitstream(70000));
  auto r = run_on_terminal("--simulate meadow upgrade fpga " + bit, "n");
  EXPECT_EQ(r.code, 4) << r.out;
  EXPECT_NE(r.out.find("logic.bin (70000 bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("onto meadow"), std::string::npos) << r.out;
  EXPECT_EQ(count_of(r.out, "[y/N]"), 1u) << r.out;
  r = run_on_terminal("--simulate meadow upgrade fpga " + bit, "y");
  EXPECT_EQ(r.code, 0) << r.out;
}

// The history names the upgraded card by its port path and serial as well as its node, so that
// `history --card PORT` finds it after a replug.
TEST_F(UpgradeCli, HistoryRecordsThePortAndSerial) {
  const std::string bit = dir_.write("logic.bin", kestrel::test::fpga_bitstream(4096));
  const std::string db = "--history-db " + dir_.path() + "/history.db ";
  ASSERT_EQ(run(db + "--simulate meadow --sim-page-ms 1 --json --yes upgrade fpga " + bit).code, 0);
  const auto r = run(db + "--json history --card 1-1");
  ASSERT_EQ(r.code, 0) << r.out;
  const auto j = json_of(r);
  ASSERT_EQ(j["attempts"].size(), 1u) << r.out;
  EXPECT_EQ(j["attempts"][0]["port_path"], "1-1");
  EXPECT_EQ(j["attempts"][0]["usb_serial"], "KSIM0001");
  EXPECT_EQ(j["attempts"][0]["node"], "sim:0");
}

TEST_F(UpgradeCli, FpgaThroughTheFlashChannel) {
  const std::string bit = dir_.write("logic.bin", kestrel::test::fpga_bitstream(70000));
  const auto r = run("--simulate meadow --json --yes upgrade fpga " + bit);
  EXPECT_EQ(r.code, 0);
  const auto j = json_of(r);
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j["path"], "flash-channel");
  EXPECT_TRUE(j.contains("version_after"));
  // FPGA logic carries no text to compare: the card's FPGA version, no verdict.
  EXPECT_TRUE(j["verified"].is_null());
  const std::string before = j["version_before"];
  EXPECT_EQ(j["verify"], "FPGA version " + before.substr(before.find("FPGA:") + 5)) << j.dump();
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

  // --force lets the mismatch go ahead, but only --yes answers for the user.
  r = run("--simulate TB610K-1CH --json --force upgrade firmware " + img);
  EXPECT_EQ(r.code, 4);
  EXPECT_NE(json_of(r)["error"]["message"].get<std::string>().find("--yes"), std::string::npos);
  r = run("--simulate TB610K-1CH --json --force --yes upgrade firmware " + img);
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
  auto r = kestrel::test::run_kestrelctl("--simulate meadow --sim-page-ms 1 --yes upgrade fpga " + bit, {}, true);
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
  r = kestrel::test::run_kestrelctl("--simulate TB610M-1CH --sim-page-ms 1 --yes upgrade fpga " + big, {}, true);
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

// Every file argument that is not a readable file: a message saying what is wrong, exit 2, and
// one JSON document with the error.
struct FileArgCase {
  const char* args;  // with FILE standing for the argument
  const char* says;
};

class FileArguments : public UpgradeCli, public ::testing::WithParamInterface<FileArgCase> {};

TEST_P(FileArguments, DirectoryOrMissingFileIsAUsageError) {
  const FileArgCase c = GetParam();
  std::string args = c.args;
  const std::string file = std::string(c.says) == "is a directory" ? dir_.path() : dir_.path() + "/nothing.img";
  args.replace(args.find("FILE"), 4, file);
  const auto r = run("--simulate meadow --json --yes " + args);
  EXPECT_EQ(r.code, 2) << args;
  const auto j = json_of(r);
  EXPECT_EQ(j["ok"], false);
  EXPECT_NE(j["error"]["message"].get<std::string>().find(c.says), std::string::npos) << j.dump();
}

INSTANTIATE_TEST_SUITE_P(Commands, FileArguments,
                         ::testing::Values(FileArgCase{"check-image FILE", "is a directory"},
                                           FileArgCase{"upgrade firmware FILE", "is a directory"},
                                           FileArgCase{"upgrade fpga FILE", "is a directory"},
                                           FileArgCase{"check-image FILE", "cannot read"},
                                           FileArgCase{"upgrade fpga FILE", "cannot read"}));

// Under a locale that is not Chinese the check speaks English; the card's own texts stay in
// their fields of the JSON, with the English beside them; the verdict is said once, and it is
// the verdict reached.
TEST_F(UpgradeCli, TheCheckSpeaksTheLocalesLanguageAndSaysItsVerdictOnce) {
  const std::string img = dir_.write("other.img", kestrel::test::usb_image(kestrel::test::tagged("rw820c", 65536)));
  struct Case {
    const char* locale;
    const char* verdict;
  } cases[] = {{"C", "Firmware does not match the target board; must not upgrade"},
               {"zh_CN.UTF-8", "固件信息与目标板不匹配, 不可升级"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    setenv("LC_ALL", c.locale, 1);
    for (const std::string& cmd : {"check-image " + img, "--yes upgrade firmware " + img}) {
      const auto r = kestrel::test::run_kestrelctl("--simulate TB610M-1CH " + cmd, {}, true);
      EXPECT_EQ(r.code, 4) << r.out;
      EXPECT_EQ(count_of(r.out, c.verdict), 1u) << r.out;
      EXPECT_EQ(r.out.find('\r'), std::string::npos);
      if (std::string(c.locale) == "C") {
        EXPECT_TRUE(std::all_of(r.out.begin(), r.out.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; }))
            << r.out;
      }
    }
    const auto j = json_of(run("--simulate TB610M-1CH --json check-image " + img));
    EXPECT_EQ(j["check"]["verdict"], "固件信息与目标板不匹配, 不可升级");
    EXPECT_EQ(j["check"]["verdict_en"], "Firmware does not match the target board; must not upgrade");
  }
  unsetenv("LC_ALL");
}

TEST_F(UpgradeCli, ImageEndingInItsTagWithoutAZeroByteIsCheckedInBounds) {
  // The info text runs to the end of the file: its search stops at the zero byte after the image
  // (AddressSanitizer caught a read past the buffer here).
  // A boot image the controller would start, with the text as the bytes after its checksum.
  std::vector<uint8_t> img = kestrel::test::usb_image(kestrel::test::without_info());
  const std::string tail = "key-TB850V-1CH";
  img.insert(img.end(), tail.begin(), tail.end());
  const auto r = run("--simulate TB610M-1CH --json check-image " + dir_.write("tail.img", img));
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(json_of(r)["check"]["style"], "0x0301");
}

TEST_F(UpgradeCli, ProbeThatPassesEveryBoardDoesNotPassAnotherModelsImage) {
  // TB850V-1CH's probe answers true on any card: its image on a TB610M-1CH is a mismatch.
  const std::string img = dir_.write("tb850.img", kestrel::test::usb_image(kestrel::test::tagged("TB850V-1CH", 65536)));
  auto r = run("--simulate TB610M-1CH --json --yes upgrade firmware " + img);
  EXPECT_EQ(r.code, 4);
  auto j = json_of(r);
  EXPECT_EQ(j["check"]["style"], "0x0301");
  EXPECT_FALSE(j.contains("result"));  // no transfer ran
  r = run("--simulate TB850V-1CH --json --yes upgrade firmware " + img);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(json_of(r)["check"]["style"], "0x0100");
}

TEST_F(UpgradeCli, FpgaFileWithoutBitstreamMarksIsRefusedUnlessForced) {
  const std::string text = dir_.write("notes.bit", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});
  auto r = run("--simulate meadow --json --yes upgrade fpga " + text);
  EXPECT_EQ(r.code, 4);
  auto j = json_of(r);
  EXPECT_EQ(j["fpga_check"]["ok"], false);
  EXPECT_NE(j["error"]["message"].get<std::string>().find("--force"), std::string::npos);
  EXPECT_FALSE(j.contains("result"));

  std::vector<uint8_t> unmarked(4096, 0x11);
  const std::string plain = dir_.write("plain.bin", unmarked);
  r = run("--simulate meadow --json --yes upgrade fpga " + plain);
  EXPECT_EQ(r.code, 4);
  r = run("--simulate meadow --json --yes --force upgrade fpga " + plain);
  EXPECT_EQ(r.code, 0);
}

TEST_F(UpgradeCli, MissingSignatureSaysSo) {
  const std::string junk = dir_.write("junk.img", std::vector<uint8_t>(1024, 0x42));
  for (const char* board : {"TB610M-1CH", "meadow"}) {
    const auto r = run(std::string("--simulate ") + board + " --json --yes upgrade firmware " + junk);
    EXPECT_EQ(r.code, 4) << board;
    const auto j = json_of(r);
    EXPECT_NE(j["error"]["message"].get<std::string>().find("no CY signature"), std::string::npos) << j.dump();
    EXPECT_FALSE(j.contains("result")) << board;
  }
}

// The end of a firmware upgrade: the simulated card restarts after the unlock and comes back
// running the image (verified), comes back with its old firmware (not verified, exit 1), or keeps
// running the old firmware until it is replugged (not yet verified, with the advice).
TEST_F(UpgradeCli, VerifiedEndOnBothPaths) {
  const std::string hid = dir_.write("m.img", kestrel::test::usb_image(kestrel::test::tagged("TB610M-1CH", 65536)));
  auto r = run("--simulate TB610M-1CH --json --yes upgrade firmware " + hid);
  EXPECT_EQ(r.code, 0) << r.out;
  auto j = json_of(r);
  EXPECT_EQ(j["path"], "hid-download");
  EXPECT_EQ(j["verified"], true) << j.dump();
  EXPECT_EQ(j["verify"], "verified");
  EXPECT_EQ(j["image_version"], "TB610M-1CH:V2.0.6800 build 2024-12-25 10:01:06");
  EXPECT_NE(j["version_after"].get<std::string>().find("V2.0.6800 build 2024-12-25 10:01:06"), std::string::npos);

  const std::string flash =
      dir_.write("meadow.img", kestrel::test::with_trailer(kestrel::test::usb_image(kestrel::test::tagged("meadow", 65536))));
  r = run("--simulate meadow --json --yes upgrade firmware " + flash);
  EXPECT_EQ(r.code, 0) << r.out;
  j = json_of(r);
  EXPECT_EQ(j["path"], "flash-channel");
  EXPECT_EQ(j["verified"], true) << j.dump();
}

// A user who is not root: the card that comes back refuses its first opens until udev has given
// the seat's user access to it. It is opened once it may be, and the upgrade is verified.
TEST_F(UpgradeCli, CardBackBeforeItsAccessIsGrantedIsOpenedOnceItIs) {
  const std::string hid = dir_.write("m.img", kestrel::test::usb_image(kestrel::test::tagged("TB610M-1CH", 65536)));
  const std::string flash =
      dir_.write("meadow.img", kestrel::test::with_trailer(kestrel::test::usb_image(kestrel::test::tagged("meadow", 65536))));
  for (const std::string& args : {"--simulate TB610M-1CH --sim-refuse-opens 3 --json --yes upgrade firmware " + hid,
                                  "--simulate meadow --sim-refuse-opens 3 --json --yes upgrade firmware " + flash}) {
    const auto r = run(args);
    EXPECT_EQ(r.code, 0) << args << "\n" << r.out;
    const auto j = json_of(r);
    EXPECT_EQ(j["verified"], true) << j.dump();
    EXPECT_EQ(j["verify"], "verified") << j.dump();
  }
}

TEST_F(UpgradeCli, CardBackWithAnotherVersionFails) {
  const std::string img = dir_.write("m.img", kestrel::test::usb_image(kestrel::test::tagged("TB610M-1CH", 65536)));
  const auto r = run("--simulate TB610M-1CH --sim-after-upgrade old --json --yes upgrade firmware " + img);
  EXPECT_EQ(r.code, 1) << r.out;
  const auto j = json_of(r);
  EXPECT_EQ(j["verified"], false);
  // The card's text as it was before the upgrade, tag included.
  const std::string before = j["version_before"];
  const std::string old_version = before.substr(0, before.find(" FPGA:"));
  EXPECT_EQ(j["verify"], "not verified (card reports TB610M-1CH:" + old_version + ")") << j.dump();
}

TEST_F(UpgradeCli, CardThatNeedsAReplug) {
  const std::string img = dir_.write("m.img", kestrel::test::usb_image(kestrel::test::tagged("TB610M-1CH", 65536)));
  auto r = kestrel::test::run_kestrelctl("--simulate TB610M-1CH --sim-after-upgrade replug --yes upgrade firmware " + img, {},
                                         true);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("not yet verified (restart needed)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("restart the card to run and verify the new firmware"), std::string::npos) << r.out;
  r = run("--simulate TB610M-1CH --sim-after-upgrade replug --json --yes upgrade firmware " + img);
  EXPECT_TRUE(json_of(r)["verified"].is_null());

  // With --wait-restart the tool waits for the replug, then verifies.
  r = run("--simulate TB610M-1CH --sim-after-upgrade replug --sim-replug-after 1 --json --yes upgrade firmware " + img +
          " --wait-restart=20");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(json_of(r)["verified"], true) << r.out;
}

}  // namespace
