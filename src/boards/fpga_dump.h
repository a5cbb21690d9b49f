// The FPGA status dump (board_control code 13): the FPGA's register bank at I2C device 0x10, read
// one register at a time, decoded board by board into the log and hex-dumped after.
#pragma once

#include <cstddef>
#include <cstdint>

#include "boards/board.h"

namespace kestrel {

constexpr uint8_t FPGA_I2C_DEVICE = 0x10;
constexpr uint32_t FPGA_DUMP_REGS = 0x70;   // 0x00..0x6F: every dump but TB720V-2CH's
constexpr uint32_t FPGA_WIDE_REGS = 0xA0;   // 0x00..0x9F: the TB720V-2CH dump and the save files
constexpr uint32_t FPGA_IMAGE_ALIGN = 256;  // the image sits at the first 256-byte boundary of out

// Room a caller's out buffer needs for the image of `regs` registers wherever the buffer starts.
constexpr uint32_t fpga_dump_out_size(uint32_t regs) { return regs + FPGA_IMAGE_ALIGN - 1; }

// Little-endian and big-endian views of a register image, as the dumps and files combine them.
struct FpgaImage {
  const uint8_t* r;
  uint32_t le16(size_t a) const { return r[a] | (r[a + 1] << 8); }
  uint32_t le24(size_t a) const { return le16(a) | (static_cast<uint32_t>(r[a + 2]) << 16); }
  uint32_t le32(size_t a) const { return le24(a) | (static_cast<uint32_t>(r[a + 3]) << 24); }
  uint32_t be16(size_t a) const { return (r[a] << 8) | r[a + 1]; }
  uint32_t bit(size_t a, unsigned n) const { return (r[a] >> n) & 1u; }
};

// Frame geometry of the capture: colour code 0 RGB24, 1 YUV422, 2 NV12.
struct FpgaGeometry {
  uint32_t colour;  // the code as used (an invalid one counts as YUV422)
  uint32_t total;   // 32-bit words of one frame
  uint16_t nref;    // total / 4093
  uint16_t tail;    // total mod 4093
};
constexpr uint32_t FPGA_PACKET_WORDS = 4093;  // lpkt
constexpr uint32_t FPGA_BUFFER_SIZE = 0x4000;  // bsize
FpgaGeometry fpga_geometry(uint32_t width, uint32_t height, uint8_t colour_code);

// Logs the geometry lines for W x H in the image's colour (register 0x34), and the invalid-colour
// line first when the code is not 0, 1 or 2.
void fpga_geometry_lines(const FpgaImage& img, uint32_t width, uint32_t height);

namespace boards {

// Code 13 for the board of `entry`: false for a board without a dump, else true. When `size`
// says that `out` holds fpga_dump_out_size(registers read) bytes, out receives the register image
// at its first 256-byte boundary; otherwise (out null, or smaller) the dump works in a buffer of
// its own and out is left alone.
bool fpga_dump(const BoardEntry& entry, BoardContext& ctx, uint32_t size, void* out);

}  // namespace boards
}  // namespace kestrel
