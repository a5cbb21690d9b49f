// A simulated card ready for a test: a SimBackend with one card, the backend installed as the
// process's backend, the card opened and current in a device list of the fixture's own, a host
// link on that list, and simulated time (a SimClock) for the fixture's lifetime.
//
//   test::SimFixture f("TB610R-1CH");           // or f(scenario), or f() for meadow
//   f.link.transact_long(CMD_WORK_STATUS, ...);
//   EXPECT_EQ(f.card->reports_of(sim::ReportKind::Output).back(), ...);
//
// The link flags are those an attach would give the card (see attach_flags); set
// f.dev().link_flags to test something else. Link with kestrel_sim.
#pragma once

#include <array>
#include <memory>
#include <span>
#include <string_view>

#include "devlink/hid_link.h"
#include "devlink/qhidev.h"
#include "log/clock.h"
#include "platform/hid_backend.h"
#include "sim/sim_backend.h"

namespace kestrel::test {

class SimFixture {
 public:
  explicit SimFixture(const sim::Scenario& scenario) { start(scenario); }
  explicit SimFixture(std::string_view board = "meadow") { start(*sim::make_scenario(board)); }
  ~SimFixture() {
    list.current = nullptr;
    for (auto& item : list.items) item.reset();
    platform::set_backend(nullptr);
    clock_set_source(nullptr);
    clock_init();
  }
  SimFixture(const SimFixture&) = delete;
  SimFixture& operator=(const SimFixture&) = delete;

  // The link flags an attach gives a card of this scenario: what the event record (feature
  // report 1, else command 1) and the status block (report 4, else command 4) show.
  static uint16_t attach_flags(const sim::Scenario& s) {
    uint16_t f = 0;
    if (s.feature_event) f |= s.capabilities & 0x3B;
    if (s.feature_event && (s.capabilities & sim::CAP_STATUS_RPT)) f |= QHIDEV_F_STATUS_RPT;
    if (!(f & QHIDEV_F_ECHO2) && !s.old_answers) f |= QHIDEV_F_ECHO2 | (s.capabilities & 0x7A);
    if (!(f & QHIDEV_F_STATUS_RPT)) f |= s.status_query ? QHIDEV_F_STATUS_CMD : QHIDEV_F_STATUS_FAIL;
    return f;
  }

  qhidev& dev() { return *list.items[0]; }
  // Opens the card again (after a re-plug) in the same list entry.
  bool reopen() {
    dev().handle = std::shared_ptr<platform::HidDevice>(backend.open(dev().node, platform::Access::ReadWrite));
    list.current = dev().handle ? &dev() : nullptr;
    return dev().handle != nullptr;
  }

  SimClock clock;
  sim::SimBackend backend;
  std::shared_ptr<sim::SimCard> card;
  qhidev_list list;
  HidLink link{list};
  // Two pages: command 4 through board_status_read builds its request in the second.
  alignas(4096) std::array<uint8_t, 8192> pages{};
  std::span<uint8_t> page() { return std::span<uint8_t>(pages).first(4096); }

 private:
  void start(const sim::Scenario& scenario) {
    clock_set_source(&clock);
    clock_init();
    card = backend.add_card(scenario);
    backend.drain_hotplug();
    platform::set_backend(&backend);
    auto d = std::make_unique<qhidev>();
    d->owner = &list;
    d->path = backend.path_of(0);
    d->node = sim::SimBackend::node_of(0);
    d->name = scenario.product + " - " + d->path.substr(d->path.find("mi_"), d->path.find("#{") - d->path.find("mi_"));
    d->link_flags = attach_flags(scenario);
    d->attributes = {scenario.vendor_id, scenario.product_id, scenario.release};
    d->caps = {265, 265, 261};
    list.items[0] = std::move(d);
    list.count = 1;
    reopen();
  }
};

}  // namespace kestrel::test
