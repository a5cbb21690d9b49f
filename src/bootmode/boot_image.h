// The USB controller's boot image as its boot ROM loads it: "CY", the image control byte (bit 0
// clear: executable code), the image type 0xB0, then sections of (length in 32-bit words, load
// address, words), a zero-length section whose address is the program entry, and a 32-bit
// checksum, the sum of all section words modulo 2^32. Bytes after the checksum (the trailer some
// boards append for their own integrity test) are not part of the boot image.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

// The controller's memory the boot ROM writes into: code RAM, data RAM and system RAM.
struct BootMemoryRange {
  uint32_t first;
  uint32_t last;  // inclusive
};
inline constexpr BootMemoryRange BOOT_MEMORY[] = {
    {0x00000000, 0x00003FFF},
    {0x10000000, 0x10001FFF},
    {0x40000000, 0x4007FFFF},
};
// True when [address, address + length) lies inside one of the ranges (length 0: the address).
bool boot_memory_holds(uint32_t address, uint64_t length);

inline constexpr uint8_t BOOT_IMAGE_CONTROL_DATA = 0x01;  // control byte bit 0: data, not code
inline constexpr uint8_t BOOT_IMAGE_TYPE = 0xB0;          // the normal firmware image type

struct BootSection {
  uint32_t address = 0;
  uint32_t offset = 0;  // where its words start in the file
  uint32_t bytes = 0;   // 4 x its length in words
};

struct BootImage {
  std::vector<BootSection> sections;  // without the closing zero-length section
  uint32_t entry = 0;
  uint32_t checksum = 0;
  uint32_t end = 0;  // file offset just past the checksum
  uint64_t load_bytes() const;
};

// The image, or nullopt with `why` saying in a line for the user what is wrong with it (and at
// which offset). Nothing in the file is trusted: every length is checked against the file and
// every section against the controller's memory before anything is sent.
std::optional<BootImage> parse_boot_image(std::span<const uint8_t> file, std::string* why = nullptr);

}  // namespace kestrel
