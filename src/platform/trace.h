// A backend decorator that writes every report crossing the seam to a stream, one line each:
// direction, report kind and ID, size, the bytes in hex. What an engineer reads when a card
// misbehaves, on real and simulated cards alike.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "platform/hid_backend.h"

namespace kestrel::platform {

class TracingBackend final : public HidBackend {
 public:
  // `inner` is not owned; `out` receives the lines (standard error for the front ends).
  TracingBackend(HidBackend& inner, FILE* out) : inner_(inner), out_(out) {}
  // Ends every line with " @NODE", the card it crossed to or from: for runs on several cards at
  // once, whose lines interleave.
  void name_cards(bool on) { name_cards_ = on; }

  bool enumerate(std::vector<HidInterfaceInfo>& out) override { return inner_.enumerate(out); }
  bool describe(const std::string& node, HidInterfaceInfo& out) override { return inner_.describe(node, out); }
  std::unique_ptr<HidDevice> open(const std::string& node, Access access, std::string* error = nullptr) override;
  std::unique_ptr<HidDevice> open_checked(const std::string& node, Access access, OpenFailure& why,
                                          std::string* error = nullptr) override;
  int hotplug_fd() override { return inner_.hotplug_fd(); }
  std::vector<HotplugEvent> drain_hotplug() override { return inner_.drain_hotplug(); }

 private:
  HidBackend& inner_;
  FILE* out_;
  bool name_cards_ = false;
};

// One trace line: "<dir> <kind> id=<n> size=<n> <hex>", e.g. "> output id=11 size=265 0b 05 ...".
// A failed call is written with "failed" in place of the bytes.
// `card`, when not empty, ends the line as " @card".
void trace_line(FILE* out, char dir, const char* kind, std::span<const uint8_t> bytes, bool ok,
                const std::string& card = {});

}  // namespace kestrel::platform
