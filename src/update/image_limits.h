// What a transfer path may write, judged on the loaded image before anything reaches the card.
//
// The HID download numbers its erase blocks in one byte and its pages in two: an image longer
// than the numbers reach wraps round to block 0, where the USB controller's own firmware lives,
// and a card so written comes back in boot mode. A USB-controller image must also be one the
// controller's boot ROM would start (the checks a rescue makes); the bytes after the boot image
// (a board's trailer) are left to the board's own check.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kestrel {

enum class UpgradePath : uint8_t;

// The HID download's regions: the controller image in blocks 0-3; the FPGA logic from block 4,
// its size page at 0x400 and its data from page 0x401 up to page 0xFFFF (block 255).
constexpr uint32_t DL_USB_IMAGE_MAX = 4u * 65536u;
constexpr uint32_t DL_FPGA_IMAGE_MAX = (0xFFFFu - 0x0400u) * 256u;

// "" when `image` of `kind` (1 FPGA, 2 USB controller) may go through `path`; else a line for
// the user naming the file, the limit and the size. `path` None: the path is not known yet, and
// only what holds on every path is judged (the boot image's structure).
std::string upgrade_image_refusal(UpgradePath path, uint16_t kind, const std::string& file,
                                  std::span<const uint8_t> image);

}  // namespace kestrel
