#include "update/transfer_steps.h"

#include <algorithm>

namespace kestrel {

namespace {

constexpr uint64_t kWhole = 10'000;  // hundredths of a percent

uint64_t pack(UpgradePhase phase, uint64_t hundredths, uint64_t percent) {
  return static_cast<uint64_t>(phase) << 56 | std::min<uint64_t>(percent, 0xFFFF) << 32 |
         std::min<uint64_t>(hundredths, 0xFFFFFFFF);
}

}  // namespace

const char* upgrade_phase_name(UpgradePhase phase) {
  switch (phase) {
    case UpgradePhase::Erase: return "erase";
    case UpgradePhase::Write: return "write";
    case UpgradePhase::Verify: return "verify";
    case UpgradePhase::Restart: return "restart";
  }
  return "?";
}

TransferSteps::TransferSteps(std::span<const TransferStep> steps)
    : steps_(steps), now_(pack(steps.empty() ? UpgradePhase::Erase : steps.front().phase, 0, 0)) {}

TransferSteps::Weights TransferSteps::weights_of(UpgradePhase phase) const {
  Weights w;
  for (const TransferStep& s : steps_) {
    if (s.phase == phase && !w.declared) {
      w.declared = true;
      w.own = s.weight;
    } else {
      (w.declared ? w.after : w.before) += s.weight;
    }
  }
  return w;
}

void TransferSteps::store(UpgradePhase phase, uint64_t hundredths, uint64_t percent) {
  now_.store(pack(phase, hundredths, percent), std::memory_order_relaxed);
}

void TransferSteps::done(UpgradePhase phase, uint64_t count, uint64_t total) {
  const Weights w = weights_of(phase);
  if (!w.declared) return;
  if (w.all() == 0) return store(phase, kWhole, 100);
  const uint64_t share = total == 0 ? kWhole : static_cast<uint64_t>(static_cast<unsigned __int128>(count) * kWhole / total);
  const uint64_t hundredths = static_cast<uint64_t>((static_cast<unsigned __int128>(w.before) * kWhole + w.own * share) / w.all());
  store(phase, hundredths, hundredths / 100);
}

void TransferSteps::left(UpgradePhase phase, uint64_t count, uint64_t total) {
  const Weights w = weights_of(phase);
  if (!w.declared) return;
  if (w.all() == 0) return store(phase, kWhole, 100);
  // What is left, in hundredths, rounded down in one division: the percent is then 100 less what
  // is left in whole percents, exactly.
  const unsigned __int128 num = total == 0 ? static_cast<unsigned __int128>(w.after) * kWhole
                                           : (static_cast<unsigned __int128>(w.own) * count +
                                              static_cast<unsigned __int128>(w.after) * total) * kWhole;
  const unsigned __int128 den = total == 0 ? w.all() : static_cast<unsigned __int128>(w.all()) * total;
  const uint64_t rest = static_cast<uint64_t>(std::min<unsigned __int128>(num / den, kWhole));
  store(phase, kWhole - rest, 100 - rest / 100);
}

void TransferSteps::enter(UpgradePhase phase) {
  if (!weights_of(phase).declared) return;
  store(phase, hundredths(), static_cast<uint64_t>(percent()));
}

UpgradePhase TransferSteps::phase() const {
  return static_cast<UpgradePhase>(now_.load(std::memory_order_relaxed) >> 56);
}

uint32_t TransferSteps::hundredths() const {
  return static_cast<uint32_t>(now_.load(std::memory_order_relaxed) & 0xFFFFFFFF);
}

int TransferSteps::percent() const {
  return static_cast<int>((now_.load(std::memory_order_relaxed) >> 32) & 0xFFFF);
}

}  // namespace kestrel
