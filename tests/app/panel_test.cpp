#include <algorithm>

#include "app/ids.h"
#include "devlink/commands.h"
#include "res/ui_text.h"
#include "window_fixture.h"
#include "../log/log_capture.h"

namespace kestrel {
namespace {

using test::WindowTest;
using sim::BoardModel;

class PanelTest : public WindowTest {
 protected:
  std::shared_ptr<sim::SimCard> attach(sim::Scenario s) {
    auto card = add(std::move(s));
    window().on_init_dialog();
    card->clear_reports();
    return card;
  }
};

TEST_F(PanelTest, DefaultSizeIndexIsStoredInConfigByte1) {
  auto card = attach(sim::make_scenario(BoardModel::TB610R_1CH));  // no list of its own: the built-in one
  ASSERT_EQ(view_.item_text(ids::DEFAULT_SIZE_LIST, 8), "1280 X 720 :8");
  view_.select(ids::DEFAULT_SIZE_LIST, 8);
  window().on_command(ids::DEFAULT_SIZE_LIST);
  const auto puts = payloads_of(*card, CMD_CONFIG_PUT);
  ASSERT_EQ(puts.size(), 1u);
  EXPECT_EQ(puts[0][1], 8);
  EXPECT_EQ(view_.messages.back(), ui_text[35]);

  card->clear_reports();
  view_.select(ids::DEFAULT_SIZE_LIST, 0);  // "NONE"
  window().on_command(ids::DEFAULT_SIZE_LIST);
  EXPECT_TRUE(card->reports().empty());
  EXPECT_EQ(view_.messages.back(), ui_text[33]);
}

TEST_F(PanelTest, BoardWithoutPortListShowsOneDisabledNone) {
  attach(sim::make_scenario(BoardModel::TB610M_1CH));
  for (int i = 0; i < 2; ++i) {
    window().session().fill_video_lists();
    EXPECT_EQ(view_.item_count(ids::OUTPUT_PORT_LIST), 1);
    EXPECT_EQ(view_.item_text(ids::OUTPUT_PORT_LIST, 0), "NONE");
    EXPECT_FALSE(view_.enabled(ids::OUTPUT_PORT_LIST));
  }
}

TEST_F(PanelTest, MeadowPortListAndSwitch) {
  auto card = attach(sim::make_scenario(BoardModel::Meadow));
  EXPECT_EQ(view_.item_count(ids::OUTPUT_PORT_LIST), 3);
  EXPECT_TRUE(view_.enabled(ids::OUTPUT_PORT_LIST));
  view_.select(ids::OUTPUT_PORT_LIST, 2);
  window().on_command(ids::OUTPUT_PORT_LIST);
  const auto x = payloads_of(*card, CMD_BUS_XFER);
  ASSERT_EQ(x.size(), 1u);
  EXPECT_EQ(x[0], (std::vector<uint8_t>{6, 2, 0, 0, 0, 0, 0, 0}));
}

TEST_F(PanelTest, LockingAnUnknownInputSendsNothing) {
  auto card = attach(sim::make_scenario(BoardModel::TB610K_1CH));  // inputs HDMI, unknow, SDI
  view_.select(ids::INPUT_LIST, 1);
  const std::string before = view_.text(ids::BTN_LOCK);
  window().on_command(ids::BTN_LOCK);
  EXPECT_TRUE(card->reports().empty());
  EXPECT_EQ(view_.text(ids::BTN_LOCK), before);
  EXPECT_FALSE(window().session().input_locked());
}

TEST_F(PanelTest, LockAndUnlockSendTheirBlocks) {
  auto card = attach(sim::make_scenario(BoardModel::Meadow));
  view_.select(ids::INPUT_LIST, 1);
  window().on_command(ids::BTN_LOCK);
  EXPECT_TRUE(window().session().input_locked());
  EXPECT_EQ(view_.text(ids::BTN_LOCK), ui_text[15]);
  EXPECT_FALSE(view_.enabled(ids::INPUT_LIST));
  window().on_command(ids::BTN_LOCK);
  EXPECT_FALSE(window().session().input_locked());
  const auto blocks = payloads_of(*card, CMD_UPDATE);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0], (std::vector<uint8_t>{0x41, 0x80, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(blocks[1], (std::vector<uint8_t>{0x81, 0x80, 7, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(PanelTest, ColourButtonsOnlyShowTheCardsFormat) {
  auto s = sim::make_scenario(BoardModel::Meadow);
  s.color_format = 0;  // RGB24
  attach(s);
  view_.set_check(ids::RADIO_YUV2, true);
  window().on_command(ids::RADIO_YUV2);
  EXPECT_TRUE(view_.checked(ids::RADIO_RGB24));
  EXPECT_FALSE(view_.checked(ids::RADIO_YUV2));
}

TEST_F(PanelTest, DebugModeSwitchSequence) {
  auto card = attach(sim::make_scenario(BoardModel::Meadow));
  // Put the card's debug mode on, so that it answers 1 to the first query.
  uint8_t page[4096];
  ASSERT_EQ(window().card().link().hid_send_command(0x11, page), 1);
  card->clear_reports();
  for (int i = 0; i < 3; ++i) window().on_command(32812);
  std::vector<uint8_t> codes;
  for (const auto& p : payloads_of(*card, CMD_CONTROL)) codes.push_back(p[0]);
  EXPECT_EQ(codes, (std::vector<uint8_t>{0x12, 0x10, 0x11}));
  EXPECT_EQ(window().card().debug_mode(), 1);
}

TEST_F(PanelTest, StatusDisplayTitleLabelAndHoldBox) {
  auto s = sim::make_scenario(BoardModel::Meadow);
  s.signal = true;
  s.width = 1920;
  s.height = 1080;
  s.frame_rate = 60;
  s.interlaced = false;
  s.scanning = true;
  auto card = attach(s);
  window().session().refresh_status_display();
  EXPECT_EQ(view_.text(ids::FORMAT_LABEL), "1920X1080 60f/s progressive");
  EXPECT_FALSE(view_.checked(ids::HOLD_BOX));
  EXPECT_EQ(view_.text(ids::HOLD_BOX), ui_text[4]);
  EXPECT_EQ(view_.title().rfind("KESTREL - usbd(", 0), 0u);

  card->update([](sim::Scenario& st) {
    st.signal = false;
    st.scanning = false;
  });
  window().session().refresh_status_display();
  EXPECT_EQ(view_.text(ids::FORMAT_LABEL), std::string(" ") + ui_text[1] + " input(0)");
  EXPECT_TRUE(view_.checked(ids::HOLD_BOX));
  EXPECT_EQ(view_.text(ids::HOLD_BOX), ui_text[5]);
}

TEST_F(PanelTest, StatusRefreshCommandDoesNothingWhileLocked) {
  auto card = attach(sim::make_scenario(BoardModel::Meadow));
  window().card().set_download_lock(1);
  card->clear_reports();
  test::LogCapture cap;
  window().on_command(ids::ID_STATUS_REFRESH);
  EXPECT_TRUE(card->reports().empty());
  EXPECT_EQ(cap.text(), "");
}

TEST_F(PanelTest, TimerPollBacksOffOneTickPerEmptyAnswer) {
  auto s = sim::make_scenario(BoardModel::TB610R_1CH);
  s.capabilities &= static_cast<uint8_t>(~(sim::CAP_ASYNC | sim::CAP_ASYNC_ALT));
  auto card = attach(s);
  std::vector<int> fetch_ticks;
  for (int tick = 1; tick <= 90; ++tick) {
    const size_t before = card->reports_of(sim::ReportKind::InputGet).size();
    window().session().debug_output_poll();
    const auto gets = card->reports_of(sim::ReportKind::InputGet);
    for (size_t i = before; i < gets.size(); ++i)
      if (gets[i][0] == 8) fetch_ticks.push_back(tick);
  }
  // Fetches after 1, 2, 3, ... 10 ticks, then every 10.
  ASSERT_GE(fetch_ticks.size(), 12u);
  std::vector<int> gaps;
  for (size_t i = 1; i < fetch_ticks.size(); ++i) gaps.push_back(fetch_ticks[i] - fetch_ticks[i - 1]);
  EXPECT_EQ(std::vector<int>(gaps.begin(), gaps.begin() + 10), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(gaps[10], 10);
}

TEST_F(PanelTest, NoCardMeansTicksDoNothing) {
  window().on_init_dialog();
  const std::string title = view_.title();
  for (int i = 0; i < 300; ++i) {
    clock_.advance_ns(10'000'000);
    window().session().on_timer(CardSession::kTimerId);
  }
  EXPECT_EQ(view_.title(), title);
}

}  // namespace
}  // namespace kestrel
