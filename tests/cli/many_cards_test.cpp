// kestrelctl on several simulated cards at once: `--simulate a,b,c`, `--card all` or a list; a
// block per card in `status`; one worker per card in `upgrade firmware` (each with its own match
// check) and `upgrade fpga` (one question for the run); the summary, the JSON array, the history
// rows and the exit code of the worst card. Wrong selections are refused before any card is
// touched.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "support/kestrelctl_run.h"
#include "support/kestrelctl_terminal.h"
#include "support/test_images.h"

namespace {

using kestrel::test::json_of;
using kestrel::test::count_of;
using kestrel::test::run_kestrelctl;
using kestrel::test::run_on_terminal;

class ManyCards : public ::testing::Test {
 protected:
  std::string db() const { return "--history-db " + dir_.path() + "/history.db "; }
  kestrel::test::TempDir dir_;
};

TEST_F(ManyCards, EachCardItsOwnCheckAndEnd) {
  const std::string img = dir_.write("fw.img", kestrel::test::with_trailer(kestrel::test::usb_image(kestrel::test::tagged("meadow", 70000))));
  // Two meadows take the image; the TB610M-1CH between them is refused by its own check and
  // forces nothing on the others.
  const auto r = run_kestrelctl(db() + "--json --yes --simulate meadow,TB610M-1CH,meadow --card all upgrade firmware " + img);
  const nlohmann::json j = json_of(r);
  EXPECT_EQ(r.code, 4);  // the worst card: refused
  ASSERT_EQ(j["cards"].size(), 3u) << r.out;
  for (int i : {0, 2}) {
    const auto& c = j["cards"][i];
    EXPECT_EQ(c["board"], "meadow");
    EXPECT_EQ(c["result"], "verified") << c.dump();
    EXPECT_EQ(c["verified"], true);
    EXPECT_EQ(c["exit"], 0);
    EXPECT_NE(c["version_after"], c["version_before"]);
  }
  const auto& m = j["cards"][1];
  EXPECT_EQ(m["board"], "TB610M-1CH");
  EXPECT_EQ(m["result"], "refused");
  EXPECT_EQ(m["exit"], 4);
  EXPECT_EQ(m["check"]["verdict"], "固件信息与目标板不匹配, 不可升级");
  EXPECT_EQ(m["version_after"], "");

  // One history row per card, each with its own node and end.
  const nlohmann::json h = json_of(run_kestrelctl(db() + "--json history"));
  ASSERT_EQ(h["attempts"].size(), 3u) << h.dump();
  int ok = 0, declined = 0;
  for (const auto& a : h["attempts"]) {
    if (a["result"] == "OK!" && a["verified"] == true) ++ok;
    if (a["result"] == "declined" && a["node"] == "sim:1") ++declined;
  }
  EXPECT_EQ(ok, 2);
  EXPECT_EQ(declined, 1);
}

// Each card that comes back refuses its first opens until udev has given the seat's user access
// to it: each is opened once it may be, and verified.
TEST_F(ManyCards, CardsBackBeforeTheirAccessIsGrantedAreOpenedOnceItIs) {
  const std::string img = dir_.write("fw.img", kestrel::test::with_trailer(kestrel::test::usb_image(kestrel::test::tagged("meadow", 70000))));
  const auto r = run_kestrelctl(db() + "--json --yes --simulate meadow,meadow --sim-refuse-opens 3 --card all upgrade firmware " + img);
  const nlohmann::json j = json_of(r);
  EXPECT_EQ(r.code, 0) << r.out;
  ASSERT_EQ(j["cards"].size(), 2u) << r.out;
  for (const auto& c : j["cards"]) {
    EXPECT_EQ(c["result"], "verified") << c.dump();
    EXPECT_EQ(c["verified"], true) << c.dump();
  }
}

TEST_F(ManyCards, AListChoosesThoseCardsOnceInListOrder) {
  const std::string img = dir_.write("fw.img", kestrel::test::with_trailer(kestrel::test::usb_image(kestrel::test::tagged("meadow", 70000))));
  // An index, a node and a USB port path may name the same card.
  const auto r = run_kestrelctl(db() + "--json --yes --simulate meadow,meadow,meadow --card 2,sim:0,1-3 upgrade firmware " + img);
  const nlohmann::json j = json_of(r);
  EXPECT_EQ(r.code, 0) << r.out;
  ASSERT_EQ(j["cards"].size(), 2u);
  EXPECT_EQ(j["cards"][0]["node"], "sim:0");
  EXPECT_EQ(j["cards"][1]["node"], "sim:2");
  EXPECT_EQ(j["cards"][1]["port"], "1-3");
  EXPECT_EQ(j["cards"][1]["serial"], "KSIM0003");
}

TEST_F(ManyCards, WrongSelectionsAreRefusedWithTheirReason) {
  const std::string img = dir_.write("fw.img", kestrel::test::with_trailer(kestrel::test::usb_image(kestrel::test::tagged("meadow", 70000))));
  struct Case {
    std::string args;
    int code;
    std::string says;
  } cases[] = {
      {"--simulate meadow,meadow --card 0,5 upgrade firmware " + img, 3, "no card 5; attached: 0 port 1-1 node sim:0, 1 port 1-2 node sim:1"},
      {"--simulate meadow,meadow --card 0,nowhere upgrade firmware " + img, 3, "no card nowhere"},
      {"--simulate meadow,meadow --card 1-2,1-7 upgrade firmware " + img, 2, "no card on port 1-7; attached: 0 port 1-1"},
      {"--simulate meadow,meadow --card , upgrade firmware " + img, 3, "no card ','"},
      {"--simulate meadow,meadow --card all input auto", 2, "takes one card"},
      {"--simulate meadow,meadow --card 0,3 status", 3, "no card 3; attached"},
      {"--simulate meadow,meadow --card all upgrade fpga " + img, 4, "not an FPGA bitstream"},
      {"--simulate meadow,meadow --card all upgrade firmware " + img + " --check-capture", 2, "take one card"},
      {"--simulate meadow,nosuch --card all upgrade firmware " + img, 2, "unknown board 'nosuch'"},
      {"--simulate meadow,meadow --card all upgrade firmware " + dir_.path(), 2, dir_.path()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const auto r = run_kestrelctl(db() + "--json --yes " + c.args);
    EXPECT_EQ(r.code, c.code);
    const nlohmann::json j = json_of(r);
    EXPECT_NE(j["error"]["message"].get<std::string>().find(c.says), std::string::npos) << j.dump();
    EXPECT_FALSE(j.contains("cards"));
  }
}

TEST_F(ManyCards, StatusGivesOneBlockPerCard) {
  const auto j = json_of(run_kestrelctl("--json --simulate meadow,TB610R-1CH,rw820c --card 2,0 status"));
  ASSERT_EQ(j["cards"].size(), 2u) << j.dump();
  EXPECT_EQ(j["exit_code"], 0);
  EXPECT_EQ(j["cards"][0]["index"], 0);
  EXPECT_EQ(j["cards"][0]["board"], "meadow");
  EXPECT_EQ(j["cards"][1]["index"], 2);
  EXPECT_EQ(j["cards"][1]["board"], "rw820c");
  for (const auto& c : j["cards"]) EXPECT_FALSE(c["version"].get<std::string>().empty());

  const auto text = run_kestrelctl("--simulate meadow,TB610R-1CH --card all status");
  EXPECT_EQ(text.code, 0);
  const size_t first = text.out.find("card 0 (sim:0)\nboard         meadow\n");
  const size_t second = text.out.find("\n\ncard 1 (sim:1)\nboard         TB610R-1CH\n");
  EXPECT_NE(first, std::string::npos) << text.out;
  EXPECT_NE(second, std::string::npos) << text.out;
  EXPECT_LT(first, second);
  EXPECT_EQ(run_kestrelctl("--simulate meadow,meadow --card all status --watch").code, 2);
}

// A trace of several cards at once names the card on every line, so that it reads card by card;
// one card's trace stays as it was.
TEST_F(ManyCards, TheTraceNamesTheCardOnEveryLine) {
  const auto r = run_kestrelctl("--trace --simulate meadow,TB610R-1CH --card all status", {}, true);
  EXPECT_EQ(r.code, 0);
  std::istringstream lines(r.out);
  size_t traced = 0, named[2] = {0, 0};
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("> ", 0) != 0 && line.rfind("< ", 0) != 0) continue;
    ++traced;
    for (int i = 0; i < 2; ++i) named[i] += line.size() > 7 && line.compare(line.size() - 7, 7, " @sim:" + std::to_string(i)) == 0;
  }
  EXPECT_GT(named[0], 0u);
  EXPECT_GT(named[1], 0u);
  EXPECT_EQ(named[0] + named[1], traced) << r.out;
  const auto one = run_kestrelctl("--trace --simulate meadow status", {}, true);
  EXPECT_EQ(one.out.find(" @sim:"), std::string::npos);
}

