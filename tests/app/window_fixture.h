// A main window's logic over an in-memory view, attached to simulated cards behind the sim
// backend, in simulated time.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/main_window.h"
#include "app/memory_view.h"
#include "devlink/qhidev.h"
#include "log/clock.h"
#include "log/log.h"
#include "platform/hid_backend.h"
#include "sim/card.h"
#include "sim/scenario.h"
#include "sim/sim_backend.h"

namespace kestrel::test {

class WindowTest : public ::testing::Test {
 protected:
  WindowTest() = default;
  // A view with just these controls (the template's set by default).
  explicit WindowTest(std::set<uint32_t> controls) : view_(std::move(controls)) {}

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

  std::shared_ptr<sim::SimCard> add(sim::Scenario s) { return backend_.add_card(s); }
  std::shared_ptr<sim::SimCard> add(sim::BoardModel m) { return backend_.add_card(sim::make_scenario(m)); }

  WindowPresenter& window() {
    if (!window_) window_ = std::make_unique<WindowPresenter>(view_, list_);
    return *window_;
  }
  // Delivers the commands the window posted to itself, as its event loop would.
  std::vector<uint32_t> drain() {
    std::vector<uint32_t> all;
    for (auto posted = view_.take_posted(); !posted.empty(); posted = view_.take_posted())
      for (uint32_t id : posted) {
        all.push_back(id);
        window().on_command(id);
      }
    return all;
  }
  // The framed requests (report 11, 10 or 5) the card received, as command bytes.
  static std::vector<uint8_t> commands_sent(const sim::SimCard& card) {
    std::vector<uint8_t> out;
    for (const auto& r : card.reports_of(sim::ReportKind::Output))
      if (!r.empty() && (r[0] == 11 || r[0] == 10 || r[0] == 5)) out.push_back(r[2]);
    return out;
  }
  // The payloads of every request for command `cmd`.
  static std::vector<std::vector<uint8_t>> payloads_of(const sim::SimCard& card, uint8_t cmd) {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& r : card.reports_of(sim::ReportKind::Output))
      if (r.size() >= 8 && (r[0] == 11 || r[0] == 10) && r[2] == cmd) {
        const uint16_t len = static_cast<uint16_t>(r[4] | (r[5] << 8));
        out.emplace_back(r.begin() + 8, r.begin() + 8 + len);
      }
    return out;
  }

  SimClock clock_;
  sim::SimBackend backend_;
  qhidev_list list_;
  MemoryView view_;
  std::unique_ptr<WindowPresenter> window_;
};

}  // namespace kestrel::test
