// The video property dialog against the simulated card: what it sends at opening, on the
// 200 ms tick, at OK, Cancel, Revert and Default, and for the audio policy.
#include <memory>

#include "card/property_editor.h"
#include "devlink/commands.h"
#include "devlink/frame.h"
#include "window_fixture.h"

namespace kestrel {
namespace {

using namespace propdlg;
using sim::BoardModel;
using test::WindowTest;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t SB_THUMBTRACK = 5;

class PropDialogTest : public WindowTest {
 protected:
  std::shared_ptr<sim::SimCard> attach(sim::Scenario s) {
    card_ = add(std::move(s));
    window().on_init_dialog();
    card_->clear_reports();
    return card_;
  }
  std::shared_ptr<sim::SimCard> attach() { return attach(sim::make_scenario(BoardModel::Meadow)); }
  // Opening as button 1500 does it; the dialog's widgets exist only when the card answered.
  bool open() {
    dlg_ = std::make_unique<PropertyEditor>(window().card());
    if (!dlg_->open()) return false;
    dlg_->on_init_dialog(pv_);
    return true;
  }
  void move(uint32_t track, int pos) {
    pv_.set_pos(track, pos);
    dlg_->on_scroll(track, SB_THUMBTRACK);
  }
  void tick() {
    clock_.advance_ns(200'000'000);
    dlg_->on_timer(TIMER_ID);
  }
  Bytes policy_request(uint8_t write, uint8_t code) {
    Bytes b(16, 0);
    put_le32(b.data(), MAGIC_ZHHH);
    b[4] = 1;
    b[5] = write;
    b[12] = code;
    return b;
  }
  std::vector<Bytes> prop_writes() { return payloads_of(*card_, CMD_PROP_BLOCK); }

