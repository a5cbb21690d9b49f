// The host's transactions against the simulated card: every command of the catalogue passes, and
// the card's report log holds exactly the bytes the host sent.
#include <gtest/gtest.h>

#include <vector>

#include "devlink/board_records.h"
#include "devlink/commands.h"
#include "devlink/hid_link.h"
#include "support/sim_fixture.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::ReportKind;

Bytes padded(std::initializer_list<uint8_t> head, size_t size) {
  Bytes b(head);
  b.resize(size, 0);
  return b;
}

TEST(SimRequests, ControlCodeRequestBytes) {
  test::SimFixture f;
  f.link.hid_seq = 4;
  EXPECT_EQ(f.link.hid_send_command(CTRL_DL_LOCK, f.page()), 1);
  const auto out = f.card->reports_of(ReportKind::Output);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], padded({0x0B, 0x05, 0x07, 0x00, 0x01, 0x00, 0x6B, 0xFA, 0x81}, 265));
  const auto gets = f.card->reports_of(ReportKind::InputGet);
  ASSERT_EQ(gets.size(), 1u);
  EXPECT_EQ(gets[0], padded({0x09}, 265));
}

TEST(SimRequests, AsyncActionRequestBytes) {
  test::SimFixture f;
  EXPECT_TRUE(f.link.send_async(24, f.page()));
  const auto out = f.card->reports_of(ReportKind::Output);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], padded({0x0B, 0x01, 0x0B, 0x00, 0x04, 0x00, 0xCD, 0xFE, 0x18, 0x00, 0x00, 0x00}, 265));
  EXPECT_TRUE(f.card->reports_of(ReportKind::InputGet).empty());
  EXPECT_EQ(f.card->async_actions(), std::vector<uint32_t>{24});
  EXPECT_TRUE(f.card->async_requested());
}

TEST(SimRequests, EventQueryShortRequestBytes) {
  test::SimFixture f;
  f.link.hid_seq = 0x21;
  Answer a;
  ASSERT_TRUE(f.link.transact_short(CMD_BOARD_EVENT, CMD_EVENT_SUB, nullptr, 0, 24, f.page(), a));
  EXPECT_EQ(a.len, 24);
  const auto out = f.card->reports_of(ReportKind::Output);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], padded({0x0A, 0x22, 0x01, 0x18, 0x00, 0x00, 0xF4, 0xC5}, 63));
  // The event query's own test: bytes 0..3 are 9, s, 1, 24 exactly.
  EXPECT_EQ(Bytes(f.pages.begin(), f.pages.begin() + 4), (Bytes{9, 0x22, 1, 24}));
}

TEST(SimRequests, NotificationRequestBytes) {
  test::SimFixture f;  // meadow: status report card, so the notification goes out
  f.link.hid_seq = 6;
  ASSERT_TRUE(f.link.send_notify(3, 0, 0x1234));
  const auto out = f.card->reports_of(ReportKind::Output);
  ASSERT_EQ(out.size(), 1u);
  ASSERT_EQ(out[0].size(), 63u);
  EXPECT_EQ(Bytes(out[0].begin(), out[0].begin() + 6), (Bytes{5, 7, 14, 0, 16, 0}));
  EXPECT_EQ(frame_csum(out[0].data(), 24), 0xFFFF);
  ASSERT_EQ(f.card->notifications().size(), 1u);
  EXPECT_EQ(f.card->notifications()[0], (std::array<uint32_t, 3>{3, 0, 0x1234}));
  EXPECT_TRUE(f.card->async_requested());
}

TEST(SimRequests, RegisterReadUsesItsOwnCounter) {
  test::SimFixture f;
  *f.link.reg_seq = 0x40;
  f.link.hid_seq = 9;
  const uint8_t rq[8] = {0x10, 0, 0x60, 0, 4, 0, 0, 0};
  Answer a;
  ASSERT_TRUE(f.link.transact_long(CMD_REG_READ, 0, rq, 8, 8, f.page(), a, f.link.reg_seq));
  const auto out = f.card->reports_of(ReportKind::Output);
  EXPECT_EQ(out.back()[1], 0x41);
  EXPECT_EQ(f.link.hid_seq, 9u);
  EXPECT_EQ(a.payload[7], 1);                 // read on the card
  EXPECT_EQ(get_le16(a.payload + 4), 4);      // count returned
  EXPECT_EQ(a.payload[8 + 3], 7);             // FPGA version word, top byte: board number
}

