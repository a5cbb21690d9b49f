// Board control codes against the simulated card: which codes each board answers, and
// the exchanges behind codes 4, 6, 8, 10 and 12 as the card received and answered them.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "board_sim.h"
#include "boards/board_table.h"
#include "boards/control.h"
#include "log/log_capture.h"

namespace kestrel {
namespace {

using sim::BoardModel;
using sim::Fault;
using sim::StepKind;
using test::BoardSim;
using Bytes = std::vector<uint8_t>;

uint8_t number_of(BoardModel m) { return static_cast<uint8_t>(m); }

// Asks `code` of the card's own board with arguments that meet the code's size condition.
bool ask(BoardSim& b, uint8_t board, uint32_t code) {
  BoardContext ctx = b.ctx();
  const BoardEntry& e = b.board(board);
  alignas(16) std::array<uint8_t, 4096> out{};
  switch (code) {
    case CTL_RAW_COMMAND: {
      uint8_t raw[8] = {1, 2, 3, 4, 5, 6, 7, 8};
      return board_control(e, ctx, code, sizeof raw, raw);
    }
    case CTL_FILE_FILTER: {
      FileFilterAnswer ans;
      return board_control(e, ctx, code, CTL_FILTER_FPGA, &ans);
    }
    case CTL_OUTPUT_PORT: {
      PortSwitchRecord rec;
      return board_control(e, ctx, code, PORT_SWITCH_RECORD_SIZE, &rec);
    }
    case CTL_MONITOR_CAPABLE: return board_control(e, ctx, code, 4, nullptr);
    case CTL_WORK_STATUS: return board_control(e, ctx, code, WORK_STATUS_COPY, out.data());
    case CTL_USB_SPEED: return board_control(e, ctx, code, 4096, out.data());
    default: return board_control(e, ctx, code, 32, out.data());  // 1, 7, 8 and the rest
  }
}

struct TableRow {
  BoardModel model;
  std::set<uint32_t> answered;
};

void PrintTo(const TableRow& r, std::ostream* os) { *os << sim::model_name(r.model); }

class ControlTable : public ::testing::TestWithParam<TableRow> {};

// the control codes's table.
TEST_P(ControlTable, CodesAnswered) {
  BoardSim b(GetParam().model);
  for (uint32_t code = 0; code <= 40; ++code)
    EXPECT_EQ(ask(b, number_of(GetParam().model), code), GetParam().answered.count(code) == 1) << "code " << code;
}

INSTANTIATE_TEST_SUITE_P(Boards, ControlTable,
                         ::testing::Values(TableRow{BoardModel::TB610K_1CH, {1, 4, 8, 12, 13}},
                                           TableRow{BoardModel::TB610M_1CH, {1, 4, 8, 12, 13}},
                                           TableRow{BoardModel::TB610R_1CH, {1, 4, 8, 12, 13}},
                                           TableRow{BoardModel::TB720V_2CH, {1, 4, 7, 8, 12, 13}},
                                           TableRow{BoardModel::TB830R_1CH, {1, 4, 8, 12, 13}},
                                           TableRow{BoardModel::TB850V_1CH, {1, 4, 5, 8, 12, 13}},
                                           TableRow{BoardModel::Meadow, {1, 4, 5, 6, 8, 10, 12, 14, 15}},
                                           TableRow{BoardModel::Rw820c, {1, 4, 5, 6, 8, 10, 11, 12, 13, 14, 15}}),
                         [](const auto& info) { return test::model_test_name(info.param.model); });

// ---- Code 4 ----

TEST(ControlRawCommand, Command15OfSizeBytesAndTheReplyCopiedBack) {
  for (BoardModel m : test::kAllModels) {
    BoardSim b(m);
    Bytes raw = {0x11, 0x22, 0x33, 0x44, 0x55};
    BoardContext ctx = b.ctx();
    ASSERT_TRUE(board_control(b.board(number_of(m)), ctx, CTL_RAW_COMMAND, 5, raw.data())) << sim::model_name(m);
    const auto sent = b.sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), LONG_REPORT_SIZE);
    EXPECT_EQ(sent[0][0], RID_LONG_REQ);
    EXPECT_EQ(sent[0][FRAME_CMD], CMD_BUS_XFER);
    EXPECT_EQ(BoardSim::payload_of(sent[0]), (Bytes{0x11, 0x22, 0x33, 0x44, 0x55}));
    // The card echoes the bytes; the reply lands in out.
    EXPECT_EQ(raw, BoardSim::payload_of(Bytes(b.f.page().begin(), b.f.page().begin() + ANSWER_REPORT_SIZE)));
  }
}

