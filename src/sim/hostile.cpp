#include "sim/hostile.h"

#include <algorithm>

#include "devlink/frame.h"

namespace kestrel::sim {

void make_hostile(Scenario& scenario, const HostilePlan& plan) {
  if (plan.unplug_after_min == 0) return;
  std::mt19937_64 rng(plan.seed ^ 0x9E3779B97F4A7C15ull);
  const uint32_t hi = std::max(plan.unplug_after_min, plan.unplug_after_max);
  std::uniform_int_distribution<uint32_t> at(plan.unplug_after_min, hi);
  scenario.faults.at(StepKind::Transaction, at(rng), Fault::Unplug);
}

HostileChannel::HostileChannel(SimCard& card, const HostilePlan& plan) : card_(card), plan_(plan), rng_(plan.seed) {}

bool HostileChannel::chance(uint32_t percent) { return rng_() % 100 < percent; }

Handled HostileChannel::on_set_output(std::span<const uint8_t> report) {
  if (report.size() >= 3) {
    last_seq_ = report[1];
    last_cmd_ = report[2];
  }
  if (chance(plan_.flood_percent)) flood();
  return Handled::No;
}

Handled HostileChannel::on_set_feature(std::span<const uint8_t>) {
  if (chance(plan_.flood_percent)) flood();
  return Handled::No;
}

Handled HostileChannel::on_get_input(std::span<uint8_t> report) {
  if (report.empty() || !chance(plan_.lie_percent)) return Handled::No;
  return lie(report);
}

Handled HostileChannel::on_get_feature(std::span<uint8_t> report) {
  if (report.empty() || !chance(plan_.lie_percent)) return Handled::No;
  return lie(report);
}

// One hostile answer in place of the card's: the report ID the host asked for, then one of the
// lies below. Frames that carry a checksum carry a correct one over what the length claims (as
// far as the report reaches), so only the other fields can give them away.
Handled HostileChannel::lie(std::span<uint8_t> report) {
  ++lies_;
  const uint8_t rid = report[0];
  auto random_fill = [&] {
    for (size_t i = 1; i < report.size(); ++i) report[i] = static_cast<uint8_t>(rng_());
  };
  auto seal = [&](uint16_t len) {
    if (report.size() < FRAME_HDR) return;
    put_le16(report.data() + FRAME_LEN, len);
    put_le16(report.data() + FRAME_CSUM, 0);
    const size_t n = std::min<size_t>(FRAME_HDR + len, report.size());
    put_le16(report.data() + FRAME_CSUM, static_cast<uint16_t>(~frame_csum(report.data(), n)));
  };
  const uint16_t max_len = static_cast<uint16_t>(report.size() > FRAME_HDR ? report.size() - FRAME_HDR : 0);
  switch (rng_() % 7) {
    case 0:  // a stall: nothing for a long while, then a failed transfer
      ++stalls_;
      SimCard::delay_ms(plan_.stall_ms);
      return Handled::Fail;
    case 1:  // the length field at its maximum
      random_fill();
      if (report.size() >= FRAME_HDR) {
        report[FRAME_SEQ] = last_seq_;
        report[FRAME_CMD] = last_cmd_;
      }
      seal(0xFFFF);
      break;
    case 2:  // a length one past what the report holds, the rest right
      random_fill();
      if (report.size() >= FRAME_HDR) {
        report[FRAME_SEQ] = last_seq_;
        report[FRAME_CMD] = last_cmd_;
        report[FRAME_SUB] = 0;
      }
      seal(static_cast<uint16_t>(max_len + 1));
      break;
    case 3:  // a well-formed answer to another request: wrong sequence byte
      random_fill();
      if (report.size() >= FRAME_HDR) {
        report[FRAME_SEQ] = static_cast<uint8_t>(last_seq_ + 1 + rng_() % 255);
        report[FRAME_CMD] = last_cmd_;
        report[FRAME_SUB] = 0;
      }
      seal(static_cast<uint16_t>(rng_() % (max_len + 1)));
      break;
    case 4:  // a well-formed answer with a wrong command echo
      random_fill();
      if (report.size() >= FRAME_HDR) {
        report[FRAME_SEQ] = last_seq_;
        report[FRAME_CMD] = static_cast<uint8_t>(last_cmd_ ^ (1 + rng_() % 255));
        report[FRAME_SUB] = 0;
      }
      seal(static_cast<uint16_t>(rng_() % (max_len + 1)));
      break;
    case 5:  // a short length that still passes the sum
      random_fill();
      if (report.size() >= FRAME_HDR) {
        report[FRAME_SEQ] = last_seq_;
        report[FRAME_CMD] = last_cmd_;
        report[FRAME_SUB] = 0;
      }
      seal(static_cast<uint16_t>(rng_() % 4));
      break;
    default:  // noise
      random_fill();
      break;
  }
  report[0] = rid;
  return Handled::Ok;
}

// Reports of every kind the reader knows and some it does not, some sealed, with lengths that
// lie.
void HostileChannel::flood() {
  ++floods_;
  static constexpr uint8_t kIds[] = {2, 3, 8, 12, 1, 9, 0xFF};
  for (uint32_t i = 0; i < plan_.flood_reports; ++i) {
    std::vector<uint8_t> r(1 + rng_() % ASYNC_READ_SIZE);
    for (auto& b : r) b = static_cast<uint8_t>(rng_());
    r[0] = kIds[rng_() % std::size(kIds)];
    if (r.size() >= FRAME_HDR) {
      const uint16_t len = static_cast<uint16_t>(rng_() % 2 ? 0xFFFF : rng_() % (ASYNC_READ_SIZE + 8));
      put_le16(r.data() + FRAME_LEN, len);
      put_le16(r.data() + FRAME_CSUM, 0);
      const size_t n = std::min<size_t>(FRAME_HDR + len, r.size());
      put_le16(r.data() + FRAME_CSUM, static_cast<uint16_t>(~frame_csum(r.data(), n)));
    }
    card_.queue_interrupt(std::move(r));
  }
}

std::shared_ptr<HostileChannel> attach_hostile(SimCard& card, const HostilePlan& plan) {
  auto ch = std::make_shared<HostileChannel>(card, plan);
  card.add_channel_front(ch);
  return ch;
}

}  // namespace kestrel::sim
