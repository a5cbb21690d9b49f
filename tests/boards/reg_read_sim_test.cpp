// reg_read against the simulated card: the framed command 12 with its own counter,
// the legacy reports 12 and 13, and the results 0, -1 and -2.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "board_sim.h"
#include "boards/control.h"
#include "boards/reg_access.h"
#include "devlink/hid_link.h"

namespace kestrel {
namespace {

using sim::BoardModel;
using sim::Fault;
using sim::StepKind;
using test::BoardSim;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t FPGA = 0x10;

sim::Scenario with_fault(BoardModel m, uint8_t cmd, Fault f) {
  sim::Scenario s = sim::make_scenario(m);
  s.faults.at(StepKind::Command, cmd, f);
  return s;
}

sim::Scenario legacy(BoardModel m) {
  sim::Scenario s = sim::make_scenario(m);
  s.status_query = false;
  s.feature_event = false;
  return s;
}

TEST(RegReadFramed, RequestAsTheCardReceivedItAndTheData) {
  BoardSim b(BoardModel::Meadow);
  *b.f.link.reg_seq = 0x1FF;  // its low byte wraps: the next read carries 0x00
  std::array<uint8_t, 8> out{};
  out.fill(0xEE);
  ASSERT_EQ(reg_read(b.f.link, FPGA, 0x60, 4, out), 0);
  const auto sent = b.sent();
  ASSERT_EQ(sent.size(), 1u);
  Bytes want(LONG_REPORT_SIZE, 0);
  const Bytes head = {RID_LONG_REQ, 0x00, CMD_REG_READ, 0, 8, 0, 0, 0, FPGA, 0, 0x60, 0, 4, 0, 0, 0};
  std::copy(head.begin(), head.end(), want.begin());
  put_le16(want.data() + FRAME_CSUM, static_cast<uint16_t>(~frame_csum(want.data(), 16)));
  EXPECT_EQ(sent[0], want);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], *b.f.card->read_register(FPGA, static_cast<uint8_t>(0x60 + i))) << i;
  EXPECT_EQ(out[4], 0xEE);  // nothing past count
  EXPECT_EQ(b.f.link.hid_seq, 0u);  // the window's counter is not touched
}

TEST(RegReadFramed, Count256SendsCountField0x0100) {
  BoardSim b(BoardModel::Meadow);
  std::array<uint8_t, 256> out{};
  out.fill(0xEE);
  ASSERT_EQ(reg_read(b.f.link, FPGA, 0, 256, out), 0);
  const auto reads = b.sent_cmd(CMD_REG_READ);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(get_le16(reads[0].data() + FRAME_HDR + REG_REQ_COUNT), 0x0100);
  // One answer holds at most 249 data bytes; the card returns that many, the rest stays.
  EXPECT_EQ(out[0x60], *b.f.card->read_register(FPGA, 0x60));
  EXPECT_EQ(out[248], *b.f.card->read_register(FPGA, 248));
  EXPECT_EQ(out[249], 0xEE);
}

struct ResultCase {
  const char* what;
  sim::Scenario scenario;
  uint8_t device;
  int32_t count;
  int32_t result;
  bool sends;  // whether a request reaches the card
};

void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.what; }

class RegReadResult : public ::testing::TestWithParam<ResultCase> {};