TEST(ControlRawCommand, RefusedReplyAnswersFalse) {
  sim::Scenario s = sim::make_scenario(BoardModel::TB610R_1CH);
  s.faults.at(StepKind::Command, CMD_BUS_XFER, Fault::Refuse);
  BoardSim b(s);
  Bytes raw = {1, 2, 3};
  BoardContext ctx = b.ctx();
  EXPECT_FALSE(board_control(b.board(BOARD_TB610R_1CH), ctx, CTL_RAW_COMMAND, 3, raw.data()));
}

// ---- Code 6 ----

TEST(ControlWorkStatus, Command5AndEightyBytes) {
  for (BoardModel m : {BoardModel::Meadow, BoardModel::Rw820c}) {
    BoardSim b(m);
    std::array<uint8_t, 100> out;
    out.fill(0xEE);
    BoardContext ctx = b.ctx();
    ASSERT_TRUE(board_control(b.board(number_of(m)), ctx, CTL_WORK_STATUS, 80, out.data()));
    const auto reqs = b.sent_cmd(CMD_WORK_STATUS);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0][0], RID_LONG_REQ);
    EXPECT_EQ(BoardSim::payload_of(reqs[0]), Bytes{1});
    const uint8_t* answer = b.f.page().data() + FRAME_HDR;
    EXPECT_EQ(0, std::memcmp(out.data(), answer, 80));
    EXPECT_EQ(out[80], 0xEE) << "writes exactly 80 bytes";
  }
}

TEST(ControlWorkStatus, FailedExchangeAnswersFalse) {
  sim::Scenario s = sim::make_scenario(BoardModel::Rw820c);
  s.faults.at(StepKind::Command, CMD_WORK_STATUS, Fault::DropAnswer);
  BoardSim b(s);
  std::array<uint8_t, 80> out{};
  BoardContext ctx = b.ctx();
  EXPECT_FALSE(board_control(b.board(BOARD_RW820C), ctx, CTL_WORK_STATUS, 80, out.data()));
}

// ---- Code 8 ----

// A property block whose every byte says where it sits, asking to write brightness (mask bit 0,
// which every card offers).
std::array<uint8_t, 32> marked_block() {
  std::array<uint8_t, 32> blk;
  for (size_t i = 0; i < blk.size(); ++i) blk[i] = static_cast<uint8_t>(0xA0 + i);
  put_le16(blk.data(), 0x0001);
  return blk;
}

bool in_ranges(size_t i, bool zh) {
  return i < 8 || (i >= 16 && i < 22) || (zh && i >= 24 && i < 30);
}

struct PropsCase {
  BoardModel model;
  bool short_answer;  // the card answers with the 8-byte form
  bool answer;
};

void PrintTo(const PropsCase& c, std::ostream* os) {
  *os << sim::model_name(c.model) << (c.short_answer ? " short" : " full");
}

class ControlVideoProps : public ::testing::TestWithParam<PropsCase> {};

TEST_P(ControlVideoProps, RequestAndReplyForms) {
  const PropsCase& c = GetParam();
  sim::Scenario s = sim::make_scenario(c.model);
  s.prop_short_answer = c.short_answer;
  BoardSim b(s);
  const bool zh = c.model == BoardModel::Meadow || c.model == BoardModel::Rw820c;
  const auto before = marked_block();
  auto blk = before;
  BoardContext ctx = b.ctx();
  EXPECT_EQ(board_control(b.board(number_of(c.model)), ctx, CTL_VIDEO_PROPS, 32, blk.data()), c.answer);

  // The request as the card received it: the board's byte ranges of the block, zero elsewhere.
  const auto reqs = b.sent_cmd(CMD_PROP_BLOCK);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0][0], RID_LONG_REQ);
  const Bytes payload = BoardSim::payload_of(reqs[0]);
  ASSERT_EQ(payload.size(), 32u);
  for (size_t i = 0; i < 32; ++i) EXPECT_EQ(payload[i], in_ranges(i, zh) ? before[i] : 0) << "payload byte " << i;

  // The reply, where the card put it.
  const uint8_t* reply = b.f.page().data() + FRAME_HDR;
  const uint16_t reply_len = get_le16(b.f.page().data() + FRAME_LEN);
  ASSERT_EQ(reply_len, c.short_answer ? 8 : 32);
  if (!c.answer) {
    EXPECT_EQ(blk, before) << "a refused reply changes nothing";
    return;
  }
  for (size_t i = 0; i < 32; ++i) {
    uint8_t want = before[i];
    if (i < 8) want = reply[i];
    else if (i >= 16 && i < 22) want = c.short_answer ? (i % 2 ? 0x40 : 0x00) : reply[i];
    else if (i >= 24 && i < 30) want = zh ? reply[i] : 0;
    EXPECT_EQ(blk[i], want) << "block byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Boards, ControlVideoProps,
                         ::testing::Values(PropsCase{BoardModel::TB610K_1CH, true, true},
                                           PropsCase{BoardModel::TB610M_1CH, false, true},
                                           PropsCase{BoardModel::TB610M_1CH, true, true},
                                           PropsCase{BoardModel::TB610R_1CH, false, true},
                                           PropsCase{BoardModel::TB720V_2CH, false, true},
                                           PropsCase{BoardModel::TB830R_1CH, true, true},
                                           PropsCase{BoardModel::TB850V_1CH, false, true},
                                           PropsCase{BoardModel::Meadow, false, true},
                                           PropsCase{BoardModel::Meadow, true, false},
                                           PropsCase{BoardModel::Rw820c, false, true},
                                           PropsCase{BoardModel::Rw820c, true, false}),
                         [](const auto& info) {
                           return test::model_test_name(info.param.model) + (info.param.short_answer ? "_short" : "_full");
                         });