  std::shared_ptr<sim::SimCard> card_;
  MemoryPropView pv_;
  std::unique_ptr<PropertyEditor> dlg_;
};

TEST_F(PropDialogTest, OpeningReadsPolicyThenPropertiesWithTheZeroBlock) {
  attach();
  ASSERT_TRUE(open());
  EXPECT_EQ(commands_sent(*card_), (Bytes{CMD_VIDEO_PROP, CMD_PROP_BLOCK}));
  EXPECT_EQ(payloads_of(*card_, CMD_VIDEO_PROP)[0], policy_request(0, 0));
  EXPECT_EQ(prop_writes()[0], Bytes(32, 0));
  EXPECT_EQ(pv_.timers.at(TIMER_ID), 200u);
  EXPECT_EQ(pv_.at(POLICY_LIST).items.size(), 12u);
  EXPECT_EQ(pv_.at(POLICY_LIST).items[4], "00 HDMI");
  EXPECT_EQ(pv_.at(POLICY_LIST).items[11], "07 raw");
  // The card's own values: contrast 128 at the default of the simulated card.
  EXPECT_EQ(pv_.at(1801).text, "128");
  EXPECT_EQ(pv_.pos(1601), 128);
  EXPECT_TRUE(pv_.at(1611).enabled);
}

TEST_F(PropDialogTest, NothingShownWhenThePropertyReadFails) {
  auto s = sim::make_scenario(BoardModel::Meadow);
  s.faults.at(sim::StepKind::Command, CMD_PROP_BLOCK, sim::Fault::DropAnswer);
  attach(std::move(s));
  EXPECT_FALSE(open());
  EXPECT_TRUE(pv_.timers.empty());
  EXPECT_EQ(pv_.at(POLICY_LIST).items.size(), 0u);
}

TEST_F(PropDialogTest, OfferMask3FDisablesTheGainAndGfeRows) {
  auto s = sim::make_scenario(BoardModel::Meadow);
  s.prop_offer_mask = 0x3F;
  attach(std::move(s));
  ASSERT_TRUE(open());
  for (uint32_t t = 1600; t <= 1611; ++t) {
    const bool offered = t <= 1605;
    SCOPED_TRACE(t);
    EXPECT_EQ(pv_.at(t).enabled, offered);
    EXPECT_EQ(pv_.at(t + 100).enabled, offered);
    EXPECT_EQ(pv_.at(t + 200).enabled, offered);
    EXPECT_EQ(pv_.at(t + 200).text.empty(), !offered);
  }
  for (uint32_t t = 1606; t <= 1611; ++t) EXPECT_EQ(pv_.pos(t), 0) << t;
  EXPECT_EQ(pv_.at(1610).hi, 32767);
  EXPECT_EQ(pv_.at(1611).hi, 700);
  EXPECT_EQ(pv_.at(1600).lo, -128);
}

TEST_F(PropDialogTest, MovesWithinOneTickGoInOneBlock) {
  attach();
  ASSERT_TRUE(open());
  card_->clear_reports();
  move(1600, -10);
  move(1600, -20);
  EXPECT_TRUE(card_->reports().empty()) << "nothing goes out before the tick";
  EXPECT_EQ(pv_.at(1800).text, "-20");
  tick();
  auto w = prop_writes();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(get_le16(w[0].data()), 0x0001);
  EXPECT_EQ(w[0][2], 0xEC);
  EXPECT_TRUE(dlg_->applied());

  // Nothing changed since: the next tick is silent. A position equal to the field is no change.
  card_->clear_reports();
  move(1600, -20);
  tick();
  EXPECT_TRUE(card_->reports().empty());

  // Brightness and a gain in one tick: one block, both bits, the gain little-endian.
  move(1600, 5);
  move(1609, 0x1234);
  move(1611, 650);
  tick();
  w = prop_writes();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(get_le16(w[0].data()), 0x00C1);
  EXPECT_EQ(w[0][2], 5);
  EXPECT_EQ(get_le16(w[0].data() + 18), 0x1234);
  EXPECT_EQ(get_le32(w[0].data() + 24) & 0xFFF, 650u);
}

TEST_F(PropDialogTest, DisabledRowsAndForeignIdsAreIgnored) {
  attach();
  ASSERT_TRUE(open());
  card_->clear_reports();
  move(1606, 50);
  move(1607, 50);
  EXPECT_TRUE(dlg_->on_scroll(1614, SB_THUMBTRACK));
  EXPECT_FALSE(dlg_->on_scroll(1617, SB_THUMBTRACK));
  EXPECT_FALSE(dlg_->on_timer(101));
  tick();
  EXPECT_TRUE(card_->reports().empty());
}

TEST_F(PropDialogTest, OkRightAfterAMoveWritesThenStores) {
  attach();
  ASSERT_TRUE(open());
  card_->clear_reports();
  move(1601, 200);
  dlg_->on_ok();
  EXPECT_EQ(commands_sent(*card_), (Bytes{CMD_PROP_BLOCK, CMD_UPDATE}));
  EXPECT_EQ(get_le16(prop_writes()[0].data()), 0x0002);
  EXPECT_EQ(prop_writes()[0][3], 200);
  const Bytes store = payloads_of(*card_, CMD_UPDATE)[0];
  EXPECT_EQ(get_le16(store.data()), 0x8001);
  EXPECT_EQ(pv_.result, static_cast<int>(IDOK));
  EXPECT_TRUE(pv_.timers.empty());
}

TEST_F(PropDialogTest, OkWithoutChangesWritesAndStoresNothing) {
  attach();
  ASSERT_TRUE(open());
  card_->clear_reports();
  dlg_->on_ok();
  EXPECT_TRUE(card_->reports().empty());
  EXPECT_EQ(pv_.result, static_cast<int>(IDOK));
}

TEST_F(PropDialogTest, CancelWritesTheInitialBlockBackOnlyWhenApplied) {
  attach();
  ASSERT_TRUE(open());
  const Bytes initial(dlg_->initial().begin(), dlg_->initial().end());
  card_->clear_reports();
  dlg_->on_cancel();
  EXPECT_TRUE(card_->reports().empty()) << "Cancel without changes writes nothing";
  EXPECT_EQ(pv_.result, static_cast<int>(IDCANCEL));

  pv_.result = 0;
  ASSERT_TRUE(open());
  move(1602, 30);
  tick();
  card_->clear_reports();
  dlg_->on_cancel();
  const auto w = prop_writes();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0], initial) << "every offered group with its first value";
  EXPECT_EQ(get_le16(w[0].data()), 0x00FF);
  EXPECT_EQ(commands_sent(*card_), Bytes{CMD_PROP_BLOCK}) << "Cancel does not store";
}

TEST_F(PropDialogTest, DefaultTakesTheCardsDefaults) {
  attach();
  ASSERT_TRUE(open());
  card_->clear_reports();
  dlg_->on_default();
  EXPECT_EQ(commands_sent(*card_), Bytes{CMD_VIDEO_STATE});
  EXPECT_EQ(pv_.at(1804).text, "32");   // the simulated card's sharpness, not the built-in 40
  EXPECT_EQ(pv_.at(1811).text, "100");
  tick();
  const auto w = prop_writes();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(get_le16(w[0].data()), 0x00FF);
  EXPECT_EQ(w[0][6], 32);
}

TEST_F(PropDialogTest, DefaultRefusedUsesTheBuiltInDefaults) {
  auto s = sim::make_scenario(BoardModel::Meadow);
  s.faults.at(sim::StepKind::Command, CMD_VIDEO_STATE, sim::Fault::Refuse);
  attach(std::move(s));
  ASSERT_TRUE(open());
  card_->clear_reports();
  dlg_->on_default();
  tick();
  const auto w = prop_writes();
  ASSERT_EQ(w.size(), 1u);
  const Bytes& b = w[0];
  EXPECT_EQ(b[2], 0);
  EXPECT_EQ(b[3], 128);
  EXPECT_EQ(b[4], 0);
  EXPECT_EQ(b[5], 128);
  EXPECT_EQ(b[6], 40);
  EXPECT_EQ(b[7], 160);
  for (size_t off : {16u, 18u, 20u}) EXPECT_EQ(get_le16(b.data() + off), 0x4000) << off;
  EXPECT_EQ(get_le32(b.data() + 24) & 0xFFF, 120u);
}