// Each card reads its registers by the protocol its own attach found: a card that gave its status
// block is asked with framed command 12 (report 11), as one card alone is, never through the
// legacy reports 12 and 13 because another card or the process had not.
TEST_F(ManyCards, EachCardReadsRegistersByItsOwnProtocol) {
  // The match check probes the board's receiver through its registers.
  const std::string img = dir_.write("fw.img", kestrel::test::usb_image(kestrel::test::tagged("TB610M-1CH", 65536)));
  for (const char* cards : {"--card 0", "--card all"}) {
    SCOPED_TRACE(cards);
    const auto r = run_kestrelctl(std::string("--trace --yes --simulate TB610M-1CH,TB610M-1CH ") + cards +
                                      " upgrade firmware " + img, {}, true);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("> output id=11 size=265 0b "), std::string::npos);
    size_t framed = 0;
    for (size_t at = r.out.find("> output id=11 size=265 0b "); at != std::string::npos;
         at = r.out.find("> output id=11 size=265 0b ", at + 1))
      framed += r.out.compare(at + 30, 2, "0c") == 0;
    EXPECT_GT(framed, 0u) << r.out;
    EXPECT_EQ(r.out.find("> output id=12 "), std::string::npos) << r.out;
  }
}

TEST_F(ManyCards, WithoutATerminalOrYesNothingIsWritten) {
  const std::string img = dir_.write("fw.img", kestrel::test::with_trailer(kestrel::test::usb_image(kestrel::test::tagged("meadow", 70000))));
  const auto r = run_kestrelctl(db() + "--json --simulate meadow,meadow --card all upgrade firmware " + img);
  const nlohmann::json j = json_of(r);
  EXPECT_EQ(r.code, 4);
  ASSERT_EQ(j["cards"].size(), 2u);
  for (const auto& c : j["cards"]) {
    EXPECT_EQ(c["result"], "refused");
    EXPECT_NE(c["detail"].get<std::string>().find("--yes"), std::string::npos);
    EXPECT_EQ(c["version_after"], "");
  }
}

