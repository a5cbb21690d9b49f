#include "bootmode/boot_image.h"

#include <cstdio>

#include "devlink/frame.h"

namespace kestrel {

namespace {

constexpr size_t kHeaderBytes = 4;        // "CY", control byte, type
constexpr size_t kSectionHeadBytes = 8;   // length in words, address
// More sections than the boot ROM's memory could hold in 4-byte pieces means a corrupt list.
constexpr size_t kMaxSections = 4096;

std::string hex32(uint32_t v) {
  char b[12];
  std::snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

std::optional<BootImage> refuse(std::string* why, std::string text) {
  if (why) *why = std::move(text);
  return std::nullopt;
}

}  // namespace

bool boot_memory_holds(uint32_t address, uint64_t length) {
  for (const BootMemoryRange& r : BOOT_MEMORY) {
    if (address < r.first || address > r.last) continue;
    return length == 0 || static_cast<uint64_t>(address) + length - 1 <= r.last;
  }
  return false;
}

uint64_t BootImage::load_bytes() const {
  uint64_t n = 0;
  for (const BootSection& s : sections) n += s.bytes;
  return n;
}

std::optional<BootImage> parse_boot_image(std::span<const uint8_t> file, std::string* why) {
  if (file.size() < kHeaderBytes || file[0] != 'C' || file[1] != 'Y')
    return refuse(why, "not a boot image: it does not start with the CY signature");
  if (file[2] & BOOT_IMAGE_CONTROL_DATA)
    return refuse(why, "not executable: the image control byte (0x" + hex32(file[2]).substr(8) +
                           ") has bit 0 set, which marks a data image");
  if (file[3] != BOOT_IMAGE_TYPE)
    return refuse(why, "image type 0x" + hex32(file[3]).substr(8) + " is not a firmware image (0xB0)");

  BootImage img;
  uint32_t sum = 0;
  size_t at = kHeaderBytes;
  for (;;) {
    if (file.size() - at < kSectionHeadBytes)
      return refuse(why, "the file ends at offset " + std::to_string(file.size()) + " inside a section header");
    const uint32_t words = get_le32(file.data() + at);
    const uint32_t address = get_le32(file.data() + at + 4);
    at += kSectionHeadBytes;
    if (words == 0) {
      if (!boot_memory_holds(address, 0))
        return refuse(why, "the entry address " + hex32(address) + " is outside the controller's memory");
      img.entry = address;
      break;
    }
    const uint64_t bytes = static_cast<uint64_t>(words) * 4;
    if (bytes > file.size() - at)
      return refuse(why, "section " + std::to_string(img.sections.size() + 1) + " at " + hex32(address) + " holds " +
                             std::to_string(bytes) + " bytes, past the end of the file");
    if (!boot_memory_holds(address, bytes))
      return refuse(why, "section " + std::to_string(img.sections.size() + 1) + " (" + hex32(address) + ", " +
                             std::to_string(bytes) + " bytes) lies outside the controller's memory");
    if (img.sections.size() == kMaxSections) return refuse(why, "too many sections");
    img.sections.push_back({address, static_cast<uint32_t>(at), static_cast<uint32_t>(bytes)});
    for (size_t i = 0; i < bytes; i += 4) sum += get_le32(file.data() + at + i);
    at += bytes;
  }
  if (file.size() - at < 4) return refuse(why, "the file ends before the checksum");
  img.checksum = get_le32(file.data() + at);
  img.end = static_cast<uint32_t>(at + 4);
  if (img.checksum != sum)
    return refuse(why, "checksum mismatch: the image says " + hex32(img.checksum) + ", its sections sum to " + hex32(sum));
  if (img.sections.empty()) return refuse(why, "the image has no section to load");
  return img;
}

}  // namespace kestrel
