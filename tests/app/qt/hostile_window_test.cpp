// The real window, its timer, hotplug notifier and a reader thread as the program starts them,
// against the hostile card: garbage in every text the window shows, floods on the interrupt pipe,
// stalls and an unplug. The window must neither crash nor hang, keep answering its commands, and
// show the card's removal.
#include <QTimer>

#include <thread>

#include "app/ids.h"
#include "devlink/reader.h"
#include "gui_fixture.h"
#include "sim/hostile.h"

namespace kestrel {
namespace {

using test::wait_for;

class HostileGui : public test::GuiTest, public ::testing::WithParamInterface<uint64_t> {
 protected:
  // Real time: the reader thread paces itself with the clock's sleeps, which a simulated clock
  // would turn into a spin.
  void SetUp() override {
    GuiTest::SetUp();
    clock_set_source(nullptr);
    clock_init();
  }
  void TearDown() override {
    stop_reader();
    GuiTest::TearDown();
  }
  void start_reader() {
    window_->logic().session().listen_with(reader_);
    reader_.list = &list_;
    thread_ = std::thread([this] { hid_reader(reader_); });
  }
  void stop_reader() {
    if (!thread_.joinable()) return;
    reader_.flags.stop = 1;
    {
      std::lock_guard<std::mutex> g(reader_.device_lock);
      if (reader_.reading) reader_.reading->cancel_read();
    }
    thread_.join();
  }
  ReaderControl reader_;
  std::thread thread_;
};

TEST_P(HostileGui, WindowSurvivesAndKeepsAnswering) {
  sim::HostilePlan plan;
  plan.seed = GetParam();
  plan.stall_ms = 50;
  plan.unplug_after_min = 10;
  plan.unplug_after_max = 40;
  auto s = sim::make_scenario(sim::BoardModel::Meadow);
  s.capabilities |= sim::CAP_ASYNC;
  sim::make_hostile(s, plan);
  auto card = backend_.add_card(s);
  auto hostile = sim::attach_hostile(*card, plan);

  open();
  start_reader();
  // The window's own 10 ms timer and the reader's posted events, for a while; then every command
  // that does not open a modal dialog, as a user clicking through the window.
  wait_for([] { return false; }, 400);
  for (uint32_t id : {ids::ID_STATUS_REFRESH, ids::ID_RUN_STATUS, ids::ID_DEBUG_INFO, ids::ID_VERSION, ids::HOLD_BOX,
                      ids::HALF_RATE_BOX, ids::BTN_DEBUG_1061, ids::ID_MONITOR_QUERY, ids::ID_DEV_INTR_EVENT,
                      ids::ID_DEV_TEXT_EVENT, ids::BTN_REPAIR_ONLY}) {
    view().dispatch_command(id);
    wait_for([] { return false; }, 20);
  }
  // The unplug comes at the latest after 40 requests: the user keeps asking for the status.
  for (int i = 0; i < 100 && card->plugged(); ++i) {
    view().dispatch_command(ids::ID_STATUS_REFRESH);
    wait_for([] { return false; }, 10);
  }
  ASSERT_FALSE(card->plugged()) << "the card never left: " << card->step_count(sim::StepKind::Transaction)
                                << " requests";
  EXPECT_TRUE(wait_for([&] { return list_.current == nullptr; })) << "the window still holds the card that left";

  // Still responsive: a command queued to the event loop is handled.
  messages_.clear();
  QObject scope;
  QTimer::singleShot(0, &scope, [this] { view().dispatch_command(ids::BTN_REPAIR_ONLY); });
  EXPECT_TRUE(wait_for([&] { return !messages_.empty(); })) << "the window no longer answers a click";
  EXPECT_TRUE(view().isVisible());
  EXPECT_GT(hostile->lies() + hostile->floods(), 0u) << "the card was not hostile at all";
  stop_reader();
}

INSTANTIATE_TEST_SUITE_P(Seeds, HostileGui, ::testing::Range<uint64_t>(1, 7));

}  // namespace
}  // namespace kestrel
