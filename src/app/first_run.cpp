#include "app/first_run.h"

#include <sys/utsname.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "devlink/qhidev.h"

namespace kestrel {

namespace {

constexpr std::string_view kRuleFile = "70-kestrel.rules";

std::string card_at(const platform::HidInterfaceInfo& info) {
  char ids[32];
  std::snprintf(ids, sizeof ids, "%04x:%04x", info.vendor_id, info.product_id);
  return "a capture card (" + std::string(ids) + ") is connected at " + info.node;
}

}  // namespace

NoCardDiagnosis diagnose_no_card(platform::HidBackend& backend, const KernelFacts& kernel) {
  NoCardDiagnosis d;
  std::vector<platform::HidInterfaceInfo> present;
  if (!backend.enumerate(present)) {
    d.reason = NoCardReason::CannotList;
    d.text = "no card found: the HID devices cannot be listed (/sys/class/hidraw cannot be read).";
    return d;
  }
  const platform::HidInterfaceInfo* card = nullptr;
  for (const platform::HidInterfaceInfo& info : present)
    if (qhidev_filter_match(info.path, nullptr) != 0) {
      card = &info;
      break;
    }
  if (!card) {
    d.reason = NoCardReason::NoDevice;
    d.text =
        "no card found: no capture card is connected (no HID interface with a card's vendor and product ID). "
        "Check the USB cable and the card's power; lsusb lists what is connected.";
    return d;
  }
  if (std::optional<NoCardDiagnosis> why = diagnose_card(backend, *card, kernel)) {
    why->text = "no usable card: " + why->text;
    return *why;
  }
  d.reason = NoCardReason::Unknown;
  d.node = card->node;
  d.text = "no usable card: " + card_at(*card) + ", and it opens, but Kestrel could not use it. The log says more.";
  return d;
}

std::optional<NoCardDiagnosis> diagnose_card(platform::HidBackend& backend, const platform::HidInterfaceInfo& info,
                                             const KernelFacts& kernel) {
  NoCardDiagnosis d;
  d.node = info.node;
  const std::string release = kernel.release.empty() ? std::string("this kernel") : "kernel " + kernel.release;
  if (!kernel.report_ioctls) {
    d.reason = NoCardReason::KernelTooOld;
    d.text = card_at(info) + ", but " + release +
             " is older than 5.11 and lacks the hidraw report calls Kestrel needs. Upgrade the kernel.";
    return d;
  }
  platform::OpenFailure why = platform::OpenFailure::None;
  std::string error;
  if (backend.open_checked(info.node, platform::Access::ReadWrite, why, &error)) return std::nullopt;
  switch (why) {
    case platform::OpenFailure::Permission:
      d.reason = NoCardReason::Permission;
      d.text = card_at(info) + ", but this user may not open it. The udev rule " + std::string(kRuleFile) +
               " gives the user at the seat access: install it in /usr/lib/udev/rules.d (the kestrel package "
               "does), then unplug the card and plug it in again.";
      break;
    case platform::OpenFailure::Unsupported:
      d.reason = NoCardReason::KernelTooOld;
      d.text = card_at(info) + ", but " + release +
               " lacks the hidraw report calls Kestrel needs (they came with Linux 5.11). Upgrade the kernel.";
      break;
    case platform::OpenFailure::NotFound:
      d.reason = NoCardReason::NodeMissing;
      d.text = card_at(info) + ", but that node does not exist (in a container, pass the device through).";
      break;
    default:
      d.reason = NoCardReason::Unknown;
      d.text = card_at(info) + ", but it cannot be opened" + (error.empty() ? std::string() : " (" + error + ")") +
               ". The log says more.";
  }
  return d;
}

std::string_view no_card_reason_name(NoCardReason reason) {
  switch (reason) {
    case NoCardReason::CannotList: return "cannot-list";
    case NoCardReason::NoDevice: return "no-device";
    case NoCardReason::Permission: return "permission";
    case NoCardReason::KernelTooOld: return "kernel-too-old";
    case NoCardReason::NodeMissing: return "node-missing";
    case NoCardReason::Unknown: break;
  }
  return "unknown";
}

std::string running_kernel_release() {
  utsname u{};
  return ::uname(&u) == 0 ? std::string(u.release) : std::string();
}

}  // namespace kestrel
