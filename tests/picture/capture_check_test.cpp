// The capture check after an upgrade, against the simulated card's picture.
#include <gtest/gtest.h>

#include "picture/capture_check.h"
#include "picture/sim_source.h"
#include "window_fixture.h"

namespace kestrel::picture {
namespace {

class CaptureCheckTest : public test::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    sim::Scenario s = sim::make_scenario(sim::BoardModel::Meadow);
    s.width = 64;
    s.height = 36;
    card_ = add(s);
  }
  SourceOpener opener() {
    return [this] {
      ++opens_;
      return open_sim(card_);
    };
  }
  std::shared_ptr<sim::SimCard> card_;
  int opens_ = 0;
};

TEST_F(CaptureCheckTest, FramesFromTheCardSayCaptureOk) {
  const CaptureCheck c = check_capture(opener(), 10);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.text, "capture ok");
  EXPECT_EQ(c.frames, kCaptureOkFrames);
}

TEST_F(CaptureCheckTest, NoSignalSaysNoFramesWithinTheBoundAndWhy) {
  card_->set_signal(false);
  const uint64_t start = clock_now_ns();
  const CaptureCheck c = check_capture(opener(), 3);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.text, "no frames in 3 s: simulated meadow: no signal on the card's input");
  EXPECT_NEAR(static_cast<double>(clock_now_ns() - start) / 1e9, 3.0, 0.25);
  EXPECT_GT(opens_, 1) << "the node is tried again while the check waits";
}

TEST_F(CaptureCheckTest, AStopEndsTheWaitAtOnce) {
  card_->set_signal(false);
  const uint64_t start = clock_now_ns();
  int asked = 0;
  const CaptureCheck c = check_capture(opener(), 3600, [&] { return ++asked > 2; });
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.text, "stopped");
  EXPECT_LT(clock_now_ns() - start, 1'000'000'000ULL);
}

TEST_F(CaptureCheckTest, ACardThatComesBackLateIsWaitedFor) {
  // The card is away restarting; it returns two seconds in.
  backend_.unplug(0);
  const uint64_t back_at = clock_now_ns() + 2'000'000'000ULL;
  const CaptureCheck c = check_capture(
      [&] {
        if (!card_->plugged() && clock_now_ns() >= back_at) backend_.plug(0);
        return open_sim(card_);
      },
      10);
  EXPECT_TRUE(c.ok) << c.text;
  EXPECT_GE(clock_now_ns(), back_at);
}

TEST_F(CaptureCheckTest, ACardThatLeavesMidCheckIsOpenedAgain) {
  // The first source dies after one frame (a restart); the second delivers.
  int calls = 0;
  const CaptureCheck c = check_capture(
      [&] {
        OpenResult o = open_sim(card_);
        if (++calls == 1) {
          o.source->next(100);
          backend_.unplug(0);
          backend_.plug(0);
        }
        return o;
      },
      5);
  EXPECT_TRUE(c.ok) << c.text;
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace kestrel::picture
