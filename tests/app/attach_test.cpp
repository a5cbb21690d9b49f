#include <algorithm>
#include <cstring>

#include "app/ids.h"
#include "boards/registry.h"
#include "devlink/commands.h"
#include "window_fixture.h"

namespace kestrel {
namespace {

using test::WindowTest;
using sim::BoardModel;

bool contains(const std::vector<uint8_t>& v, uint8_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }

TEST_F(WindowTest, StatusReportCardGetsFlag04AndNoCommand4) {
  auto s = sim::make_scenario(BoardModel::Meadow);
  s.feature_event = true;
  s.capabilities = sim::CAP_STATUS_RPT | sim::CAP_ECHO2;
  auto card = add(s);
  window().session().board_scan();
  ASSERT_NE(list_.current, nullptr);
  EXPECT_EQ(list_.current->link_flags & (QHIDEV_F_STATUS_RPT | QHIDEV_F_STATUS_CMD | QHIDEV_F_STATUS_FAIL), QHIDEV_F_STATUS_RPT);
  EXPECT_FALSE(contains(test::WindowTest::commands_sent(*card), CMD_BOARD_STATUS));
  EXPECT_TRUE(window().card().status_valid());
  EXPECT_STREQ(window().card().registry()->current->name, "meadow");
}

TEST_F(WindowTest, CardWithoutFeatureReportLearnsEchoThenReadsStatusByCommand) {
  auto s = sim::make_scenario(BoardModel::TB610R_1CH);
  s.feature_event = false;
  auto card = add(s);
  window().session().board_scan();
  ASSERT_NE(list_.current, nullptr);
  const uint16_t f = list_.current->link_flags;
  EXPECT_TRUE(f & QHIDEV_F_ECHO2);
  EXPECT_TRUE(f & QHIDEV_F_STATUS_CMD);
  EXPECT_FALSE(f & QHIDEV_F_STATUS_FAIL);
  const auto cmds = commands_sent(*card);
  // The event query comes before the status read.
  auto ev = std::find(cmds.begin(), cmds.end(), CMD_BOARD_EVENT);
  auto st = std::find(cmds.begin(), cmds.end(), CMD_BOARD_STATUS);
  ASSERT_NE(ev, cmds.end());
  ASSERT_NE(st, cmds.end());
  EXPECT_LT(ev - cmds.begin(), st - cmds.begin());
  EXPECT_EQ(payloads_of(*card, CMD_BOARD_STATUS).front(), std::vector<uint8_t>{1});  // attach asks with byte 1
  EXPECT_STREQ(window().card().registry()->current->name, "TB610R-1CH");
  EXPECT_TRUE(window().card().status_valid());
}

TEST_F(WindowTest, FailingStatusQueryGivesFlag80AndLegacyRegisterReads) {
  auto s = sim::make_scenario(BoardModel::TB610K_1CH);
  s.feature_event = false;
  s.status_query = false;
  add(s);
  window().session().board_scan();
  ASSERT_NE(list_.current, nullptr);
  EXPECT_TRUE(list_.current->link_flags & QHIDEV_F_STATUS_FAIL);
  EXPECT_FALSE(window().card().status_valid());
}

TEST_F(WindowTest, ScanFillsListsAndShowsVersion) {
  auto s = sim::make_scenario(BoardModel::Meadow);
  s.firmware_version = "V2.3.1";
  s.input = 2;
  add(s);
  window().session().board_scan();
  EXPECT_EQ(view_.item_count(ids::CARD_LIST), 1);
  EXPECT_EQ(view_.selection(ids::CARD_LIST), 0);
  EXPECT_EQ(view_.item_text(ids::CARD_LIST, 0).rfind("USB Video - ", 0), 0u);
  EXPECT_EQ(view_.text(ids::VERSION_TEXT).rfind("V2.3.1", 0), 0u);
  EXPECT_EQ(view_.selection(ids::INPUT_LIST), 2);
  EXPECT_EQ(view_.item_count(ids::INPUT_LIST), 3);  // meadow: HDMI, SDI, LVDS
}

TEST_F(WindowTest, NoCardLeavesEmptyListWithoutSelection) {
  window().session().board_scan();
  EXPECT_EQ(view_.item_count(ids::CARD_LIST), 0);
  EXPECT_EQ(view_.selection(ids::CARD_LIST), -1);
  EXPECT_EQ(list_.current, nullptr);
}

TEST_F(WindowTest, VersionFieldRule) {
  struct Case {
    std::string text, shown;
  } cases[] = {{"meadow:  V1.2 FPGA:3", "V1.2 FPGA:3"}, {"no colon here", " no colon here"}, {"x:", ""}};
  for (const auto& c : cases) {
    uint8_t block[320] = {};
    std::memcpy(block + STATUS_TEXT, c.text.c_str(), c.text.size() + 1);
    window().session().show_version_text(block);
    EXPECT_EQ(view_.text(ids::VERSION_TEXT), c.shown) << c.text;
  }
}

TEST_F(WindowTest, InputSelectionMapping) {
  // The card answers feature report 7 with 0, 1 or 3 for inputs 0, 1 and 2.
  for (uint8_t in : {0, 1, 2}) {
    auto s = sim::make_scenario(BoardModel::Meadow);
    s.input = in;
    backend_.add_card(s);
  }
  window().session().board_scan();
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(window().session().board_attach(i));
    uint8_t out = 0xEE;
    EXPECT_EQ(board_input_get(window().card().link(), &out), 0);
    EXPECT_EQ(out, i);
  }
}

TEST_F(WindowTest, ConfigWriteOfWholeNumberWritesOne) {
  auto card = add(BoardModel::Meadow);
  window().session().board_scan();
  card->clear_reports();
  uint8_t v[4] = {0, 5, 0, 0};
  ASSERT_TRUE(window().card().board_config(2, 4, v));
  const auto puts = payloads_of(*card, CMD_CONFIG_PUT);
  ASSERT_EQ(puts.size(), 1u);
  ASSERT_EQ(puts[0].size(), 32u);
  EXPECT_EQ(puts[0][0], 1);
  EXPECT_EQ(get_le32(puts[0].data() + 24), 0x12345678u);
  EXPECT_EQ(crc32_register(puts[0].data(), 32), 0u);  // the register runs to 0 over the sealed record
  // The write is framed by the window lock and the card's 0x21 / 0x20+r codes.
  const auto ctl = payloads_of(*card, CMD_CONTROL);
  ASSERT_GE(ctl.size(), 4u);
  EXPECT_EQ(ctl[0][0], 0x81);
  EXPECT_EQ(ctl[1][0], 0x21);
  EXPECT_EQ(ctl[ctl.size() - 1][0], 0x80);
  EXPECT_TRUE(card->state().half_frame_rate);
  EXPECT_FALSE(window().card().download_locked());
  // Writing the value the card already holds sends nothing.
  card->clear_reports();
  EXPECT_TRUE(window().card().board_config(2, 1, v + 1));
  EXPECT_TRUE(payloads_of(*card, CMD_CONFIG_PUT).empty());
}

TEST_F(WindowTest, ReselectingCurrentCardDoesNothing) {
  auto card = add(BoardModel::Meadow);
  window().session().board_scan();
  card->clear_reports();
  EXPECT_TRUE(window().session().board_attach(0));
  EXPECT_TRUE(card->reports().empty());
}

TEST_F(WindowTest, RefusedConfigWriteStillRestoresAndUnlocks) {
  auto s = sim::make_scenario(BoardModel::Meadow);
  s.faults.at(sim::StepKind::Command, CMD_CONFIG_PUT, sim::Fault::Refuse);
  auto card = add(s);
  window().session().board_scan();
  card->clear_reports();
  uint8_t v = 1;
  EXPECT_FALSE(window().card().board_config(2, 1, &v));
  const auto ctl = payloads_of(*card, CMD_CONTROL);
  ASSERT_GE(ctl.size(), 2u);
  EXPECT_EQ(ctl.back()[0], 0x80);
  EXPECT_FALSE(window().card().download_locked());
}

}  // namespace
}  // namespace kestrel
