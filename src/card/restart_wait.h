// What the current card waits for after an upgrade that ended in "OK!": the card leaving the bus and
// coming back (a visible countdown meanwhile), or, for a card that keeps running its old firmware,
// the user's replug; then whether the card runs the image. The upgrade's end (UpgradeEnd) owns the
// wait and the verdict; the current card drives it from the front end's timer and its device
// changes, on the front end's thread, and shows it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "update/return_watch.h"
#include "update/upgrade_end.h"
#include "update/verify.h"

namespace kestrel {

struct UpgradeEndWait {
  // Leaving and Away follow the watch; WaitReplug: told "restart needed", the wait goes on,
  // without a limit, for the user's replug.
  enum class Phase : uint8_t { Idle, Leaving, Away, WaitReplug };
  Phase phase = Phase::Idle;
  std::shared_ptr<UpgradeEnd> end;  // while a phase other than Idle runs
  uint32_t shown_s = 0;                // the countdown's last second shown
  // Told the verdict and the card's text when the wait ends (the upgrade history's record).
  std::function<void(const VerifyReport& report, const std::string& version_after)> on_report;
};

// The user's words for a verdict, in the language of the active text table.
std::string upgrade_end_message(const VerifyReport& report, bool chinese);

}  // namespace kestrel
