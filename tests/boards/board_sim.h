// A simulated card of one model, attached as the attach sequence would leave it, with the board
// registry and a BoardContext on the card's link: what the board tests need besides the shared
// SimFixture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "boards/board.h"
#include "boards/registry.h"
#include "devlink/commands.h"
#include "devlink/frame.h"
#include "sim/card.h"
#include "support/sim_fixture.h"

namespace kestrel::test {

class BoardSim {
 public:
  explicit BoardSim(const sim::Scenario& s) : f(s) {
    registry_build(reg, nullptr);
    // What attach decides: a card that answered the status query speaks the framed register read.
    f.link.own_status_valid = (s.status_query || (s.feature_event && (s.capabilities & sim::CAP_STATUS_RPT))) ? 1 : 0;
    f.card->clear_reports();
  }
  explicit BoardSim(sim::BoardModel m) : BoardSim(sim::make_scenario(m)) {}

  const BoardEntry& board(uint8_t number) const { return reg.entries[number - 1]; }
  BoardContext ctx() { return BoardContext{f.link, f.page()}; }

  // The output reports the card received, oldest first.
  std::vector<std::vector<uint8_t>> sent() const { return f.card->reports_of(sim::ReportKind::Output); }
  // The framed requests of one command among them.
  std::vector<std::vector<uint8_t>> sent_cmd(uint8_t cmd) const {
    std::vector<std::vector<uint8_t>> out;
    for (auto& r : sent())
      if (r.size() >= FRAME_HDR && (r[0] == RID_LONG_REQ || r[0] == RID_SHORT_REQ) && r[FRAME_CMD] == cmd)
        out.push_back(r);
    return out;
  }
  static std::vector<uint8_t> payload_of(const std::vector<uint8_t>& frame) {
    const size_t len = get_le16(frame.data() + FRAME_LEN);
    return {frame.begin() + FRAME_HDR, frame.begin() + FRAME_HDR + len};
  }

  SimFixture f;
  BoardRegistry reg;
};

inline std::string model_test_name(sim::BoardModel m) {
  std::string n(sim::model_name(m));
  for (char& c : n)
    if (c == '-') c = '_';
  return n;
}

constexpr sim::BoardModel kAllModels[] = {
    sim::BoardModel::TB610K_1CH, sim::BoardModel::TB610M_1CH, sim::BoardModel::TB610R_1CH,
    sim::BoardModel::TB720V_2CH, sim::BoardModel::TB830R_1CH, sim::BoardModel::TB850V_1CH,
    sim::BoardModel::Meadow,     sim::BoardModel::Rw820c,
};

}  // namespace kestrel::test
