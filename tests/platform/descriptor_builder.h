// Report descriptors for fixtures: one vendor-page application collection holding byte-array
// reports, as a card's vendor HID interface declares them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/hid_descriptor.h"

namespace kestrel::test {

struct ReportSpec {
  platform::ReportKind kind;
  uint8_t id;       // 1..255
  uint16_t length;  // bytes with the ID byte, 2..4097
};

inline std::vector<uint8_t> vendor_descriptor(std::initializer_list<ReportSpec> reports) {
  std::vector<uint8_t> d = {
      0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x15, 0x00,        // Logical Minimum (0)
      0x26, 0xFF, 0x00,  // Logical Maximum (255)
      0x75, 0x08,        // Report Size (8)
  };
  static constexpr uint8_t kMain[3] = {0x81, 0x91, 0xB1};  // Input, Output, Feature
  for (const ReportSpec& r : reports) {
    const uint16_t count = static_cast<uint16_t>(r.length - 1);
    d.insert(d.end(), {0x85, r.id,                                                        // Report ID
                       0x96, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),  // Report Count
                       0x09, 0x01,                                                        // Usage (1)
                       kMain[static_cast<int>(r.kind)], 0x02});  // Data, Variable, Absolute
  }
  d.push_back(0xC0);  // End Collection
  return d;
}

// The reports a card's interface declares: answer 9 and request 11 of 265 bytes, short request
// 10 of 63, status 4 of 191, features 1 and 7 of 261.
inline std::vector<uint8_t> card_descriptor() {
  using platform::ReportKind;
  return vendor_descriptor({{ReportKind::Input, 9, 265},
                            {ReportKind::Input, 4, 191},
                            {ReportKind::Input, 6, 264},
                            {ReportKind::Output, 11, 265},
                            {ReportKind::Output, 10, 63},
                            {ReportKind::Output, 7, 264},
                            {ReportKind::Feature, 1, 261},
                            {ReportKind::Feature, 7, 261}});
}

}  // namespace kestrel::test
