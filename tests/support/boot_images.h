// Boot images as the USB controller's boot ROM loads them, built from a few lines of description:
// sections (address and bytes), the entry, and fields to spoil for the refusal cases. A card's
// firmware carries the card's info text inside a section, as test::usb_image places it.
//
//   test::BootImageSpec s;  s.sections = {{0x40000000, test::words(64)}};  auto img = test::boot_image(s);
//   auto fw = test::card_boot_image(test::tagged("TB610R-1CH", 10000));
#pragma once

#include <cstdint>
#include <vector>

#include "devlink/frame.h"
#include "support/test_images.h"

namespace kestrel::test {

struct BootSectionSpec {
  uint32_t address;
  std::vector<uint8_t> bytes;  // padded with zeros to a whole word
};

struct BootImageSpec {
  std::vector<BootSectionSpec> sections;
  uint32_t entry = 0x40000000;
  uint8_t control = 0x00;         // bit 0 set: a data image
  uint8_t type = 0xB0;
  int32_t checksum_adjust = 0;    // added to the true checksum
  std::vector<uint8_t> trailer;   // bytes after the checksum
};

// `n` words of a pattern.
inline std::vector<uint8_t> words(uint32_t n, uint8_t seed = 0x11) {
  std::vector<uint8_t> b(n * 4);
  for (uint32_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 13u + seed);
  return b;
}

inline std::vector<uint8_t> boot_image(const BootImageSpec& s) {
  std::vector<uint8_t> out = {'C', 'Y', s.control, s.type};
  uint32_t sum = 0;
  uint8_t w[4];
  auto put = [&](uint32_t v) {
    put_le32(w, v);
    out.insert(out.end(), w, w + 4);
  };
  for (const BootSectionSpec& sec : s.sections) {
    std::vector<uint8_t> bytes = sec.bytes;
    bytes.resize((bytes.size() + 3) / 4 * 4, 0);
    put(static_cast<uint32_t>(bytes.size() / 4));
    put(sec.address);
    out.insert(out.end(), bytes.begin(), bytes.end());
    for (size_t i = 0; i < bytes.size(); i += 4) sum += get_le32(bytes.data() + i);
  }
  put(0);
  put(s.entry);
  put(sum + static_cast<uint32_t>(s.checksum_adjust));
  out.insert(out.end(), s.trailer.begin(), s.trailer.end());
  return out;
}

// A card's firmware: a little code in code RAM and the body (with the info text of `card`) in
// system RAM, entry at the start of system RAM.
inline std::vector<uint8_t> card_boot_image(const UsbImageSpec& card = {}) {
  BootImageSpec s;
  s.sections = {{0x00000100, words(64, 0x3C)}, {0x40000000, usb_image(card)}};
  return boot_image(s);
}

}  // namespace kestrel::test
