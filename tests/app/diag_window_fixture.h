// The main window's logic over an in-memory view that also has button 1061, attached to one
// simulated card in simulated time, with helpers for the engineering commands' requests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/ids.h"
#include "app/main_window.h"
#include "app/memory_view.h"
#include "devlink/frame.h"
#include "log/clock.h"
#include "log/log.h"
#include "platform/hid_backend.h"
#include "sim/card.h"
#include "sim/sim_backend.h"

namespace kestrel::test {

class DiagWindow : public ::testing::Test {
 public:
  // A framed request the card received: report ID, command, sub-command and payload.
  struct Sent {
    uint8_t rid, cmd, sub;
    std::vector<uint8_t> payload;
    bool operator==(const Sent&) const = default;
  };

 protected:
  void SetUp() override {
    clock_set_source(&clock_);
    clock_init();
    clock_.advance_ns(10'000'000'000ull);
    platform::set_backend(&backend_);
  }
  void TearDown() override {
    window_.reset();
    qhidev_release_all(list_);
    platform::set_backend(nullptr);
    clock_set_source(nullptr);
    clock_init();
    log_reset_for_test();
  }

  // A card of `model`, attached as at start; the reports of the attach are forgotten.
  std::shared_ptr<sim::SimCard> attach(sim::BoardModel model) {
    card_ = backend_.add_card(sim::make_scenario(model));
    window().on_init_dialog();
    card_->clear_reports();
    return card_;
  }
  CkestrelDlg& window() {
    if (!window_) window_ = std::make_unique<CkestrelDlg>(view_, list_);
    return *window_;
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

  SimClock clock_;
  sim::SimBackend backend_;
  qhidev_list list_;
  MemoryView view_{{ids::CARD_LIST, ids::INPUT_LIST, ids::DEFAULT_SIZE_LIST, ids::OUTPUT_PORT_LIST, ids::VERSION_TEXT,
                    ids::FORMAT_LABEL, ids::BTN_DEBUG_1061}};
  std::unique_ptr<CkestrelDlg> window_;
  std::shared_ptr<sim::SimCard> card_;
};

inline void PrintTo(const DiagWindow::Sent& s, std::ostream* os) {
  *os << "rid " << int(s.rid) << " cmd " << int(s.cmd) << " sub " << int(s.sub) << " payload " << s.payload.size();
}

}  // namespace kestrel::test