TEST_P(RegReadResult, Code) {
  const ResultCase& c = GetParam();
  BoardSim b(c.scenario);
  std::array<uint8_t, 300> out{};
  out.fill(0xEE);
  EXPECT_EQ(reg_read(b.f.link, c.device, 0, c.count, std::span<uint8_t>(out).first(256)), c.result);
  EXPECT_EQ(!b.sent().empty(), c.sends);
  if (c.result != 0) {
    for (uint8_t v : out) ASSERT_EQ(v, 0xEE) << "a failed read leaves out alone";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Part52, RegReadResult,
    ::testing::Values(
        ResultCase{"framed_success", sim::make_scenario(BoardModel::Meadow), FPGA, 1, 0, true},
        ResultCase{"count_257", sim::make_scenario(BoardModel::Meadow), FPGA, 257, -1, false},
        ResultCase{"count_negative", sim::make_scenario(BoardModel::Meadow), FPGA, -1, -1, false},
        ResultCase{"legacy_count_257", legacy(BoardModel::TB610M_1CH), FPGA, 257, -1, false},
        ResultCase{"framed_send_fails", with_fault(BoardModel::Meadow, CMD_REG_READ, Fault::Unplug), FPGA, 1, -1,
                   true},
        ResultCase{"framed_no_reply", with_fault(BoardModel::Meadow, CMD_REG_READ, Fault::DropAnswer), FPGA, 1,
                   -2, true},
        ResultCase{"framed_bad_checksum", with_fault(BoardModel::Meadow, CMD_REG_READ, Fault::CorruptChecksum),
                   FPGA, 1, -2, true},
        ResultCase{"framed_stale_sequence", with_fault(BoardModel::Meadow, CMD_REG_READ, Fault::StaleSequence),
                   FPGA, 1, -2, true},
        // The card answers a read of a device it does not have with status byte 0.
        ResultCase{"framed_status_byte_0", sim::make_scenario(BoardModel::Meadow), 0x77, 1, -2, true},
        ResultCase{"legacy_success", legacy(BoardModel::TB610M_1CH), FPGA, 4, 0, true},
        ResultCase{"legacy_no_reply", legacy(BoardModel::TB610M_1CH), 0x77, 1, -1, true},
        ResultCase{"legacy_send_fails",
                   [] {
                     sim::Scenario s = legacy(BoardModel::TB610M_1CH);
                     s.faults.at(StepKind::Transaction, 1, Fault::Unplug);
                     return s;
                   }(),
                   FPGA, 1, -1, true}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(RegRead, NoCardAttached) {
  BoardSim b(BoardModel::Meadow);
  b.f.list.current = nullptr;
  std::array<uint8_t, 4> out{};
  EXPECT_EQ(reg_read(b.f.link, FPGA, 0, 1, out), -1);
  b.f.link.own_status_valid = 0;
  EXPECT_EQ(reg_read(b.f.link, FPGA, 0, 1, out), -1);
  EXPECT_TRUE(b.f.card->reports().empty());
}

TEST(RegRead, CardUnpluggedAfterAttach) {
  BoardSim b(BoardModel::Meadow);
  b.f.backend.unplug(0);
  std::array<uint8_t, 4> out{};
  EXPECT_EQ(reg_read(b.f.link, FPGA, 0, 1, out), -1);  // the send fails
}

TEST(RegReadLegacy, RequestAndDataOffset) {
  BoardSim b(legacy(BoardModel::Rw820c));
  ASSERT_EQ(*b.f.link.status_block_valid, 0);
  const uint32_t reg_seq = *b.f.link.reg_seq;
  std::array<uint8_t, 8> out{};
  out.fill(0xEE);
  ASSERT_EQ(reg_read(b.f.link, 0x4C, 0, 5, out), 0);
  const auto sent = b.sent();
  ASSERT_EQ(sent.size(), 1u);
  Bytes want(REG_LEGACY_REPORT_SIZE, 0);
  want[0] = 12;
  want[1] = 0x4C;
  want[2] = 0;
  want[3] = 5;
  EXPECT_EQ(sent[0], want);
  const auto fetched = b.f.card->reports_of(sim::ReportKind::InputGet);
  ASSERT_EQ(fetched.size(), 1u);
  EXPECT_EQ(fetched[0].size(), REG_LEGACY_REPORT_SIZE);
  EXPECT_EQ(fetched[0][0], 13);
  // The values, not the report ID: the iTE66122 identity.
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 5), (Bytes{0x54, 0x49, 0x22, 0x06, 0x01}));
  EXPECT_EQ(out[5], 0xEE);
  EXPECT_EQ(*b.f.link.reg_seq, reg_seq);  // the legacy form has no sequence byte
}

TEST(RegReadFramed, ConsecutiveReadsCarryConsecutiveSequenceBytes) {
  BoardSim b(BoardModel::TB610R_1CH);
  std::array<uint8_t, 4> out{};
  std::array<uint8_t, ANSWER_REPORT_SIZE> buf{};
  ASSERT_EQ(reg_read(b.f.link, FPGA, 0, 1, out), 0);
  // Other traffic on the window's counter in between.
  EXPECT_EQ(b.f.link.hid_send_command(0x12, b.f.page()), 0);
  EXPECT_TRUE(b.f.link.send_async(1, b.f.page()));
  char usb[32];
  BoardContext ctx = b.ctx();
  EXPECT_TRUE(board_control(b.board(3), ctx, CTL_USB_SPEED, sizeof usb, usb));
  Answer a;
  const uint8_t one = 1;
  EXPECT_TRUE(b.f.link.transact_short(CMD_CYFXD, 0, &one, 1, 0, buf, a));
  ASSERT_EQ(reg_read(b.f.link, FPGA, 1, 1, out), 0);
  const auto reads = b.sent_cmd(CMD_REG_READ);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(static_cast<uint8_t>(reads[1][FRAME_SEQ] - reads[0][FRAME_SEQ]), 1);
  EXPECT_EQ(reads[1][FRAME_SEQ], static_cast<uint8_t>(*b.f.link.reg_seq));
  EXPECT_EQ(b.f.link.hid_seq, 4u);  // the four other requests, none of them a register read
}

}  // namespace
}  // namespace kestrel