TEST_F(PropDialogTest, PolicyAtOpeningRevertAndNoResend) {
  auto s = sim::make_scenario(BoardModel::Meadow);
  s.audio_policy = 0x81;
  attach(std::move(s));
  ASSERT_TRUE(open());
  EXPECT_EQ(pv_.selection(POLICY_LIST), 5);
  EXPECT_EQ(pv_.at(POLICY_LIST).items[5], "01 raw");

  card_->clear_reports();
  dlg_->on_command(POLICY_LIST);  // the current one: nothing
  EXPECT_TRUE(card_->reports().empty());

  pv_.select(POLICY_LIST, 0);  // "Mute"
  dlg_->on_command(POLICY_LIST);
  EXPECT_EQ(payloads_of(*card_, CMD_VIDEO_PROP), (std::vector<Bytes>{policy_request(1, 0)}));
  EXPECT_EQ(card_->state().audio_policy, 0);

  card_->clear_reports();
  dlg_->on_command(BTN_REVERT);
  EXPECT_EQ(payloads_of(*card_, CMD_VIDEO_PROP), (std::vector<Bytes>{policy_request(1, 0x81)}));
  EXPECT_EQ(card_->state().audio_policy, 0x81);
  EXPECT_EQ(dlg_->current_policy(), 5);
}

TEST_F(PropDialogTest, PolicyWriteCountsWhenTheExchangeIsAccepted) {
  auto s = sim::make_scenario(BoardModel::Meadow);
  // The read at opening and the first write arrive broken (and so does the host's refetch).
  s.faults.at(sim::StepKind::Command, CMD_VIDEO_PROP, sim::Fault::CorruptChecksum, 2, 1500, 2);
  attach(std::move(s));
  ASSERT_TRUE(open());
  ASSERT_EQ(dlg_->current_policy(), 1);
  pv_.select(POLICY_LIST, 2);
  dlg_->on_command(POLICY_LIST);
  EXPECT_EQ(dlg_->current_policy(), 1);  // no accepted exchange: the policy did not change
  // An accepted answer is a done write, whatever its valid byte (byte 5) says.
  card_->override_answer(CMD_VIDEO_PROP, policy_request(0, 1));
  card_->clear_reports();
  dlg_->on_command(POLICY_LIST);  // the same pick again is still a change
  EXPECT_EQ(payloads_of(*card_, CMD_VIDEO_PROP), (std::vector<Bytes>{policy_request(1, 2)}));
  EXPECT_EQ(dlg_->current_policy(), 2);
}

TEST_F(PropDialogTest, DefaultSetsPolicyOneWhenAnotherIsCurrent) {
  auto s = sim::make_scenario(BoardModel::Meadow);
  s.audio_policy = 0x83;
  attach(std::move(s));
  ASSERT_TRUE(open());
  card_->clear_reports();
  dlg_->on_default();
  EXPECT_EQ(commands_sent(*card_), (Bytes{CMD_VIDEO_STATE, CMD_VIDEO_PROP}));
  EXPECT_EQ(payloads_of(*card_, CMD_VIDEO_PROP)[0], policy_request(1, 1));
  EXPECT_EQ(dlg_->current_policy(), 1);
  EXPECT_EQ(pv_.selection(POLICY_LIST), 7) << "the list keeps what it showed";
}

TEST_F(PropDialogTest, PolicyCodeOutsideTheListKeepsIndexOne) {
  attach();
  Bytes odd = policy_request(1, 0x90);  // valid byte set, a code past "07 raw"
  card_->override_answer(CMD_VIDEO_PROP, odd);
  ASSERT_TRUE(open());
  EXPECT_EQ(pv_.selection(POLICY_LIST), 1);
  EXPECT_EQ(dlg_->current_policy(), 1);
}

TEST_F(PropDialogTest, PolicyReadFailureStartsAtIndexOne) {
  auto s = sim::make_scenario(BoardModel::Meadow);
  s.audio_policy = 3;
  s.faults.at(sim::StepKind::Command, CMD_VIDEO_PROP, sim::Fault::CorruptChecksum);
  attach(std::move(s));
  ASSERT_TRUE(open());
  EXPECT_EQ(pv_.selection(POLICY_LIST), 1);
}

TEST_F(PropDialogTest, PolicyCodeMapping) {
  for (uint8_t i = 0; i < 12; ++i) EXPECT_EQ(policy_index_of_code(policy_code_of_index(i)), i);
  EXPECT_EQ(policy_code_of_index(3), 3);
  EXPECT_EQ(policy_code_of_index(4), 0x80);
  EXPECT_EQ(policy_code_of_index(11), 0x87);
}

}  // namespace
}  // namespace kestrel
