// Every model's probe against every model's simulated card, over the framed register
// read and over the legacy reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "board_sim.h"
#include "boards/board_table.h"
#include "boards/reg_access.h"

namespace kestrel {
namespace {

using sim::BoardModel;
using test::BoardSim;

// probe (row) on card (column), in board-table order: K, M, R, V, 830R, 850V, meadow, rw820c.
// the board table makes three rows true beyond the diagonal, whatever a card holds:
//  - TB830R-1CH and TB850V-1CH probe nothing and answer true on every card;
//  - TB720V-2CH accepts any iTE 0x68xx at 0x48 that answers the same twice, which the iTE6802 of
//    TB610M-1CH and the iTE6805 of meadow are.
// TB610M-1CH tells itself from TB720V-2CH and meadow by the device those two have at 0x49.
constexpr bool kProbeMatrix[8][8] = {
    /* TB610K-1CH */ {0, 0, 0, 0, 0, 0, 0, 0},
    /* TB610M-1CH */ {0, 1, 0, 0, 0, 0, 0, 0},
    /* TB610R-1CH */ {0, 0, 1, 0, 0, 0, 0, 0},
    /* TB720V-2CH */ {0, 1, 0, 1, 0, 0, 1, 0},
    /* TB830R-1CH */ {1, 1, 1, 1, 1, 1, 1, 1},
    /* TB850V-1CH */ {1, 1, 1, 1, 1, 1, 1, 1},
    /* meadow     */ {0, 0, 0, 0, 0, 0, 1, 0},
    /* rw820c     */ {0, 0, 0, 0, 0, 0, 0, 1},
};

struct ProbeCase {
  BoardModel card;
  bool legacy;  // the card did not answer the status query: legacy register reports
};

void PrintTo(const ProbeCase& c, std::ostream* os) {
  *os << sim::model_name(c.card) << (c.legacy ? " legacy" : " framed");
}

class ProbeOnCard : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeOnCard, EveryProbe) {
  sim::Scenario s = sim::make_scenario(GetParam().card);
  if (GetParam().legacy) {
    s.status_query = false;
    s.feature_event = false;
  }
  BoardSim b(s);
  ASSERT_EQ(*b.f.link.status_block_valid, GetParam().legacy ? 0 : 1);
  const size_t col = static_cast<size_t>(GetParam().card) - 1;
  for (uint8_t probe = 1; probe <= BOARD_COUNT; ++probe) {
    BoardContext ctx = b.ctx();
    EXPECT_EQ(board_probe(b.board(probe), ctx), kProbeMatrix[probe - 1][col])
        << b.board(probe).name << " probe on a " << sim::model_name(GetParam().card) << " card";
  }
  // Every probe read went through reg_read in the form the flag chose, one register at a time.
  for (const auto& r : b.sent()) {
    if (GetParam().legacy) {
      ASSERT_EQ(r[0], RID_REG_LEGACY_REQ);
      EXPECT_EQ(r.size(), REG_LEGACY_REPORT_SIZE);
      EXPECT_EQ(r[3], 1);
    } else {
      ASSERT_EQ(r[0], RID_LONG_REQ);
      EXPECT_EQ(r[FRAME_CMD], CMD_REG_READ);
      EXPECT_EQ(get_le16(r.data() + FRAME_HDR + REG_REQ_COUNT), 1);
    }
  }
}

std::vector<ProbeCase> probe_cases() {
  std::vector<ProbeCase> v;
  for (bool legacy : {false, true})
    for (BoardModel m : test::kAllModels) v.push_back({m, legacy});
  return v;
}

INSTANTIATE_TEST_SUITE_P(Cards, ProbeOnCard, ::testing::ValuesIn(probe_cases()), [](const auto& info) {
  return test::model_test_name(info.param.card) + (info.param.legacy ? "_legacy" : "_framed");
});

// The TB610K-1CH probe reads the ADV7611 identity and judges nothing, even when both reads
// succeed on its own card.
TEST(Probe, TB610KReadsTwoRegistersAndAnswersFalse) {
  BoardSim b(BoardModel::TB610K_1CH);
  BoardContext ctx = b.ctx();
  EXPECT_FALSE(board_probe(b.board(BOARD_TB610K_1CH), ctx));
  const auto reads = b.sent_cmd(CMD_REG_READ);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(BoardSim::payload_of(reads[0]), (std::vector<uint8_t>{0x4C, 0, 0xEA, 0, 1, 0, 0, 0}));
  EXPECT_EQ(BoardSim::payload_of(reads[1]), (std::vector<uint8_t>{0x4C, 0, 0xEB, 0, 1, 0, 0, 0}));
}

// The reads of each probe on its own card, as device:register in order.
struct ReadOrderCase {
  BoardModel model;
  const char* reads;
};

void PrintTo(const ReadOrderCase& c, std::ostream* os) { *os << sim::model_name(c.model); }

class ProbeReads : public ::testing::TestWithParam<ReadOrderCase> {};

TEST_P(ProbeReads, OnOwnCard) {
  BoardSim b(GetParam().model);
  BoardContext ctx = b.ctx();
  board_probe(b.board(static_cast<uint8_t>(GetParam().model)), ctx);
  std::string got;
  for (const auto& r : b.sent_cmd(CMD_REG_READ)) {
    char item[16];
    std::snprintf(item, sizeof item, "%s%02X:%02X", got.empty() ? "" : " ", r[FRAME_HDR], r[FRAME_HDR + 2]);
    got += item;
  }
  EXPECT_EQ(got, GetParam().reads);
}

INSTANTIATE_TEST_SUITE_P(
    Models, ProbeReads,
    ::testing::Values(ReadOrderCase{BoardModel::TB610K_1CH, "4C:EA 4C:EB"},
                      ReadOrderCase{BoardModel::TB610M_1CH, "48:00 48:01 48:02 48:03 48:04 49:00"},
                      ReadOrderCase{BoardModel::TB610R_1CH, "20:EA 20:EB"},
                      ReadOrderCase{BoardModel::TB720V_2CH, "48:00 48:01 48:02 48:03 48:00 48:01 48:02 48:03"},
                      ReadOrderCase{BoardModel::TB830R_1CH, ""}, ReadOrderCase{BoardModel::TB850V_1CH, ""},
                      ReadOrderCase{BoardModel::Meadow, "48:00 48:01 48:02 48:03 48:04"},
                      ReadOrderCase{BoardModel::Rw820c, "4C:00 4C:01 4C:02 4C:03 4C:04"}),
    [](const auto& info) { return test::model_test_name(info.param.model); });

// Judged on the values: a receiver that answers with another identity fails its model's probe.
TEST(Probe, ChangedIdentityFails) {
  {
    BoardSim b(BoardModel::TB610R_1CH);
    b.f.card->set_register(0x20, 0xEB, 0x52);  // bit 6 set
    BoardContext ctx = b.ctx();
    EXPECT_FALSE(board_probe(b.board(BOARD_TB610R_1CH), ctx));
  }
  {
    BoardSim b(BoardModel::Meadow);
    b.f.card->set_register(0x48, 0x02, 0x02);  // an iTE6802 instead of the iTE6805
    BoardContext ctx = b.ctx();
    EXPECT_FALSE(board_probe(b.board(BOARD_MEADOW), ctx));
  }
  {
    BoardSim b(BoardModel::TB610M_1CH);
    b.f.card->set_register(0x48, 0x02, 0x77);  // byte 2 is not judged
    BoardContext ctx = b.ctx();
    EXPECT_TRUE(board_probe(b.board(BOARD_TB610M_1CH), ctx));
    b.f.card->set_register(0x49, 0x00, 0x00);  // something answers at 0x49
    EXPECT_FALSE(board_probe(b.board(BOARD_TB610M_1CH), ctx));
  }
}

}  // namespace
}  // namespace kestrel
