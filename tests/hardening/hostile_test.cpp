// The window logic and the upgrade workflow against a hostile card (src/sim/hostile.h), over a
// range of seeds: nothing crashes, every wait ends in simulated time, and nothing is reported
// done that the card did not confirm.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/window_fixture.h"
#include "sim/hostile.h"
#include "support/test_images.h"
#include "update/upgrade_fixture.h"

namespace kestrel {
namespace {

constexpr uint64_t kSeeds = 24;
// Far more than any honest exchange needs, far less than an unbounded wait would reach.
constexpr uint64_t kWaitLimitNs = 30ull * 60 * 1'000'000'000;

bool says_ok(const std::vector<std::string>& messages) {
  return std::find(messages.begin(), messages.end(), "OK!") != messages.end();
}

class HostileWindow : public test::WindowTest, public ::testing::WithParamInterface<uint64_t> {};

// Attach, the status refresh, timers, the engineering queries and whatever the card's reports
// make the window post, while the card lies, stalls, floods and leaves.
TEST_P(HostileWindow, SurvivesAttachAndQueries) {
  sim::HostilePlan plan;
  plan.seed = GetParam();
  plan.unplug_after_min = 10;
  plan.unplug_after_max = 400;
  auto s = sim::make_scenario(sim::BoardModel::Meadow);
  s.capabilities |= sim::CAP_ASYNC;
  sim::make_hostile(s, plan);
  auto card = add(s);
  auto hostile = sim::attach_hostile(*card, plan);

  const uint64_t t0 = clock_now_ns();
  window().session().board_scan();
  drain();
  for (int round = 0; round < 6; ++round) {
    window().session().refresh_status();
    window().card().dump_run_status();
    window().card().dump_debug_info();
    window().card().dump_version();
    window().card().dump_fpga();
    window().session().on_status_change();
    window().session().print_card_text();
    window().session().print_frame_timing();
    drain();
  }
  EXPECT_LT(clock_now_ns() - t0, kWaitLimitNs);
  EXPECT_GT(hostile->lies() + hostile->floods(), 0u) << "the card was not hostile at all";
}

INSTANTIATE_TEST_SUITE_P(Seeds, HostileWindow, ::testing::Range<uint64_t>(1, kSeeds + 1));

class HostileUpgrade : public ::testing::TestWithParam<uint64_t> {};

// The flash path writes an FPGA image; "OK!" only when the flash holds the image.
TEST_P(HostileUpgrade, OkOnlyWhenTheFlashHoldsTheImage) {
  sim::HostilePlan plan;
  plan.seed = GetParam();
  plan.lie_percent = 3;
  plan.flood_percent = 2;
  plan.unplug_after_min = GetParam() % 3 == 0 ? 20 : 0;
  plan.unplug_after_max = 150;
  auto s = *sim::make_scenario("meadow");
  sim::make_hostile(s, plan);
  test::UpgradeRig rig(s);
  sim::attach_hostile(*rig.fx.card, plan);
  const auto bit = test::fpga_bitstream(0x3000);
  rig.view.file_answers.push_back(rig.dir.write("logic.bin", bit));

  const uint64_t t0 = clock_now_ns();
  rig.wf->on_clicked_button_fpga_firmware();
  EXPECT_LT(clock_now_ns() - t0, kWaitLimitNs);
  if (says_ok(rig.view.messages)) {
    EXPECT_EQ(rig.wf->last().result, 0);
    EXPECT_EQ(rig.flash.read(0x40000, bit.size()), bit) << "OK! for an image the card did not take";
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, HostileUpgrade, ::testing::Range<uint64_t>(1, kSeeds + 1));

}  // namespace
}  // namespace kestrel