// An FPGA file has no match check: one question names every card, and the answer holds for all.
TEST_F(ManyCards, FpgaOntoSeveralCardsIsAskedOnceForTheRun) {
  const std::string bit = dir_.write("logic.bin", kestrel::test::fpga_bitstream(70000));
  const std::string args = db() + "--simulate meadow,TB610R-1CH --card all upgrade fpga " + bit;
  auto r = run_on_terminal(args, "n");
  EXPECT_EQ(r.code, 4) << r.out;
  EXPECT_EQ(count_of(r.out, "[y/N]"), 1u) << r.out;
  EXPECT_NE(r.out.find("onto card 0 (meadow), card 1 (TB610R-1CH)"), std::string::npos) << r.out;
  EXPECT_EQ(count_of(r.out, "declined         answered no"), 2u) << r.out;
  EXPECT_EQ(r.out.find("upgrading"), std::string::npos) << r.out;

  r = run_on_terminal(args, "y");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(count_of(r.out, "[y/N]"), 1u) << r.out;

  // FPGA logic carries no text to compare: each card ends with the FPGA version it reports.
  const nlohmann::json j = json_of(run_kestrelctl(db() + "--json --yes --simulate TB610R-1CH,meadow --card all upgrade fpga " + bit));
  ASSERT_EQ(j["cards"].size(), 2u) << j.dump();
  EXPECT_EQ(j["exit_code"], 0);
  for (const auto& c : j["cards"]) {
    EXPECT_EQ(c["result"], "ok") << c.dump();
    EXPECT_TRUE(c["verified"].is_null());
    const std::string before = c["version_before"];
    EXPECT_EQ(c["detail"], "FPGA version " + before.substr(before.find("FPGA:") + 5)) << c.dump();
  }

  // Two declined, two written on the terminal, two written with --yes: one row each.
  const nlohmann::json h = json_of(run_kestrelctl(db() + "--json history"));
  ASSERT_EQ(h["attempts"].size(), 6u) << h.dump();
  int declined = 0, ok = 0;
  for (const auto& a : h["attempts"]) {
    EXPECT_EQ(a["image_kind"], "fpga");
    if (a["result"] == "declined") ++declined;
    if (a["result"] == "OK!") ++ok;
  }
  EXPECT_EQ(declined, 2);
  EXPECT_EQ(ok, 4);
}

}  // namespace
