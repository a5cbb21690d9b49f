// Sample upgrade images for a simulated card, so that "simulate a card and upgrade it" needs no
// real image: a USB-controller image the controller would start and the match check finds suits
// the board, and an FPGA bitstream with its sync word.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::sim {

inline constexpr const char* SAMPLE_VERSION = "V9.9.9";

// A boot image ("CY", one section in system RAM, entry, checksum) whose section holds the info
// text "BOARD:V9.9.9 build <stamp> GCC: ...", followed by the 16-byte trailer ("ZHHH", length,
// CRC word) that some boards check; 64 KiB in all.
std::vector<uint8_t> sample_usb_image(const std::string& board);
// A bitstream of `size` bytes that starts with the configuration sync word AA 99 55 66.
std::vector<uint8_t> sample_fpga_image(uint32_t size = 256 * 1024);

}  // namespace kestrel::sim
