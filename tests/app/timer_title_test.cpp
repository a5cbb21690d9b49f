// The timer's debug-output poll when the card has more text than one report holds, and the
// window title built from the card's status record.
#include <string>

#include "app/ids.h"
#include "devlink/frame.h"
#include "window_fixture.h"
#include "../log/log_capture.h"

namespace kestrel {
namespace {

using sim::BoardModel;
using test::WindowTest;

class TimerEdges : public WindowTest {
 protected:
  // Debug-output fetches (input report 8) the card saw since `from`.
  size_t debug_fetches(const sim::SimCard& card, size_t from = 0) {
    const auto gets = card.reports_of(sim::ReportKind::InputGet);
    size_t n = 0;
    for (size_t i = from; i < gets.size(); ++i) n += gets[i][0] == RID_DEBUG_TEXT;
    return n;
  }
};

TEST_F(TimerEdges, FullDebugReportsAreFetchedInTheSameTick) {
  auto s = sim::make_scenario(BoardModel::TB610R_1CH);
  s.capabilities &= static_cast<uint8_t>(~(sim::CAP_ASYNC | sim::CAP_ASYNC_ALT));  // the window polls
  auto card = add(s);
  window().on_init_dialog();
  ASSERT_NE(list_.current, nullptr);

  // 730 bytes: reports of 240, 240, 240 and 10 bytes.
  std::string text;
  for (int i = 0; text.size() < 730; ++i) text += "line " + std::to_string(i) + " of the card's boot log\r\n";
  text.resize(728);
  text += "\r\n";
  card->queue_polled_text(text);

  test::LogCapture cap;
  const size_t before = card->reports_of(sim::ReportKind::InputGet).size();
  window().session().on_timer(CardSession::kTimerId);
  EXPECT_EQ(debug_fetches(*card, before), 4u);
  EXPECT_EQ(cap.text(), text);  // in order, byte for byte
  EXPECT_EQ(window().session().poll_period(), 0u);

  // The card has nothing more: the next tick fetches once, finds nothing and backs off a tick.
  const size_t next = card->reports_of(sim::ReportKind::InputGet).size();
  window().session().on_timer(CardSession::kTimerId);
  EXPECT_EQ(debug_fetches(*card, next), 1u);
  EXPECT_EQ(window().session().poll_period(), 1u);
  EXPECT_EQ(cap.text(), text);
}

// Both ways to the status record: boards 7 and 8 answer control code 6 with it, the others
// give it from the 176-byte work status.
class TitleFromStatus : public WindowTest, public ::testing::WithParamInterface<BoardModel> {};

TEST_P(TitleFromStatus, ShowsUsbStateIdleShareAndRunningTime) {
  const uint64_t plugged_at = clock_now_ns();
  auto card = add(GetParam());  // a card that is not busy reports idle 99.500 %
  window().on_init_dialog();
  ASSERT_NE(list_.current, nullptr);
  const uint64_t now = clock_now_ns();
  const uint64_t running = 123'456'000'000ull + 400'000;  // 123.456 s and a part of a millisecond
  ASSERT_LT(now, plugged_at + running);
  clock_.advance_ns(plugged_at + running - now);
  window().session().refresh_status_display();
  EXPECT_EQ(view_.title(), "KESTREL - usbd(12) idle 99.500% time 123.456s");

  // Busy: the idle share the card reports drops, and the title follows.
  card->update([](sim::Scenario& st) { st.busy = true; });
  clock_.advance_ns(1'000'000'000ull);
  window().session().refresh_status_display();
  EXPECT_EQ(view_.title(), "KESTREL - usbd(12) idle 42.250% time 124.456s");
}

INSTANTIATE_TEST_SUITE_P(Boards, TitleFromStatus, ::testing::Values(BoardModel::Meadow, BoardModel::TB610R_1CH),
                         [](const auto& info) { return info.param == BoardModel::Meadow ? "Meadow" : "TB610R"; });

}  // namespace
}  // namespace kestrel