TEST(ControlVideoProps, RefusedReplyAnswersFalseOnEveryBoard) {
  for (BoardModel m : test::kAllModels) {
    sim::Scenario s = sim::make_scenario(m);
    s.faults.at(StepKind::Command, CMD_PROP_BLOCK, Fault::Refuse);
    BoardSim b(s);
    auto blk = marked_block();
    BoardContext ctx = b.ctx();
    EXPECT_FALSE(board_control(b.board(number_of(m)), ctx, CTL_VIDEO_PROPS, 32, blk.data())) << sim::model_name(m);
    EXPECT_EQ(blk, marked_block());
  }
}

TEST(ControlVideoProps, FailedSendLogsOnlyOnBoardsOneToSix) {
  for (BoardModel m : test::kAllModels) {
    sim::Scenario s = sim::make_scenario(m);
    s.faults.at(StepKind::Command, CMD_PROP_BLOCK, Fault::Unplug);
    BoardSim b(s);
    test::LogCapture cap;
    log_set_filter(true, 1u << (LOG_STATUS_FAIL & LOG_LEVEL_MASK), 0);
    auto blk = marked_block();
    BoardContext ctx = b.ctx();
    EXPECT_FALSE(board_control(b.board(number_of(m)), ctx, CTL_VIDEO_PROPS, 32, blk.data()));
    EXPECT_EQ(cap.text(), number_of(m) <= 6 ? " query work status put failed\r\n" : "") << sim::model_name(m);
  }
}

// ---- Code 10 ----

struct PortCase {
  BoardModel model;
  uint16_t current;   // asked for
  Bytes payload;      // as the card receives it
  bool answer;
  uint16_t after;     // the record's current afterwards
};

void PrintTo(const PortCase& c, std::ostream* os) { *os << sim::model_name(c.model) << " current " << c.current; }

class ControlOutputPort : public ::testing::TestWithParam<PortCase> {};

TEST_P(ControlOutputPort, ShortCommand15) {
  const PortCase& c = GetParam();
  BoardSim b(c.model);
  PortSwitchRecord rec;
  rec.count = 0xFFFF;
  rec.current = c.current;
  BoardContext ctx = b.ctx();
  EXPECT_EQ(board_control(b.board(number_of(c.model)), ctx, CTL_OUTPUT_PORT, 8, &rec), c.answer);
  EXPECT_EQ(rec.names, board_output_port_list(number_of(c.model)));
  EXPECT_EQ(rec.count, 3);
  EXPECT_EQ(rec.current, c.after);
  const auto reqs = b.sent_cmd(CMD_BUS_XFER);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].size(), SHORT_REPORT_SIZE);
  EXPECT_EQ(reqs[0][0], RID_SHORT_REQ);
  EXPECT_EQ(BoardSim::payload_of(reqs[0]), c.payload);
}

