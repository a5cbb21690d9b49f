// The fault matrix: every step of an upgrade against every fault the card's link can show, run
// through the whole button workflow on the simulated card. Each row states the result code the
// flash engine or the HID download gives; every run must end within a bounded simulated time,
// leave no thread, file descriptor or device-handle reference behind, and never show "OK!" for a
// run the card did not confirm.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "update/workflow.h"
#include "upgrade_fixture.h"

namespace kestrel {
namespace {


enum class Path { Flash, Hid };
enum class Step { Open, Erase0, Erase1, EraseLast, Page, Verify, Close, Start, HidErase, HidPage, End };
enum class Kind { Unplug, NoAnswer, BadChecksum, WrongReportId, Refusal, Slow, SlowFail, StaleSequence };

struct Row {
  Path path;
  Step step;
  Kind kind;
  int32_t expect;       // the run's result code
  const char* why;
  bool intact = true;   // a result 0 leaves the card holding the image
  uint32_t spoiled = 1;  // 2: the fault meets the host's one retry too (the refetch of an answer,
                         // or the second send of a page)
};

const char* step_name(Step s) {
  static const char* n[] = {"Open", "Erase0", "Erase1", "EraseLast", "Page", "Verify", "Close", "Start", "HidErase", "HidPage", "End"};
  return n[static_cast<int>(s)];
}
const char* kind_name(Kind k) {
  static const char* n[] = {"Unplug", "NoAnswer", "BadChecksum", "WrongReportId", "Refusal", "Slow", "SlowFail", "StaleSequence"};
  return n[static_cast<int>(k)];
}

// Flash path: an FPGA image of 0x21000 bytes at 0x40000: erase steps 0x10000, 0x10000, 0x1000,
// then 528 pages (the faulted one is the 101st). The partition starts out holding zeros, so a
// range that was not erased, or a page that was lost, shows in the verify.
//
// The card counts its steps: every request is a transaction (0x21 is 1, 0x81 is 2, open is 3,
// the three erase steps 4..6, the pages 7..534, verify 535, close 536); erase steps and pages are
// counted on their own as well. The HID path's 1,000-byte FPGA file: start 3, erase 4 (Erase 1),
// header 5 (Page 1), pages 6..9 (Page 2..5), end 10.
constexpr uint32_t kImage = 0x21000;
constexpr uint32_t kOpenT = 3, kVerifyT = 535, kCloseT = 536;
constexpr uint32_t kPage = 101;

const Row kRows[] = {
    // ---- open ----
    {Path::Flash, Step::Open, Kind::Unplug, -1, "the open request fails: no close"},
    {Path::Flash, Step::Open, Kind::NoAnswer, -1, "a quick failed status read is final"},
    {Path::Flash, Step::Open, Kind::BadChecksum, 0, "refetched once"},
    {Path::Flash, Step::Open, Kind::WrongReportId, 0, "refetched once"},
    {Path::Flash, Step::Open, Kind::Refusal, 0, "the open answer's status byte is not examined; the card opened"},
    {Path::Flash, Step::Open, Kind::Slow, 0, "a slow answer that arrives is taken"},
    {Path::Flash, Step::Open, Kind::SlowFail, 0, "a fetch failing after more than a second is made once more"},
    {Path::Flash, Step::Open, Kind::SlowFail, -1, "the one refetch fails too", true, 2},
    {Path::Flash, Step::Open, Kind::BadChecksum, -1, "the refetch is broken too", true, 2},
    {Path::Flash, Step::Open, Kind::WrongReportId, -1, "the refetch is misrouted too", true, 2},
    {Path::Flash, Step::Open, Kind::StaleSequence, 0, "the open answer's sequence byte is not examined"},
    // ---- erase steps that are not the last ----
    {Path::Flash, Step::Erase0, Kind::Unplug, -3, "erase put fails"},
    {Path::Flash, Step::Erase0, Kind::NoAnswer, 0, "only the last step's status decides; the card erased"},
    {Path::Flash, Step::Erase0, Kind::BadChecksum, 0, "refetched once"},
    {Path::Flash, Step::Erase0, Kind::WrongReportId, 0, "refetched once"},
    {Path::Flash, Step::Erase0, Kind::Refusal, 1, "the range stays unerased: verify does not confirm"},
    {Path::Flash, Step::Erase0, Kind::Slow, 0, "a slow answer that arrives is taken"},
    {Path::Flash, Step::Erase0, Kind::SlowFail, 0, "only the last step's status decides", true, 2},
    {Path::Flash, Step::Erase0, Kind::StaleSequence, 0, "the erase answer is not examined"},
    {Path::Flash, Step::Erase1, Kind::Unplug, -3, "erase put fails"},
    {Path::Flash, Step::Erase1, Kind::NoAnswer, 0, "only the last step's status decides"},
    {Path::Flash, Step::Erase1, Kind::BadChecksum, 0, "refetched once"},
    {Path::Flash, Step::Erase1, Kind::WrongReportId, 0, "refetched once"},
    {Path::Flash, Step::Erase1, Kind::Refusal, 1, "the range stays unerased"},
    {Path::Flash, Step::Erase1, Kind::Slow, 0, "a slow answer that arrives is taken"},
    {Path::Flash, Step::Erase1, Kind::SlowFail, 0, "only the last step's status decides"},
    {Path::Flash, Step::Erase1, Kind::StaleSequence, 0, "the erase answer is not examined"},
    // ---- the last erase step ----
    {Path::Flash, Step::EraseLast, Kind::Unplug, -3, "erase put fails"},
    {Path::Flash, Step::EraseLast, Kind::NoAnswer, -3, "the last status read failed"},
    {Path::Flash, Step::EraseLast, Kind::BadChecksum, 0, "refetched once"},
    {Path::Flash, Step::EraseLast, Kind::WrongReportId, 0, "refetched once"},
    {Path::Flash, Step::EraseLast, Kind::Refusal, 1, "the tail stays unerased"},
    {Path::Flash, Step::EraseLast, Kind::Slow, 0, "a slow answer that arrives is taken"},
    {Path::Flash, Step::EraseLast, Kind::SlowFail, 0, "fetched once more after the late failure"},
    {Path::Flash, Step::EraseLast, Kind::SlowFail, -3, "the one refetch fails too", true, 2},
    {Path::Flash, Step::EraseLast, Kind::BadChecksum, -3, "the refetch is broken too", true, 2},
    {Path::Flash, Step::EraseLast, Kind::WrongReportId, -3, "the refetch is misrouted too", true, 2},
    // ---- a page (no answer is fetched per page) ----
    {Path::Flash, Step::Page, Kind::Unplug, -3, "page put fails"},
    {Path::Flash, Step::Page, Kind::NoAnswer, 1, "the page is lost on the way: verify does not confirm"},
    {Path::Flash, Step::Page, Kind::BadChecksum, 1, "the card's page checksum refuses it"},
    // (No wrong-report-ID row: no answer is fetched per page.)
    {Path::Flash, Step::Page, Kind::Refusal, -3, "the card stalls the report: the put fails at once"},
    {Path::Flash, Step::Page, Kind::Slow, 0, "held back more than a second, then taken"},
    {Path::Flash, Step::Page, Kind::SlowFail, 0, "a put failing after more than a second is sent once more"},
    {Path::Flash, Step::Page, Kind::SlowFail, -3, "the second send fails too", true, 2},
    {Path::Flash, Step::Page, Kind::StaleSequence, 0, "no answer is fetched per page"},
    // ---- verify ----
    {Path::Flash, Step::Verify, Kind::Unplug, 1, "verify put fails"},
    {Path::Flash, Step::Verify, Kind::NoAnswer, 1, "no verify status"},
    {Path::Flash, Step::Verify, Kind::BadChecksum, 0, "refetched once"},
    {Path::Flash, Step::Verify, Kind::WrongReportId, 0, "refetched once"},
    {Path::Flash, Step::Verify, Kind::Refusal, 1, "refused verify"},
    {Path::Flash, Step::Verify, Kind::Slow, 0, "a slow answer that arrives is taken"},
    {Path::Flash, Step::Verify, Kind::SlowFail, 0, "fetched once more after the late failure"},
    {Path::Flash, Step::Verify, Kind::SlowFail, 1, "the one refetch fails too", true, 2},
    {Path::Flash, Step::Verify, Kind::BadChecksum, 1, "the refetch is broken too", true, 2},
    {Path::Flash, Step::Verify, Kind::WrongReportId, 1, "the refetch is misrouted too", true, 2},
    {Path::Flash, Step::Verify, Kind::StaleSequence, 1, "an answer to another request"},
    // ---- close (its results are ignored) ----
    {Path::Flash, Step::Close, Kind::Unplug, 0, "close results are ignored"},
    {Path::Flash, Step::Close, Kind::NoAnswer, 0, "close results are ignored"},
    {Path::Flash, Step::Close, Kind::BadChecksum, 0, "close results are ignored"},
    {Path::Flash, Step::Close, Kind::WrongReportId, 0, "close results are ignored"},
    {Path::Flash, Step::Close, Kind::Refusal, 0, "close results are ignored"},
    {Path::Flash, Step::Close, Kind::Slow, 0, "close results are ignored"},
    {Path::Flash, Step::Close, Kind::SlowFail, 0, "close results are ignored", true, 2},
    // ---- HID download path: a 1,000-byte FPGA file ----
    {Path::Hid, Step::Start, Kind::Unplug, -1, "start report fails"},
    {Path::Hid, Step::Start, Kind::Slow, 0, "nothing is fetched after the start"},
    {Path::Hid, Step::HidErase, Kind::Unplug, -1, "erase request fails"},
    {Path::Hid, Step::HidErase, Kind::NoAnswer, -1, "the handshake fetch fails"},
    {Path::Hid, Step::HidErase, Kind::BadChecksum, 0, "an inverted handshake byte only prolongs the poll"},
    {Path::Hid, Step::HidErase, Kind::Refusal, -1, "a stalled erase request fails the download"},
    {Path::Hid, Step::HidErase, Kind::Slow, 0, "the HID path has no time limit of its own"},
    {Path::Hid, Step::HidErase, Kind::SlowFail, -1, "a handshake fetch failing late fails the download"},
    {Path::Hid, Step::HidErase, Kind::WrongReportId, 0, "byte 0 of the handshake is its status: non-zero polls again"},
    {Path::Hid, Step::HidPage, Kind::Unplug, -1, "page send fails"},
    {Path::Hid, Step::HidPage, Kind::NoAnswer, 0, "lost on the way: nothing on this path can tell", false},
    {Path::Hid, Step::HidPage, Kind::BadChecksum, 0, "a flipped byte: nothing on this path can tell", false},
    {Path::Hid, Step::HidPage, Kind::Refusal, -1, "a stalled page fails the download"},
    {Path::Hid, Step::HidPage, Kind::Slow, 0, "held back, then taken"},
    {Path::Hid, Step::HidPage, Kind::SlowFail, -1, "a page send failing late fails the download"},
    {Path::Hid, Step::End, Kind::Unplug, -1, "end report fails"},
};

void PrintTo(const Row& r, std::ostream* os) {
  *os << (r.path == Path::Flash ? "flash " : "hid ") << step_name(r.step) << " x " << kind_name(r.kind)
      << (r.spoiled > 1 ? " and its retry" : "") << " -> " << r.expect << " (" << r.why << ")";
}

std::string row_name(const testing::TestParamInfo<Row>& info) {
  const Row& r = info.param;
  return std::string(r.path == Path::Flash ? "Flash_" : "Hid_") + step_name(r.step) + "_" + kind_name(r.kind) +
         (r.spoiled > 1 ? "_AndItsRetry" : "");
}

// The card's fault rules for a row.
std::vector<sim::FaultRule> fault_rules(const Row& r) {
  using sim::StepKind;
  sim::FaultRule rule;
  switch (r.step) {
    case Step::Open: rule.kind = StepKind::Transaction; rule.value = kOpenT; break;
    case Step::Erase0: rule.kind = StepKind::Erase; rule.value = 1; break;
    case Step::Erase1: rule.kind = StepKind::Erase; rule.value = 2; break;
    case Step::EraseLast: rule.kind = StepKind::Erase; rule.value = 3; break;
    case Step::Page: rule.kind = StepKind::Page; rule.value = kPage; break;
    case Step::Verify: rule.kind = StepKind::Transaction; rule.value = kVerifyT; break;
    case Step::Close: rule.kind = StepKind::Transaction; rule.value = kCloseT; break;
    case Step::Start: rule.kind = StepKind::Transaction; rule.value = 3; break;
    case Step::HidErase: rule.kind = StepKind::Erase; rule.value = 1; break;
    case Step::HidPage: rule.kind = StepKind::Page; rule.value = 3; break;
    case Step::End: rule.kind = StepKind::Transaction; rule.value = 10; break;
  }
  rule.times = 1;
  rule.delay_ms = 1500;
  rule.fetches = r.spoiled;
  switch (r.kind) {
    case Kind::Unplug: rule.fault = sim::Fault::Unplug; break;
    case Kind::NoAnswer: rule.fault = sim::Fault::DropAnswer; break;
    case Kind::BadChecksum: rule.fault = sim::Fault::CorruptChecksum; break;
    case Kind::WrongReportId: rule.fault = sim::Fault::WrongReportId; break;
    case Kind::Refusal: rule.fault = sim::Fault::Refuse; break;
    case Kind::Slow: rule.fault = sim::Fault::Slow; break;
    case Kind::SlowFail: rule.fault = sim::Fault::SlowFail; break;
    case Kind::StaleSequence: rule.fault = sim::Fault::StaleSequence; break;
  }
  std::vector<sim::FaultRule> rules{rule};
  // A page is sent again, not fetched again: the second send is the card's next page step.
  if (rule.kind == StepKind::Page && r.spoiled > 1) {
    rule.value += 1;
    rules.push_back(rule);
  }
  return rules;
}

class FaultMatrix : public testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, EndsWithTheExpectedResult) {
  const Row& row = GetParam();
  const bool flash = row.path == Path::Flash;

