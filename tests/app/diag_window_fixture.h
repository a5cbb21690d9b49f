// The window fixture with a view that also has button 1061, attached to one simulated card, with
// helpers for the engineering commands' requests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/ids.h"
#include "devlink/frame.h"
#include "window_fixture.h"

namespace kestrel::test {

class DiagWindow : public WindowTest {
 public:
  // A framed request the card received: report ID, command, sub-command and payload.
  struct Sent {
    uint8_t rid, cmd, sub;
    std::vector<uint8_t> payload;
    bool operator==(const Sent&) const = default;
  };

 protected:
  DiagWindow()
      : WindowTest({ids::CARD_LIST, ids::INPUT_LIST, ids::DEFAULT_SIZE_LIST, ids::OUTPUT_PORT_LIST, ids::VERSION_TEXT,
                    ids::FORMAT_LABEL, ids::BTN_DEBUG_1061}) {}

  // A card of `model`, attached as at start; the reports of the attach are forgotten.
  std::shared_ptr<sim::SimCard> attach(sim::BoardModel model) {
    card_ = add(model);
    window().on_init_dialog();
    card_->clear_reports();
    return card_;
  }

  // The framed requests the card received since the attach.
  std::vector<Sent> sent() const {
    std::vector<Sent> out;
    for (const auto& r : card_->reports_of(sim::ReportKind::Output)) {
      if (r.size() < FRAME_HDR || (r[0] != RID_LONG_REQ && r[0] != RID_SHORT_REQ)) continue;
      const size_t len = get_le16(r.data() + FRAME_LEN);
      out.push_back({r[0], r[FRAME_CMD], r[FRAME_SUB], {r.begin() + FRAME_HDR, r.begin() + FRAME_HDR + len}});
    }
    return out;
  }

  std::shared_ptr<sim::SimCard> card_;
};

inline void PrintTo(const DiagWindow::Sent& s, std::ostream* os) {
  *os << "rid " << int(s.rid) << " cmd " << int(s.cmd) << " sub " << int(s.sub) << " payload " << s.payload.size();
}

}  // namespace kestrel::test
