// The typed board control calls against the simulated card: the answer arrives in the struct,
// and a board without the code sends the card nothing.
#include <gtest/gtest.h>

#include "boards/board_table.h"
#include "boards/control_calls.h"
#include "board_sim.h"

namespace kestrel {
namespace {

// Owns one board of the registry and the card's link, as the window does.
struct Owner {
  test::BoardSim& sim;
  uint8_t board;
  bool board_control(uint32_t code, uint32_t size, void* out) {
    BoardContext ctx = sim.ctx();
    return kestrel::board_control(sim.board(board), ctx, code, size, out);
  }
};

TEST(ControlCalls, OutputPortSwitchesAndAsks) {
  test::BoardSim s(sim::BoardModel::Meadow);
  Owner o{s, BOARD_MEADOW};
  const OutputPortReply set = ctl_output_port(o, 1);
  ASSERT_TRUE(set.ok);
  EXPECT_EQ(set.record.current, 1);
  EXPECT_EQ(s.f.card->state().output_port, 1);

  const OutputPortReply ask = ctl_output_port(o);
  ASSERT_TRUE(ask.ok);
  EXPECT_EQ(ask.record.current, 1);
  ASSERT_NE(ask.record.names, nullptr);
  EXPECT_GT(ask.record.count, 1);
  EXPECT_NE(ask.record.names[1], nullptr);
}

TEST(ControlCalls, BoardWithoutTheCodeAnswersNothing) {
  test::BoardSim s(sim::BoardModel::TB610R_1CH);
  Owner o{s, BOARD_TB610R_1CH};
  const OutputPortReply r = ctl_output_port(o, 1);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.record.current, 1) << "the asked port stays for the caller's log line";
  EXPECT_TRUE(s.sent().empty());
}

}  // namespace
}  // namespace kestrel
