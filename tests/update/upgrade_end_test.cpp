// The end of an upgrade against the simulated card: the history row it begins and ends, read back
// from the database; the workflow's outcome as that row's result; the wait for the card to
// restart and the verdict on what it then runs, for each way a card comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "history/history_store.h"
#include "update/image_limits.h"
#include "update/upgrade_end.h"
#include "upgrade_fixture.h"

namespace kestrel {
namespace {

using test::UpgradeRig;

// An upgrade of one simulated card with its end: the rig's workflow, and an UpgradeEnd whose row
// goes to `db` in the rig's folder and which tells each history failure into `told`.
struct EndRig : UpgradeRig {
  explicit EndRig(const sim::Scenario& s, const std::string& db = "history.db")
      : UpgradeRig(s), store(history::HistoryStore::open(db.empty() ? dir.path() : dir.path() + "/" + db)) {}

  // Begins the row, runs the workflow on `file` and takes its outcome.
  void upgrade(uint16_t kind, const std::vector<uint8_t>& bytes) {
    const std::string path = dir.write(kind == UPGRADE_KIND_USB ? "fw.img" : "logic.bit", bytes);
    const auto image = ImageFile::load_shared(path);
    end = std::make_unique<UpgradeEnd>(store, dlg->card().history_identity(), kind, path, image.get(), fx.card->status_text(),
                                       [this](const std::string& m) { told.push_back(m); });
    const ShowAlertFn ask = wf->hooks().show_alert;
    wf->hooks().show_alert = [this, ask](const AlertRequest& r) {
      const bool go = ask(r);
      end->asked(r, go);
      return go;
    };
    wf->upgrade(kind, path, image);
    end->took(wf->last());
  }

  // Watches for the card as kestrelctl does: the backend's list, the card opened again where it
  // comes back.
  void watch() {
    ReturnLook look;
    look.list = [this] { return list_cards(&fx.backend); };
    look.still_text = [this] { return read_status_text(fx.link, fx.pages); };
    look.open_back = [this](const std::string& path, platform::OpenFailure& why) -> std::optional<std::string> {
      why = platform::OpenFailure::NotFound;
      if (path != fx.dev().path || !fx.reopen()) return std::nullopt;
      why = platform::OpenFailure::None;
      return read_status_text(fx.link, fx.pages);
    };
    const qhidev& d = fx.dev();
    end->watch({d.path, d.attributes.vendor_id, d.attributes.product_id}, "1-1", std::move(look));
  }

  history::Record row() {
    const history::HistoryRead h = store.query();
    EXPECT_TRUE(h.ok) << h.message;
    EXPECT_EQ(h.records.size(), 1u);
    return h.records.empty() ? history::Record{} : h.records.back();
  }