// meadow's card starts on port 1, rw820c's on port 0.
INSTANTIATE_TEST_SUITE_P(
    Boards, ControlOutputPort,
    ::testing::Values(PortCase{BoardModel::Meadow, 0xFFFF, {0, 0, 0, 0, 0, 0, 0, 0}, true, 1},
                      PortCase{BoardModel::Meadow, 2, {6, 2, 0, 0, 0, 0, 0, 0}, true, 2},
                      PortCase{BoardModel::Rw820c, 0xFFFF, {0, 0, 0, 0, 0, 0, 0, 0}, true, 0},
                      PortCase{BoardModel::Rw820c, 1, {6, 1, 0, 0, 0, 0, 0, 0}, true, 1},
                      // The card has no port 3 and refuses; the record keeps what was asked.
                      PortCase{BoardModel::Rw820c, 3, {6, 3, 0, 0, 0, 0, 0, 0}, false, 3},
                      PortCase{BoardModel::Meadow, 0x0102, {6, 2, 0, 0, 0, 0, 0, 0}, true, 2}),
    [](const auto& info) {
      return test::model_test_name(info.param.model) + "_" + std::to_string(info.param.current);
    });

TEST(ControlOutputPort, TheCardSwitches) {
  BoardSim b(BoardModel::Meadow);
  PortSwitchRecord rec;
  rec.current = 0;
  BoardContext ctx = b.ctx();
  ASSERT_TRUE(board_control(b.board(BOARD_MEADOW), ctx, CTL_OUTPUT_PORT, 8, &rec));
  EXPECT_EQ(b.f.card->state().output_port, 0);
  EXPECT_STREQ(rec.names[rec.current], "FPGA   hdmi");
}

// ---- Code 12 ----

struct UsbCase {
  BoardModel model;
  uint8_t speed;  // the card's answer byte 3
  const char* text;
};

void PrintTo(const UsbCase& c, std::ostream* os) { *os << sim::model_name(c.model) << " speed " << int(c.speed); }

class ControlUsbSpeed : public ::testing::TestWithParam<UsbCase> {};

TEST_P(ControlUsbSpeed, TextPerReplyByte) {
  const UsbCase& c = GetParam();
  sim::Scenario s = sim::make_scenario(c.model);
  s.usb_speed = c.speed;
  BoardSim b(s);
  std::array<char, 64> out;
  out.fill('#');
  BoardContext ctx = b.ctx();
  // Boards 1..6 do not look at the size.
  ASSERT_TRUE(board_control(b.board(number_of(c.model)), ctx, CTL_USB_SPEED, 0, out.data()));
  EXPECT_STREQ(out.data(), c.text);
  const auto reqs = b.sent_cmd(CMD_CYFXD);
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].size(), SHORT_REPORT_SIZE);
  EXPECT_EQ(reqs[0][0], RID_SHORT_REQ);
  EXPECT_EQ(BoardSim::payload_of(reqs[0]), Bytes{1});
}

INSTANTIATE_TEST_SUITE_P(Boards, ControlUsbSpeed,
                         ::testing::Values(UsbCase{BoardModel::TB610K_1CH, 2, "2.0 high speed"},
                                           UsbCase{BoardModel::TB610M_1CH, 3, "3.0 supper speed"},
                                           UsbCase{BoardModel::TB610R_1CH, 1, "unknow"},
                                           UsbCase{BoardModel::TB720V_2CH, 0, "unknow"},
                                           UsbCase{BoardModel::TB830R_1CH, 4, "unknow"},
                                           UsbCase{BoardModel::TB850V_1CH, 3, "3.0 supper speed"}),
                         [](const auto& info) {
                           return test::model_test_name(info.param.model) + "_" + std::to_string(info.param.speed);
                         });

TEST(ControlUsbSpeed, MeadowAndRw820cAskNothing) {
  for (BoardModel m : {BoardModel::Meadow, BoardModel::Rw820c}) {
    sim::Scenario s = sim::make_scenario(m);
    s.usb_speed = 3;
    BoardSim b(s);
    std::array<char, 32> out{};
    BoardContext ctx = b.ctx();
    ASSERT_TRUE(board_control(b.board(number_of(m)), ctx, CTL_USB_SPEED, 32, out.data()));
    EXPECT_STREQ(out.data(), "2.0 (full speed only)");
    EXPECT_TRUE(b.sent().empty());
  }
}

TEST(ControlUsbSpeed, FailedReplyClearsTheText) {
  sim::Scenario s = sim::make_scenario(BoardModel::TB610R_1CH);
  s.faults.at(StepKind::Command, CMD_CYFXD, Fault::DropAnswer);
  BoardSim b(s);
  std::array<char, 32> out;
  out.fill('#');
  BoardContext ctx = b.ctx();
  EXPECT_FALSE(board_control(b.board(BOARD_TB610R_1CH), ctx, CTL_USB_SPEED, 32, out.data()));
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], '#');
}

}  // namespace
}  // namespace kestrel
