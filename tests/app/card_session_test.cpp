// A session driven with no view at all, as kestrelctl drives it, and the window over a session of
// its own: both send the card the same bytes, and the window's controls show what the session
// holds.
#include <algorithm>

#include "card/card_session.h"
#include "app/ids.h"
#include "devlink/commands.h"
#include "res/ui_text.h"
#include "window_fixture.h"

namespace kestrel {
namespace {

using sim::BoardModel;
using test::WindowTest;

// Every output report except the command-5 notice, whose last word is the front end's own
// address (a token the card only hands back).
std::vector<std::vector<uint8_t>> wire(const sim::SimCard& card) {
  std::vector<std::vector<uint8_t>> out;
  for (const auto& r : card.reports_of(sim::ReportKind::Output))
    if (r.empty() || r[0] != 5) out.push_back(r);
  return out;
}

class CardSessionTest : public WindowTest {
 protected:
  // The card attached with no front end: the same start as the window's.
  CardSession& bare() {
    if (!bare_) {
      bare_ = std::make_unique<CardSession>(list_);
      bare_->init();
    }
    return *bare_;
  }
  void TearDown() override {
    bare_.reset();
    WindowTest::TearDown();
  }
  std::unique_ptr<CardSession> bare_;
};

TEST_F(CardSessionTest, SettingsReachTheCardWithNoViewAndShowInTheSnapshot) {
  auto card = add(BoardModel::Meadow);
  CardSession& c = bare();
  CardSnapshot s = c.snapshot();
  EXPECT_EQ(s.board, "meadow");
  EXPECT_FALSE(s.version.empty());
  ASSERT_GE(s.inputs.size(), 2u);
  EXPECT_EQ(s.output_ports.size(), 3u);
  EXPECT_TRUE(s.output_port_choice);
  EXPECT_FALSE(s.signal_format.empty());
  EXPECT_EQ(s.title.rfind("KESTREL - usbd(", 0), 0u) << s.title;

  card->clear_reports();
  ASSERT_TRUE(c.set_hold(true, 1));
  ASSERT_TRUE(c.lock_input(1));
  ASSERT_TRUE(c.lock_input(1)) << "already locked: nothing more goes to the card";
  const auto blocks = test::WindowTest::payloads_of(*card, CMD_UPDATE);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0], (std::vector<uint8_t>{0x41, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(blocks[1], (std::vector<uint8_t>{0x41, 0x80, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  s = c.snapshot();
  EXPECT_EQ(s.input, 1);
  EXPECT_EQ(s.input_name, s.inputs[1]);
  EXPECT_TRUE(s.input_held);
  EXPECT_TRUE(s.input_locked);
}

TEST_F(CardSessionTest, DefaultSizeOutcomesAreTyped) {
  auto card = add(BoardModel::TB610R_1CH);
  CardSession& c = bare();
  const auto& sizes = c.shown().default_sizes;
  const auto at = std::find(sizes.begin(), sizes.end(), "1280 X 720 :8");
  ASSERT_NE(at, sizes.end());
  card->clear_reports();
  EXPECT_EQ(c.set_default_size(static_cast<int>(at - sizes.begin())), DefaultSizeResult::Stored);
  const auto puts = payloads_of(*card, CMD_CONFIG_PUT);
  ASSERT_EQ(puts.size(), 1u);
  EXPECT_EQ(puts[0][1], 8);
  EXPECT_EQ(c.snapshot().default_size, "1280 X 720 :8");

  // "NONE" and an index past the list name no size: nothing goes to the card.
  card->clear_reports();
  EXPECT_EQ(c.set_default_size(0), DefaultSizeResult::NoSize);
  EXPECT_EQ(c.set_default_size(9999), DefaultSizeResult::NoSize);
  EXPECT_TRUE(card->reports().empty());
}

// The same user actions through the window and through the bare card: the card sees the same
// requests in the same order, sequence bytes included.
TEST_F(CardSessionTest, WindowAndBareCardSendTheSameBytes) {
  auto by_window = add(BoardModel::Meadow);
  window().on_init_dialog();
  view_.select(ids::INPUT_LIST, 2);
  view_.set_check(ids::HOLD_BOX, true);
  window().on_command(ids::HOLD_BOX);
  window().on_command(ids::BTN_LOCK);
  view_.select(ids::OUTPUT_PORT_LIST, 1);
  window().on_command(ids::OUTPUT_PORT_LIST);
  view_.set_check(ids::HALF_RATE_BOX, true);
  window().on_command(ids::HALF_RATE_BOX);
  window().session().on_timer(CardSession::kTimerId);
  const auto window_wire = wire(*by_window);
  ASSERT_EQ(payloads_of(*by_window, CMD_UPDATE).size(), 2u);
  window_.reset();
  qhidev_release_all(list_);
  backend_.unplug(0);

  auto by_card = add(BoardModel::Meadow);
  CardSession& c = bare();
  c.set_hold(true, 2);
  c.lock_input(2);
  c.card().switch_output_port(1);
  c.set_half_rate(true);
  c.on_timer(CardSession::kTimerId);
  EXPECT_EQ(wire(*by_card), window_wire);
}

TEST_F(CardSessionTest, WindowShowsWhatTheCardHolds) {
  auto card = add(BoardModel::TB610K_1CH);  // inputs HDMI, unknow, SDI
  window().on_init_dialog();
  card->set_signal(true, 1280, 720, 50);
  clock_.advance_ns(2'000'000'000ull);
  window().session().on_timer(CardSession::kTimerId);
  const CardSnapshot s = window().session().snapshot();
  EXPECT_EQ(view_.text(ids::VERSION_TEXT), s.version);
  EXPECT_EQ(view_.text(ids::FORMAT_LABEL), s.signal_format);
  EXPECT_NE(s.signal_format.find("1280X720"), std::string::npos) << s.signal_format;
  EXPECT_EQ(view_.title(), s.title);
  EXPECT_EQ(view_.selection(ids::INPUT_LIST), s.input);
  ASSERT_EQ(view_.item_count(ids::INPUT_LIST), static_cast<int>(s.inputs.size()));
  for (size_t i = 0; i < s.inputs.size(); ++i) EXPECT_EQ(view_.item_text(ids::INPUT_LIST, static_cast<int>(i)), s.inputs[i]);
  EXPECT_EQ(s.input_usable, (std::vector<bool>{true, false, true}));
  EXPECT_EQ(view_.selection(ids::DEFAULT_SIZE_LIST) >= 0 ? view_.item_text(ids::DEFAULT_SIZE_LIST, view_.selection(ids::DEFAULT_SIZE_LIST)) : "",
            s.default_size);
  EXPECT_EQ(view_.enabled(ids::OUTPUT_PORT_LIST), s.output_port_choice);

  // A choice the user makes in a list is the card's choice from then on.
  view_.select(ids::DEFAULT_SIZE_LIST, 3);
  window().on_command(ids::DEFAULT_SIZE_LIST);
  EXPECT_EQ(window().session().snapshot().default_size, view_.item_text(ids::DEFAULT_SIZE_LIST, 3));
}

}  // namespace
}  // namespace kestrel
