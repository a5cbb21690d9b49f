// Puts every device of a backend under its card's claim (card_claim.h): each report call is one
// transaction of the claim, so a call made while another program upgrades the card is refused
// before it reaches the card, and the claim is there for the layers above to take for longer
// (an upgrade, a request with its answer).
//
//   ClaimingBackend claimed(hidraw, &node_claim_key);
//   platform::set_backend(&claimed);
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/hid_backend.h"

namespace kestrel::platform {

// The claim key of a device node: its device number ("hidraw-243-3"), the same for every
// program that opens the node; "" when the node cannot be looked at (no claim then).
std::string node_claim_key(const std::string& node);

class ClaimingBackend final : public HidBackend {
 public:
  // `key` names the card behind a node; "" leaves that device unclaimed.
  using KeyFn = std::function<std::string(const std::string& node)>;
  ClaimingBackend(HidBackend& inner, KeyFn key) : inner_(inner), key_(std::move(key)) {}

  bool enumerate(std::vector<HidInterfaceInfo>& out) override { return inner_.enumerate(out); }
  bool describe(const std::string& node, HidInterfaceInfo& out) override { return inner_.describe(node, out); }
  std::unique_ptr<HidDevice> open(const std::string& node, Access access, std::string* error = nullptr) override;
  std::unique_ptr<HidDevice> open_checked(const std::string& node, Access access, OpenFailure& why,
                                          std::string* error = nullptr) override;
  int hotplug_fd() override { return inner_.hotplug_fd(); }
  std::vector<HotplugEvent> drain_hotplug() override { return inner_.drain_hotplug(); }

 private:
  std::unique_ptr<HidDevice> claimed(const std::string& node, std::unique_ptr<HidDevice> dev);

  HidBackend& inner_;
  KeyFn key_;
};

}  // namespace kestrel::platform
