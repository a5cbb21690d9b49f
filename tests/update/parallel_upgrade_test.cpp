// Several cards upgraded at once, one workflow and one thread per card, each a Card with its own
// device list, link (and so its own request counter), board registry and work pages. One card
// leaves the bus in the middle of its write and one is offered an image for another board; the
// others must end with their image in flash, as if they had been upgraded alone.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "card/card.h"
#include "log/clock.h"
#include "sim/download_channel.h"
#include "sim/sim_backend.h"
#include "support/sim_fixture.h"
#include "support/test_images.h"
#include "update/workflow.h"

namespace kestrel {
namespace {

// The front end of one card: what the workflow told it.
struct RecordingFront : UpgradeFront {
  int begins = 0;
  std::vector<int32_t> ends;
  void transfer_begins() override { ++begins; }
  void transfer_progress(int) override {}
  void transfer_ends(int32_t result) override { ends.push_back(result); }
};

// A card of the bench with its front end and what its upgrade ended in.
struct BenchCard {
  std::unique_ptr<Card> card;
  std::shared_ptr<sim::SimCard> sim;
  std::string file;  // the image it is given
  int lock = 0;      // its front end's download lock
  RecordingFront front;
  UpgradeOutcome outcome;
  std::vector<std::string> verdicts;

  // Sequence bytes of the flash-channel requests (output report 7) this card received.
  std::vector<uint8_t> flash_seqs() const {
    std::vector<uint8_t> out;
    for (auto& b : sim->reports_of(sim::ReportKind::Output))
      if (!b.empty() && b[0] == 7) out.push_back(b[1]);
    return out;
  }
};

TEST(ParallelUpgrade, OneCardLostAndOneRefusedLeaveTheOthersWritten) {
  SimClock clock;
  clock_set_source(&clock);
  clock_init();
  sim::SimBackend backend;
  platform::set_backend(&backend);

  struct Plan {
    const char* board;
    const char* image_for;  // the board named in the image's info text
    bool unplug;            // leaves the bus at its 20th page
  };
  const std::vector<Plan> plans = {
      {"meadow", "meadow", false},
      {"meadow", "meadow", true},
      {"meadow", "TB610R-1CH", false},  // another board's image: a mismatch
      {"TB610R-1CH", "TB610R-1CH", false},
      {"TB610K-1CH", "TB610K-1CH", false},  // no flash channel: the HID download
  };
  test::TempDir dir;
  std::vector<std::vector<uint8_t>> images;
  std::vector<std::unique_ptr<BenchCard>> cards;
  for (size_t i = 0; i < plans.size(); ++i) {
    sim::Scenario s = *sim::make_scenario(plans[i].board);
    if (plans[i].unplug) s.faults.at(sim::StepKind::Page, 20, sim::Fault::Unplug);
    backend.add_card(s);
  }
  backend.drain_hotplug();
  // Each card found and attached on its own, as the card list would have it.
  std::vector<std::unique_ptr<Card>> attached = Card::attach_all();
  ASSERT_EQ(attached.size(), plans.size());
  for (size_t i = 0; i < plans.size(); ++i) {
    cards.push_back(std::make_unique<BenchCard>());
    cards[i]->card = std::move(attached[i]);
    cards[i]->sim = backend.card(i);
    ASSERT_NE(cards[i]->card->board(), nullptr);
    EXPECT_EQ(std::string(cards[i]->card->board()->name), plans[i].board);
    images.push_back(test::with_trailer(test::usb_image(test::tagged(plans[i].image_for, 70000 + 4096 * i))));
    cards[i]->file = dir.write("fw" + std::to_string(i) + ".img", images[i]);
  }

  std::vector<std::thread> workers;
  for (auto& c : cards) {
    workers.emplace_back([&c = *c] {
      UpgradeHooks hooks;
      // Each card answers its own check: go on only when the image suits it, never force.
      hooks.show_alert = [&c](const AlertRequest& r) {
        c.verdicts.push_back(r.verdict.value_or(""));
        return r.verdict.value_or("") != VERDICT_MISMATCH;
      };
      hooks.idle = [](uint32_t) { std::this_thread::sleep_for(std::chrono::microseconds(50)); };
      UpgradeCard card = c.card->upgrade_card();
      card.download_lock = [&c](int mode) { return std::exchange(c.lock, mode); };
      UpgradeWorkflow upgrade(card, c.front, hooks);
      std::string unreadable;
      upgrade.upgrade(UPGRADE_KIND_USB, c.file, ImageFile::load_shared(c.file, &unreadable), unreadable);
      c.outcome = upgrade.last();
    });
  }
  for (auto& t : workers) t.join();

  for (size_t i = 0; i < cards.size(); ++i) {
    BenchCard& c = *cards[i];
    SCOPED_TRACE(std::string(plans[i].board) + " #" + std::to_string(i));
    const auto stored = sim::storage_of(*c.sim)->flash.read(0, static_cast<uint32_t>(images[i].size()));
    if (plans[i].unplug) {
      EXPECT_TRUE(c.outcome.transferred);
      EXPECT_FALSE(c.outcome.ok);
      EXPECT_EQ(c.front.ends, std::vector<int32_t>{c.outcome.result});
      EXPECT_NE(c.outcome.result, 0);
    } else if (std::string(plans[i].image_for) != plans[i].board) {
      EXPECT_EQ(c.verdicts, std::vector<std::string>{VERDICT_MISMATCH});
      EXPECT_FALSE(c.outcome.accepted);
      EXPECT_FALSE(c.outcome.transferred);
      EXPECT_TRUE(c.front.ends.empty());
      EXPECT_TRUE(c.flash_seqs().empty());
      EXPECT_NE(stored, images[i]);
    } else {
      EXPECT_TRUE(c.outcome.ok);
      EXPECT_EQ(c.front.ends, std::vector<int32_t>{0});
      EXPECT_EQ(c.front.begins, 1);
      EXPECT_EQ(stored, images[i]);
      // Each card counts its own requests: the engine's run without a gap, whatever the other
      // cards sent meanwhile, and the unlock after them is the last its counter gave out.
      const auto seqs = c.flash_seqs();
      if (c.outcome.path == UpgradePath::FlashChannel) {
        ASSERT_FALSE(seqs.empty());
        for (size_t k = 0; k < seqs.size(); ++k) ASSERT_EQ(seqs[k], static_cast<uint8_t>(seqs[0] + k)) << k;
        EXPECT_EQ(static_cast<uint8_t>(seqs.back() + 1), static_cast<uint8_t>(c.card->link().hid_seq));
      }
    }
    EXPECT_EQ(c.lock, 0);  // every download lock given back
  }
  EXPECT_EQ(cards[4]->outcome.path, UpgradePath::HidDownload);

  cards.clear();
  platform::set_backend(nullptr);
  clock_set_source(nullptr);
  clock_init();
}

}  // namespace
}  // namespace kestrel
