// Why no card is there to work with, as far as Kestrel can tell: the first thing a technician
// sees after installing it. kestrelctl list and the desktop program both ask it when they find
// no usable card, and say what it found; kestrelctl list also checks each card it lists, since a
// card whose node this user may not open is listed all the same.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/hid_backend.h"

namespace kestrel {

enum class NoCardReason {
  CannotList,    // the HID devices cannot be listed at all
  NoDevice,      // no HID interface of a known card is present
  Permission,    // a card's node is there, but this user may not open it (no udev rule)
  KernelTooOld,  // a card is there, but the kernel lacks the hidraw report calls (before 5.11)
  NodeMissing,   // a card is listed by sysfs, but its /dev node is not there
  Unknown,       // a card is there and opens; what went wrong is in the log
};

struct NoCardDiagnosis {
  NoCardReason reason = NoCardReason::Unknown;
  std::string node;  // the card's node, when a card was found
  std::string text;     // for the user, after "kestrelctl: " or "kestrel: ": what was found, what to do
  std::string text_zh;  // the same in Chinese, for the desktop program's Chinese texts
};

struct KernelFacts {
  std::string release;         // "6.1.0-13-amd64"; empty when unknown
  bool report_ioctls = true;   // platform::kernel_has_report_ioctls(release)
};

// Whether the card at `info` can be opened for reading and writing (it is closed again at once);
// nullopt when it can. The text starts "a capture card (28e9:6912) is connected at /dev/hidraw4,
// but". Not for a simulated card: the kernel facts are about the hidraw nodes.
std::optional<NoCardDiagnosis> diagnose_card(platform::HidBackend& backend, const platform::HidInterfaceInfo& info,
                                             const KernelFacts& kernel);

// Looks at the present HID interfaces: the first that is a card's (by the device-path filter) is
// opened for reading and writing, and closed again, to see whether it could be used.
NoCardDiagnosis diagnose_no_card(platform::HidBackend& backend, const KernelFacts& kernel);

// The short name of a reason, for --json output: "no-device", "permission", ...
std::string_view no_card_reason_name(NoCardReason reason);

// The running kernel's release (uname), empty when it cannot be read.
std::string running_kernel_release();

}  // namespace kestrel
