// The steps of a rescue that the command line and the desktop program share: the image file
// read and judged, the cards present before the load, and the bounded wait for the card the
// started firmware brings up.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bootmode/boot_image.h"
#include "platform/hid_backend.h"
#include "update/image_file.h"

namespace kestrel {

// How long a started firmware may take to come back as a card: the controller re-enumerates in
// well under a second, the card's own start-up (FPGA load) takes a few more.
constexpr uint32_t RESCUE_CARD_WAIT_MS = 30000;
constexpr uint32_t RESCUE_POLL_MS = 100;

struct RescueImage {
  ImageFile file;
  BootImage boot;
  std::string info;  // the card's info text inside the image ("TB610R-1CH:V2.0... build ..."), or ""
};

// Reads and judges the file. nullopt with `why` ("PATH: <reason>") when it cannot be read or is
// not a loadable boot image; `unreadable` (if given) tells the first case from the second.
std::optional<RescueImage> rescue_image_load(const std::string& path, std::string* why, bool* unreadable = nullptr);

// The nodes of the card interfaces listed now.
std::vector<std::string> rescue_cards_present();

struct CardWaitHooks {
  std::function<void(uint32_t left_ms)> tick;  // every poll
  std::function<bool()> stop;                  // true ends the wait early
};
// Waits up to `timeout_ms` (on kestrel's clock) for a card interface whose node is not in
// `before`. The interface, or nullopt on time-out or stop.
std::optional<platform::HidInterfaceInfo> rescue_wait_for_card(const std::vector<std::string>& before, uint32_t timeout_ms,
                                                                const CardWaitHooks& hooks = {});

}  // namespace kestrel
