// A hostile card: the simulated card with a channel in front of it that, from a seeded random
// source, answers with maximal and inconsistent lengths, wrong command echoes and sequence bytes,
// floods the interrupt pipe, stalls, and leaves the bus at a random step. What it answers
// truthfully comes from the card behind it, so a host that checks every answer still works with
// it some of the time, and a host that believes a lie shows it.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "sim/card.h"
#include "sim/channel.h"
#include "sim/scenario.h"

namespace kestrel::sim {

struct HostilePlan {
  uint64_t seed = 1;
  uint32_t lie_percent = 25;      // answers (input and feature gets) replaced by a hostile one
  uint32_t flood_percent = 10;    // requests after which the interrupt pipe is flooded
  uint32_t flood_reports = 64;    // reports queued per flood
  uint32_t stall_ms = 3000;       // how long a stalled answer is held before it fails
  uint32_t unplug_after_min = 0;  // 0: never unplugs; else it leaves the bus at a transaction
  uint32_t unplug_after_max = 0;  //    drawn from [min, max]
};

// Adds the plan's unplug to the scenario's fault plan (the card must be made from it afterwards).
void make_hostile(Scenario& scenario, const HostilePlan& plan);

class HostileChannel : public SimChannel {
 public:
  HostileChannel(SimCard& card, const HostilePlan& plan);

  Handled on_set_output(std::span<const uint8_t> report) override;
  Handled on_get_input(std::span<uint8_t> report) override;
  Handled on_set_feature(std::span<const uint8_t> report) override;
  Handled on_get_feature(std::span<uint8_t> report) override;

  // What it did, for tests that want to know the card was hostile at all.
  uint32_t lies() const { return lies_; }
  uint32_t stalls() const { return stalls_; }
  uint32_t floods() const { return floods_; }

 private:
  bool chance(uint32_t percent);
  Handled lie(std::span<uint8_t> report);
  void flood();

  SimCard& card_;
  HostilePlan plan_;
  std::mt19937_64 rng_;
  uint8_t last_seq_ = 0;
  uint8_t last_cmd_ = 0;
  uint32_t lies_ = 0, stalls_ = 0, floods_ = 0;
};

// Adds a hostile channel in front of every other channel of `card` and returns it.
std::shared_ptr<HostileChannel> attach_hostile(SimCard& card, const HostilePlan& plan);

}  // namespace kestrel::sim
