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
#include "bootmode/boot_port.h"
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
// Of the card interfaces that appeared since the start (`fresh`), the one the started controller
// became: the card on the boot device's own USB port. A card on another port is another card
// plugged in meanwhile and never chosen. A card on no USB port at all (a virtual HID device) is
// chosen only when it is the one such card and none came on the port. Its index, or nullopt.
std::optional<size_t> rescue_pick_card(const std::vector<platform::HidInterfaceInfo>& fresh, const std::string& boot_port);

// Waits up to `timeout_ms` (on kestrel's clock) for the card the controller at `boot_port`
// became: a card interface whose node is not in `before`, chosen by rescue_pick_card. The
// interface, or nullopt on time-out or stop.
std::optional<platform::HidInterfaceInfo> rescue_wait_for_card(const std::vector<std::string>& before,
                                                                const std::string& boot_port, uint32_t timeout_ms,
                                                                const CardWaitHooks& hooks = {});

// The device a user named among those in boot mode: `given` is its index in the list or its USB
// port path ("1-3.2"); "" chooses the only one. nullopt with `why` when there are none, when the
// name matches none, or when several are present and none was named (a load written into the
// wrong controller is not undone).
std::optional<size_t> rescue_choose_device(const std::vector<BootDeviceInfo>& found, const std::string& given,
                                           std::string* why);

}  // namespace kestrel
