// A look at a file before it is written as FPGA logic. FPGA images never meet the match check, so
// without this any file (a text file, a controller image) would be written into the logic's flash
// and the card would come up without its logic. Every configuration bitstream carries one of a
// few marks near its start: the header of a .bit file, or the configuration sync word.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kestrel {

// The size window of a plausible bitstream: the smallest the HID path's header and first page
// need, and the largest QSPI flash these cards carry.
constexpr uint32_t FPGA_IMAGE_MIN = 16;
constexpr uint32_t FPGA_IMAGE_MAX = 32u << 20;
// The marks are looked for in this many leading bytes (a raw .bin pads before its sync word).
constexpr uint32_t FPGA_MARK_WINDOW = 4096;

struct FpgaImageCheck {
  bool ok = false;
  std::string mark;    // what was found: "bit header", "sync word AA995566", ...
  std::string reason;     // why it was refused, for the user
  std::string reason_zh;  // the same in Chinese, for the window under the Chinese table
};

FpgaImageCheck check_fpga_image(std::span<const uint8_t> data);

}  // namespace kestrel