  sim::Scenario sc = *sim::make_scenario(flash ? "meadow" : "TB610K-1CH");
  sc.faults.rules = fault_rules(row);

  const size_t threads0 = test::thread_count();
  const size_t fds0 = test::fd_count();
  {
    test::UpgradeRig rig(sc);
    const long handle_refs0 = rig.fx.dev().handle.use_count();
    std::vector<uint8_t> image = flash ? test::fpga_bitstream(kImage) : test::fpga_bitstream(1000);
    if (flash) rig.flash.load(0x40000, std::vector<uint8_t>(0x30000, 0x00));
    rig.view.file_answers.push_back(rig.dir.write(flash ? "logic.bin" : "logic.bit", image));

    const uint64_t t0 = rig.sim_ns();
    rig.wf->on_clicked_button_fpga_firmware();
    const uint64_t elapsed = rig.sim_ns() - t0;

    const UpgradeOutcome& out = rig.wf->last();
    EXPECT_EQ(out.path, flash ? UpgradePath::FlashChannel : UpgradePath::HidDownload);
    EXPECT_TRUE(out.transferred);
    EXPECT_EQ(out.result, row.expect) << row.why;
    ASSERT_EQ(rig.view.messages.size(), 1u);
    EXPECT_EQ(rig.view.messages[0], row.expect == 0 ? "OK!" : "FAILED!");

    // Bounded in the card's time: an answer and its retry held back 1.5 s each at most, plus the
    // HID path's erase polling.
    EXPECT_LT(elapsed, 4'000'000'000ULL) << "simulated ns";

    // The card must have confirmed what "OK!" says.
    if (rig.view.messages[0] == "OK!") {
      if (flash) {
        EXPECT_GE(rig.flash_ch.stats().verify_matched, 1u);
        EXPECT_EQ(rig.flash.read(0x40000, kImage), image);
      } else if (row.intact) {
        ASSERT_TRUE(rig.dl_ch.fpga_image().has_value());
        EXPECT_EQ(*rig.dl_ch.fpga_image(), image);
      } else {
        // The HID download protocol confirms nothing: "OK!" although the card lacks a page.
        EXPECT_NE(rig.dl_ch.fpga_image(), std::optional<std::vector<uint8_t>>(image));
      }
    }
    if (flash && rig.flash_ch.stats().verify_matched == 0) {
      EXPECT_EQ(rig.view.messages[0], "FAILED!");
    }

    // The window is usable again, the locks were given back.
    EXPECT_FALSE(rig.view.visible(ids::PROGRESS));
    EXPECT_TRUE(rig.view.enabled(ids::BTN_FPGA_FIRMWARE));
    EXPECT_FALSE(rig.dlg->card().download_locked());
    EXPECT_EQ(rig.fx.dev().handle.use_count(), handle_refs0);
  }
  EXPECT_EQ(test::thread_count(), threads0);
  EXPECT_EQ(test::fd_count(), fds0);
}

INSTANTIATE_TEST_SUITE_P(UpgradeFaults, FaultMatrix, testing::ValuesIn(kRows), row_name);

}  // namespace
}  // namespace kestrel
