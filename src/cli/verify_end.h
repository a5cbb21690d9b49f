// The end of a kestrelctl upgrade: wait for the card to restart and tell whether it runs the
// image (verified), runs another version (not verified) or still runs its old firmware and needs
// a replug or power cycle (not yet verified).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/session.h"
#include "update/verify.h"

namespace kestrel::cli {

struct EndWait {
  // --wait-restart: how long to wait for the user to replug a card that needs it (seconds).
  std::optional<uint32_t> replug_s;
};

// After "OK!": waits (bounded, with a countdown on a terminal) for the card to leave the bus and
// come back, attaches it again and judges what it reports. Fills "verified", "verify" and
// "version_after" of the JSON document.
VerifyReport verify_upgrade_end(Session& s, uint16_t kind, const std::optional<ImageVersion>& image, const EndWait& wait);

}  // namespace kestrel::cli