  history::HistoryStore store;
  std::unique_ptr<UpgradeEnd> end;
  std::vector<std::string> told;
};

sim::Scenario after_upgrade(const char* board, sim::Scenario::AfterUpgrade after) {
  sim::Scenario s = *sim::make_scenario(board);
  s.after_upgrade = after;
  return s;
}

// Each way a card comes back, through the wait to the row: the verdict, whether it is verified,
// the text it came back with and the words the row keeps.
TEST(UpgradeEnd, TheRowEndsWithTheVerdictOnWhatTheCardRuns) {
  using After = sim::Scenario::AfterUpgrade;
  struct Case {
    const char* name;
    After after;
    bool replug;       // the user replugs a card that needs it
    bool interrupted;  // the wait is stopped at its first look
    VerifiedEnd end;
    std::optional<bool> verified;
    bool runs_image;  // the text after names the image
  } cases[] = {
      {"restarts into the image", After::Restart, false, false, VerifiedEnd::Verified, true, true},
      {"restarts into its old firmware", After::RestartIntoOld, false, false, VerifiedEnd::NotVerified, false, false},
      {"needs a replug", After::NeedsReplug, false, false, VerifiedEnd::RestartNeeded, std::nullopt, false},
      {"is replugged", After::NeedsReplug, true, false, VerifiedEnd::Verified, true, true},
      {"wait interrupted", After::Restart, false, true, VerifiedEnd::NotVerified, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EndRig rig(after_upgrade("TB610M-1CH", c.after));
    const std::string before = rig.fx.card->status_text();
    const auto img = test::usb_image(test::tagged("TB610M-1CH", 65536));
    rig.upgrade(UPGRADE_KIND_USB, img);
    ASSERT_TRUE(rig.wf->last().ok);
    ASSERT_TRUE(rig.end->image_version());
    rig.watch();
    rig.end->wait([&] { return c.interrupted; });
    if (c.replug) {
      ASSERT_TRUE(rig.end->needs_replug());
      EXPECT_FALSE(rig.end->verified().has_value());
      rig.end->wait_for_replug(20'000);
      rig.fx.card->unplug();
      rig.end->gone();
      rig.fx.card->plug();
      rig.end->wait({});
    }
    EXPECT_EQ(rig.end->report().end, c.end) << rig.end->report().summary();
    EXPECT_EQ(rig.end->needs_replug(), c.end == VerifiedEnd::RestartNeeded);
    EXPECT_TRUE(rig.end->finish(rig.end->report().summary()));

    const history::Record r = rig.row();
    EXPECT_EQ(r.result, history::Result::Ok);
    EXPECT_EQ(r.verified, c.verified);
    EXPECT_EQ(r.engine_result, std::optional<int32_t>(0));
    EXPECT_EQ(r.attempt.path, history::TransferPath::HidDownload);
    EXPECT_EQ(r.attempt.version_before, before);
    EXPECT_EQ(r.detail, rig.end->report().summary());
    // The text the card came back with, read from the card; nothing when the wait was stopped.
    EXPECT_EQ(r.version_after, c.interrupted ? "" : rig.fx.card->status_text());
    EXPECT_EQ(rig.end->image_version() && card_runs_image(*rig.end->image_version(), r.version_after), c.runs_image)
        << r.version_after;
    // The check's verdict as words, and a suiting image is not forced.
    EXPECT_EQ(r.attempt.verdict, "固件信息与目标板适合, 可以升级");
    EXPECT_FALSE(r.attempt.forced);
    EXPECT_EQ(r.attempt.card.port_path, "1-1");
    EXPECT_EQ(r.attempt.card.usb_serial, "KSIM0001");
    EXPECT_TRUE(rig.told.empty());
  }
}

// What the workflow's outcome comes to in the row, for each way an attempt ends before its wait;
// the card received no image where the row says none was written.
TEST(UpgradeEnd, TheWorkflowsOutcomeComesToOneResult) {
  struct Case {
    const char* name;
    const char* board;
    uint16_t kind;
    std::vector<uint8_t> file;
    bool answer;           // to the match check's question
    bool unplug_mid_write;
    history::Result result;
    std::optional<int32_t> engine;
    const char* verdict;   // "" when no check ran
    bool forced;
  } cases[] = {
      {"the check declined", "TB610K-1CH", UPGRADE_KIND_USB, test::usb_image(test::tagged("TB610K-1CH", 65536)), false,
       false, history::Result::Declined, std::nullopt, "新固件与目标板芯片冲突，不推荐升级", false},
      {"forced past the check", "TB610K-1CH", UPGRADE_KIND_USB, test::usb_image(test::tagged("TB610K-1CH", 65536)), true,
       false, history::Result::Ok, 0, "新固件与目标板芯片冲突，不推荐升级", true},
      {"past the path's limit", "TB610M-1CH", UPGRADE_KIND_FPGA, test::fpga_bitstream(DL_FPGA_IMAGE_MAX + 1), true, false,
       history::Result::Refused, std::nullopt, "", false},
      {"unplugged mid-write", "TB610M-1CH", UPGRADE_KIND_FPGA, test::fpga_bitstream(70000), true, true,
       history::Result::Failed, -1, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Scenario s = *sim::make_scenario(c.board);
    if (c.unplug_mid_write) s.faults.at(sim::StepKind::Page, 20, sim::Fault::Unplug);
    EndRig rig(s);
    rig.default_alert_answer = c.answer;
    rig.fx.card->clear_reports();
    rig.upgrade(c.kind, c.file);
    EXPECT_TRUE(rig.end->finish(c.name));

    const history::Record r = rig.row();
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.engine_result, c.engine);
    EXPECT_EQ(r.attempt.verdict, c.verdict);
    EXPECT_EQ(r.attempt.forced, c.forced);
    EXPECT_EQ(r.attempt.path, history::TransferPath::HidDownload);
    EXPECT_EQ(r.detail, c.name);
    EXPECT_FALSE(r.verified.has_value());
    // Pages reached the card only where the row says a transfer ran.
    const auto reports = rig.download_reports();
    const bool pages_sent =
        std::any_of(reports.begin(), reports.end(), [](const std::vector<uint8_t>& b) { return b[0] == 4; });
    EXPECT_EQ(pages_sent, c.engine.has_value());
  }
}

// A history that cannot be written never stops the upgrade: the card takes its image, and the
// user is told once that the attempt is not on record, however often the row is written.
TEST(UpgradeEnd, AHistoryThatCannotBeWrittenIsToldOnce) {
  EndRig rig(*sim::make_scenario("TB610M-1CH"), "");  // the folder itself: no database there
  const auto bit = test::fpga_bitstream(70000);
  rig.upgrade(UPGRADE_KIND_FPGA, bit);
  ASSERT_TRUE(rig.wf->last().ok);
  EXPECT_EQ(*rig.dl_ch.fpga_image(), bit);
  EXPECT_FALSE(rig.end->begun());
  EXPECT_FALSE(rig.end->finish("waiting for the card to restart"));
  EXPECT_FALSE(rig.end->finish("FPGA version 2.5"));
  ASSERT_EQ(rig.told.size(), 1u);
  EXPECT_EQ(rig.told[0], rig.end->history_failure());
  EXPECT_EQ(rig.told[0].rfind("the upgrade history could not be written: ", 0), 0u) << rig.told[0];
}

}  // namespace
}  // namespace kestrel
