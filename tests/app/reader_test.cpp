// The reader thread against a simulated card that is unplugged and replugged while it reads.
// Meant to run under ThreadSanitizer too (the tsan preset).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/ids.h"
#include "app/main_window.h"
#include "app/memory_view.h"
#include "devlink/reader.h"
#include "log/clock.h"
#include "log/console.h"
#include "platform/hid_backend.h"
#include "sim/card.h"
#include "sim/hostile.h"
#include "sim/sim_backend.h"

namespace kestrel {
namespace {

class ReaderThread : public ::testing::Test {
 protected:
  void SetUp() override {
    auto s = sim::make_scenario(sim::BoardModel::Rw820c);
    s.capabilities |= sim::CAP_ASYNC;
    set_up(s);
  }
  void set_up(const sim::Scenario& s) {
    clock_init();
    platform::set_backend(&backend_);
    card_ = backend_.add_card(s);
    window_ = std::make_unique<WindowPresenter>(view_, list_);
    window_->session().listen_with(reader_);
    reader_.list = &list_;
  }
  void TearDown() override {
    window_.reset();
    platform::set_backend(nullptr);
  }
  void start() {
    thread_ = std::thread([this] { hid_reader(reader_); });
  }
  // Stops the reader the way shutdown does; false when it did not leave within a second.
  bool stop() {
    reader_.flags.stop = 1;
    {
      std::lock_guard<std::mutex> g(reader_.device_lock);
      if (reader_.reading) reader_.reading->cancel_read();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!(reader_.flags.exited_a && reader_.flags.exited_b) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool left = reader_.flags.exited_a && reader_.flags.exited_b;
    if (left) thread_.join(); else thread_.detach();
    return left;
  }

  sim::SimBackend backend_;
  std::shared_ptr<sim::SimCard> card_;
  qhidev_list list_;
  MemoryView view_;
  std::unique_ptr<WindowPresenter> window_;
  ReaderControl reader_;
  std::thread thread_;
};

TEST_F(ReaderThread, DeliversEventsAsPostedCommands) {
  window_->session().board_scan();
  ASSERT_NE(list_.current, nullptr);
  ASSERT_TRUE(list_.current->link_flags & QHIDEV_F_ASYNC_MASK);
  EXPECT_EQ(reader_.run.load(), 1);
  start();
  card_->send_event(5);
  std::vector<uint32_t> posted;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (posted.empty() && std::chrono::steady_clock::now() < deadline) {
    posted = view_.take_posted();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(posted, std::vector<uint32_t>{ids::ID_DEV_INTR_EVENT});
  EXPECT_TRUE(stop());
}

TEST_F(ReaderThread, SurvivesUnplugAndRescanWhileReading) {
  window_->session().board_scan();
  start();
  for (int i = 0; i < 20; ++i) {
    card_->send_event(5);
    backend_.unplug(0);
    window_->session().on_device_change(CardSession::DEVICE_REMOVE_COMPLETE);
    EXPECT_EQ(list_.current, nullptr);
    backend_.plug(0);
    window_->session().on_device_change(CardSession::DEVICE_ARRIVAL);
    ASSERT_NE(list_.current, nullptr);
    view_.take_posted();
  }
  EXPECT_TRUE(stop());
}

TEST_F(ReaderThread, CardSwitchWhileReading) {
  // A second card that talks on the interrupt pipe too: each attach changes the current device
  // and writes its link flags while the reader looks at them. The second card answers slowly, so
  // that the reader comes back from its pause while that attach is still writing the flags.
  auto s = sim::make_scenario(sim::BoardModel::Rw820c);
  s.capabilities |= sim::CAP_ASYNC;
  s.latency.per_transfer_ms = 40;
  auto second = backend_.add_card(s);
  window_->session().board_scan();
  ASSERT_EQ(list_.count, 2u);
  start();
  for (uint32_t i = 1; i <= 12; ++i) {
    ASSERT_TRUE(window_->session().board_attach(i % 2));
    EXPECT_EQ(list_.current_index, i % 2);
    EXPECT_TRUE(list_.current->link_flags & QHIDEV_F_ASYNC_MASK);
    view_.take_posted();
  }
  EXPECT_TRUE(stop());
}

TEST_F(ReaderThread, IdleReaderStopsWithinOneSecond) {
  start();  // no card attached: the reader idles in 100 ms steps
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(stop());
}

// The reader itself against a hostile card: it floods the interrupt pipe with reports of every
// ID and of every length, lies in its answers, stalls and leaves the bus, while the GUI thread
// keeps asking and handles whatever the reader posts. The reader must keep up and stop within a
// second at the end.
class HostileReader : public ReaderThread, public ::testing::WithParamInterface<uint64_t> {
 protected:
  void SetUp() override {
    plan_.seed = GetParam();
    plan_.flood_percent = 40;
    plan_.flood_reports = 48;
    plan_.stall_ms = 30;
    plan_.unplug_after_min = 20;
    plan_.unplug_after_max = 120;
    auto s = sim::make_scenario(sim::BoardModel::Meadow);
    s.capabilities |= sim::CAP_ASYNC;
    sim::make_hostile(s, plan_);
    set_up(s);
    hostile_ = sim::attach_hostile(*card_, plan_);
  }
  sim::HostilePlan plan_;
  std::shared_ptr<sim::HostileChannel> hostile_;
};

TEST_P(HostileReader, KeepsUpWithFloodsAndUnplugs) {
  start();
  bool read_while_attached = false;
  for (int round = 0; round < 40; ++round) {
    if (!card_->plugged()) {
      window_->session().on_device_change(CardSession::DEVICE_REMOVE_COMPLETE);
      backend_.plug(0);  // the card comes back
    }
    if (list_.current == nullptr) window_->session().board_scan();
    window_->session().refresh_status();
    window_->card().dump_version();
    for (uint32_t id : view_.take_posted()) window_->on_command(id);
    // With the card attached and the reader running, every flooded report is read: the pipe
    // empties instead of piling up behind a stuck reader.
    if (list_.current != nullptr && reader_.run.load() && card_->plugged()) {
      // Generous: this runs under ThreadSanitizer on a shared machine too.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (card_->interrupt_queue_size() > 0 && card_->plugged() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (card_->plugged()) {
        EXPECT_EQ(card_->interrupt_queue_size(), 0u) << "round " << round;
        read_while_attached = true;
      }
    }
  }
  EXPECT_TRUE(stop());
  EXPECT_GT(hostile_->floods(), 0u) << "the card never flooded";
  EXPECT_TRUE(read_while_attached) << "the reader never ran against the card";
}

INSTANTIATE_TEST_SUITE_P(Seeds, HostileReader, ::testing::Range<uint64_t>(1, 9));

}  // namespace
}  // namespace kestrel
