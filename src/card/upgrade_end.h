// What the current card waits for after an upgrade that ended in "OK!": the card leaving the bus and
// coming back (a visible countdown meanwhile), or, for a card that keeps running its old firmware,
// the user's replug; then whether the card runs the image. Driven by the front end's timer and its
// device changes, on the front end's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "update/verify.h"

namespace kestrel {

struct UpgradeEndWait {
  enum class Phase : uint8_t { Idle, Leaving, Away, WaitReplug };
  Phase phase = Phase::Idle;
  uint16_t kind = 0;
  std::optional<ImageVersion> image;
  std::string path;        // the card's interface path when the upgrade ended
  uint16_t vendor_id = 0, product_id = 0;
  std::string port;                 // its USB port path ("" when unknown)
  std::vector<std::string> others;  // the other cards' interfaces listed then: never taken for it
  uint64_t since_ns = 0;   // start of the current phase
  uint32_t shown_s = 0;    // the countdown's last second shown
  // Back, but its open refused because udev has not yet made its node or given the seat's user
  // access to it: when the refusals began and when the open was last tried (0: not refused).
  uint64_t refused_since_ns = 0;
  uint64_t refused_try_ns = 0;
  // Told the verdict and the card's text when the wait ends (the upgrade history's record).
  std::function<void(const VerifyReport& report, const std::string& version_after)> on_report;
};

// The user's words for a verdict, in the language of the active text table.
std::string upgrade_end_message(const VerifyReport& report, bool chinese);

}  // namespace kestrel