// One row per request form of the catalogue: the transaction passes on cards of every answer
// form, and the card took the request byte for byte.
struct CommandCase {
  const char* name;
  uint8_t cmd;
  uint8_t sub;
  bool short_form;
  Bytes payload;
  uint16_t min_len;
};

Bytes audio_block(uint8_t write, uint8_t policy) {
  Bytes b(16, 0);
  put_le32(b.data(), MAGIC_ZHHH);
  b[4] = 1;
  b[5] = write;
  b[12] = policy;
  return b;
}

Bytes config_record() {
  Bytes r(32, 0);
  r[0] = 1;
  r[1] = 8;
  put_le16(r.data() + 2, 32);
  put_le32(r.data() + 4, 0x12345678);
  put_le32(r.data() + 24, 0x12345678);
  put_le32(r.data() + 28, crc32_register(r.data(), 28));
  return r;
}

const CommandCase kCommands[] = {
    {"event", CMD_BOARD_EVENT, CMD_EVENT_SUB, true, {}, 24},
    {"debug_off", CMD_DBG_CONTROL, 1, true, {}, 4},
    {"debug_on", CMD_DBG_CONTROL, 2, true, {}, 4},
    {"debug_ask", CMD_DBG_CONTROL, 3, true, {}, 4},
    {"hdbc_read", CMD_HDBC_CONFIG, 0, false, {}, 8},
    {"hdbc_write", CMD_HDBC_CONFIG, 0, false, {1, 0, 1, 0, 0x10, 0, 0, 0}, 8},
    {"status_refresh", CMD_BOARD_STATUS, 0, false, {0}, 64},
    {"status_attach", CMD_BOARD_STATUS, 0, false, {1}, 64},
    {"work_status", CMD_WORK_STATUS, 0, false, {1}, 176},
    {"audio_read", CMD_VIDEO_PROP, 0, true, audio_block(0, 0), 16},
    {"audio_write", CMD_VIDEO_PROP, 0, true, audio_block(1, 0x81), 16},
    {"control", CMD_CONTROL, 0, false, {0x31}, 2},
    {"cyfxd_speed", CMD_CYFXD, 0, true, {1}, 0},
    {"cyfxd_tail_request", CMD_CYFXD_TAIL, 0, false, {1}, 0},
    {"update", CMD_UPDATE, 0, false, {0x41, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 2},
    {"prop_block", CMD_PROP_BLOCK, 0, false, Bytes(32, 0), 8},
    {"bus_long", CMD_BUS_XFER, 0, false, {0xA0, 1, 2, 3}, 4},
    {"defaults", CMD_VIDEO_STATE, 0, true, {}, 32},
    {"monitor", CMD_MONITOR, 0, false, Bytes(16, 0), 16},
    {"config_get", CMD_CONFIG_GET, 0, false, {}, 24},
};

class SimCommandTest : public ::testing::TestWithParam<std::tuple<CommandCase, const char*>> {};

TEST_P(SimCommandTest, PassesAndIsLoggedByteForByte) {
  const auto& [c, board] = GetParam();
  test::SimFixture f(board);
  f.link.hid_seq = 0x30;
  Answer a;
  const bool ok = c.short_form
                      ? f.link.transact_short(c.cmd, c.sub, c.payload.data(), c.payload.size(), c.min_len, f.page(), a)
                      : f.link.transact_long(c.cmd, c.sub, c.payload.data(), c.payload.size(), c.min_len, f.page(), a);
  ASSERT_TRUE(ok) << c.name << " on " << board;
  EXPECT_FALSE(a.refused());
  Bytes want(c.short_form ? 63 : 265, 0);
  frame_build(want.data(), c.short_form ? RID_SHORT_REQ : RID_LONG_REQ, 0x31, c.cmd, c.sub, c.payload.data(),
              static_cast<uint16_t>(c.payload.size()));
  const auto out = f.card->reports_of(ReportKind::Output);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], want);
  EXPECT_EQ(f.card->rejected_frames(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, SimCommandTest,
                         ::testing::Combine(::testing::ValuesIn(kCommands),
                                            ::testing::Values("meadow", "TB610R-1CH", "TB610K-1CH", "rw820c")),
                         [](const auto& info) {
                           std::string n = std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param);
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

TEST(SimRequests, OldCardAnswersWithTheCommandInByteZero) {
  auto s = *sim::make_scenario("TB610M-1CH");
  s.old_answers = true;
  test::SimFixture f(s);
  EXPECT_EQ(f.dev().link_flags & QHIDEV_F_ECHO2, 0);
  Answer a;
  const uint8_t one = 1;
  ASSERT_TRUE(f.link.transact_long(CMD_WORK_STATUS, 0, &one, 1, 176, f.page(), a));
  EXPECT_EQ(f.pages[0], CMD_WORK_STATUS);
  // The event query insists on report ID 9 in byte 0, so an old card never gains the echo flag.
  uint8_t ev[24];
  EXPECT_FALSE(board_event_query(f.link, ev));
}

TEST(SimRequests, DebugInformationComesInTwoAnswers) {
  for (const char* board : {"TB610R-1CH", "meadow"}) {
    test::SimFixture f(board);
    const uint8_t one = 1;
    Answer a;
    ASSERT_TRUE(f.link.transact_long(CMD_CYFXD, 0, &one, 1, 0, f.page(), a)) << board;
    const uint16_t head = a.len;
    ASSERT_TRUE(f.link.fetch_more(CMD_CYFXD_TAIL, f.link.last_seq(), 29, f.page(), a)) << board;
    EXPECT_EQ(head, std::string(board) == "meadow" ? 216 : 160);
    EXPECT_EQ(a.len, std::string(board) == "meadow" ? 232 : 257);
    // One request, two fetches.
    EXPECT_EQ(f.card->reports_of(ReportKind::Output).size(), 1u);
    EXPECT_EQ(f.card->reports_of(ReportKind::InputGet).size(), 2u);
    // A third fetch finds nothing.
    EXPECT_FALSE(f.link.hid_get(f.page()));
  }
}

TEST(SimRequests, ShortCyfxdCarriesTheLinkSpeed) {
  for (auto [board, speed] : {std::pair{"TB610K-1CH", 2}, std::pair{"TB610R-1CH", 3}}) {
    test::SimFixture f(board);
    const uint8_t one = 1;
    Answer a;
    ASSERT_TRUE(f.link.transact_short(CMD_CYFXD, 0, &one, 1, 0, f.page(), a));
    EXPECT_EQ(a.payload[3], speed) << board;
  }
}

TEST(SimRequests, ConfigurationWriteSequence) {
  test::SimFixture f;
  EXPECT_EQ(f.link.hid_send_command(CTRL_DL_LOCK, f.page()), 1);
  const int r = f.link.hid_send_command(CTRL_CFG_BEGIN, f.page());
  EXPECT_EQ(r, 0);  // the probe hold was off
  const Bytes rec = config_record();
  Answer a;
  ASSERT_TRUE(f.link.transact_long(CMD_CONFIG_PUT, 0, rec.data(), 32, 0, f.page(), a));
  EXPECT_FALSE(a.refused());
  EXPECT_EQ(f.link.hid_send_command(static_cast<uint8_t>(CTRL_CFG_END + r), f.page()), 1);
  EXPECT_EQ(f.link.hid_send_command(CTRL_DL_UNLOCK, f.page()), 1);
  EXPECT_TRUE(f.card->state().half_frame_rate);
  EXPECT_EQ(f.card->state().default_size, 8);
  // Read back: the record the card keeps, its CRC register running to 0.
  ASSERT_TRUE(f.link.transact_long(CMD_CONFIG_GET, 0, nullptr, 0, 24, f.page(), a));
  EXPECT_EQ(Bytes(a.payload, a.payload + 32), rec);
  // The status block shows the new default size as its place in the board's list: meadow's list
  // has no "NONE" first, so number 8 sits at place 7.
  ASSERT_TRUE(f.link.transact_long(CMD_BOARD_STATUS, 0, "\0", 1, 64, f.page(), a));
  EXPECT_EQ(f.card->state().model, sim::BoardModel::Meadow);
  EXPECT_EQ(a.payload[47], 7);
}

TEST(SimRequests, ConfigurationWriteRefused) {
  test::SimFixture f;
  Bytes rec = config_record();
  Answer a;
  // Outside a configuration session.
  ASSERT_TRUE(f.link.transact_long(CMD_CONFIG_PUT, 0, rec.data(), 32, 0, f.page(), a));
  EXPECT_TRUE(a.refused());
  // Inside one, with a broken CRC.
  ASSERT_EQ(f.link.hid_send_command(CTRL_CFG_BEGIN, f.page()), 0);
  rec[28] ^= 1;
  ASSERT_TRUE(f.link.transact_long(CMD_CONFIG_PUT, 0, rec.data(), 32, 0, f.page(), a));
  EXPECT_TRUE(a.refused());
  EXPECT_FALSE(f.card->state().half_frame_rate);
}

TEST(SimRequests, OutputPortSwitchOnBoardsSevenAndEight) {
  test::SimFixture f("rw820c");
  const uint8_t sw[8] = {6, 2, 0, 0, 0, 0, 0, 0};
  Answer a;
  ASSERT_TRUE(f.link.transact_short(CMD_BUS_XFER, 0, sw, 8, 8, f.page(), a));
  EXPECT_FALSE(a.refused());
  EXPECT_EQ(a.len, 8);
  EXPECT_EQ(a.payload[6], 2);
  const uint8_t ask[8] = {};
  ASSERT_TRUE(f.link.transact_short(CMD_BUS_XFER, 0, ask, 8, 8, f.page(), a));
  EXPECT_EQ(a.payload[6], 2);
  test::SimFixture g("TB610R-1CH");
  ASSERT_TRUE(g.link.transact_short(CMD_BUS_XFER, 0, sw, 8, 0, g.page(), a));
  EXPECT_TRUE(a.refused());
}

TEST(SimRequests, PropertyBlockWritesOfferedGroupsOnly) {
  test::SimFixture f("TB610K-1CH");  // offers 0x3F, answers the short form
  Bytes blk(32, 0);
  blk[0] = 0x01;
  blk[2] = 0xEC;  // brightness -20
  Answer a;
  ASSERT_TRUE(f.link.transact_long(CMD_PROP_BLOCK, 0, blk.data(), 32, 8, f.page(), a));
  EXPECT_FALSE(a.refused());
  EXPECT_EQ(a.len, 8);
  EXPECT_EQ(get_le16(a.payload), 0x3F);
  EXPECT_EQ(a.payload[2], 0xEC);
  blk[0] = 0x40;  // gains: not offered
  ASSERT_TRUE(f.link.transact_long(CMD_PROP_BLOCK, 0, blk.data(), 32, 0, f.page(), a));
  EXPECT_TRUE(a.refused());
}

TEST(SimRequests, StoredPropertiesComeBackAfterAReplug) {
  test::SimFixture f("TB610R-1CH");
  auto write_brightness = [&](uint8_t v) {
    Bytes blk(32, 0);
    blk[0] = 0x01;
    blk[2] = v;
    Answer a;
    return f.link.transact_long(CMD_PROP_BLOCK, 0, blk.data(), 32, 32, f.page(), a) && !a.refused();
  };
  ASSERT_TRUE(write_brightness(0x10));
  uint8_t store[16] = {0x01, 0x80, 0, 2};  // bits 0x8001, bctl 2
  Answer a;
  ASSERT_TRUE(f.link.transact_long(CMD_UPDATE, 0, store, 16, 2, f.page(), a));
  EXPECT_EQ(get_le32(a.payload), 0u);
  ASSERT_TRUE(write_brightness(0x20));  // live only
  f.backend.unplug(0);
  f.backend.plug(0);
  ASSERT_TRUE(f.reopen());
  Bytes ask(32, 0);
  ASSERT_TRUE(f.link.transact_long(CMD_PROP_BLOCK, 0, ask.data(), 32, 32, f.page(), a));
  EXPECT_EQ(a.payload[2], 0x10);
}

TEST(SimRequests, VideoUpdateFollowsTheLock) {
  test::SimFixture f("TB610R-1CH");
  auto update = [&](uint16_t bits, uint8_t input, uint8_t bctl) {
    uint8_t blk[16] = {};
    put_le16(blk, bits);
    blk[2] = input;
    blk[3] = bctl;
    Answer a;
    EXPECT_TRUE(f.link.transact_long(CMD_UPDATE, 0, blk, 16, 2, f.page(), a));
    return static_cast<int32_t>(get_le32(a.payload));
  };
  EXPECT_EQ(update(0x0041, 3, 0), 0);
  EXPECT_EQ(f.card->state().input, 3);
  EXPECT_EQ(update(0x8041, 4, 2), 0);  // lock input 4
  EXPECT_EQ(f.card->state().locked_input, 4);
  EXPECT_EQ(update(0x0041, 2, 0), -2);  // locked: no selection
  EXPECT_EQ(f.card->state().input, 4);
  EXPECT_EQ(update(0x8081, 7, 2), 0);  // unlock: scan
  EXPECT_FALSE(f.card->state().locked_input.has_value());
  EXPECT_TRUE(f.card->state().scanning);
  EXPECT_EQ(update(0x0041, 7, 0), -1);  // TB610R-1CH has inputs 0..6
}

TEST(SimRequests, ControlCodesAnswerAsTheHostRelies) {
  test::SimFixture f;
  // Debug mode: query, then on, then query.
  EXPECT_EQ(f.link.hid_send_command(0x12, f.page()), 0);
  EXPECT_EQ(f.link.hid_send_command(0x11, f.page()), 1);
  EXPECT_EQ(f.link.hid_send_command(0x12, f.page()), 1);
  // Probe hold: 0x22 asks, 0x21 sets and answers the state before, 0x20 clears.
  EXPECT_EQ(f.link.hid_send_command(0x22, f.page()), 0);
  EXPECT_EQ(f.link.hid_send_command(0x21, f.page()), 0);
  EXPECT_EQ(f.link.hid_send_command(0x21, f.page()), 1);
  EXPECT_EQ(f.link.hid_send_command(0x20, f.page()), 1);
  EXPECT_EQ(f.link.hid_send_command(0x22, f.page()), 0);
  // An unknown code answers 255.
  EXPECT_EQ(f.link.hid_send_command(0x55, f.page()), -1);
}

TEST(SimRequests, AudioPolicyWriteOfAnUnknownCodeIsRefused) {
  test::SimFixture f;
  const Bytes bad = audio_block(1, 0x90);
  Answer a;
  ASSERT_TRUE(f.link.transact_short(CMD_VIDEO_PROP, 0, bad.data(), 16, 16, f.page(), a));
  EXPECT_TRUE(a.refused());
  EXPECT_EQ(a.payload[5], 0);
  EXPECT_EQ(f.card->state().audio_policy, 1);
}

TEST(SimRequests, BadFramesAreNotTaken) {
  test::SimFixture f;
  Bytes req(265, 0);
  frame_build(req.data(), RID_LONG_REQ, 1, CMD_CONFIG_GET, 0, nullptr, 0);
  req[6] ^= 1;  // checksum broken
  ASSERT_TRUE(f.dev().handle->set_output_report(req));
  EXPECT_FALSE(f.link.hid_get(f.page()));
  Bytes shortened(64, 0);  // report 11 at the wrong size
  frame_build(shortened.data(), RID_LONG_REQ, 2, CMD_CONFIG_GET, 0, nullptr, 0);
  ASSERT_TRUE(f.dev().handle->set_output_report(shortened));
  EXPECT_FALSE(f.link.hid_get(f.page()));
  EXPECT_EQ(f.card->rejected_frames(), 2u);
}

}  // namespace
}  // namespace kestrel
