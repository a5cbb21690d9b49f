#include "boards/register_file.h"

#include <cstring>

#include "boards/reg_access.h"

namespace kestrel {
namespace {

constexpr ReceiverMap kReceiverMaps[RECEIVER_MAP_COUNT] = {
    {"io", 0x20},   {"cp", 0x22},   {"sdp", 0x48},  {"sdp io", 0x4A}, {"hdmi", 0x34},   {"afe", 0x26},
    {"rep", 0x32},  {"vdp", 0x24},  {"info", 0x3E}, {"avlink", 0x42}, {"cec", 0x40},    {"edid", 0x36},
};

// Words of the file, by first register.
constexpr size_t F_VERSION = 0x60, F_RATE = 0x30, F_VINP = 0x36, F_SCIN = 0x3A, F_SCOUT = 0x3E, F_CH2 = 0x40;
constexpr size_t F_VIEW_W = 0x1C, F_VIEW_H = 0x1A, F_FRAMERATE = 0x1E, F_CH2_VIEW_A = 0x0C, F_CH2_VIEW_B = 0x0E;
constexpr size_t F_DLEN = 0x1B;

// The register bytes of a table as an image (failed reads are 0 there too).
std::array<uint8_t, FPGA_WIDE_REGS> image_of(const RegisterTable& t) {
  std::array<uint8_t, FPGA_WIDE_REGS> img{};
  for (size_t n = 0; n < t.size(); ++n) img[n] = static_cast<uint8_t>(t[n].value);
  return img;
}

void write_rates(FILE* f, const FpgaImage& i, size_t base) {
  std::fprintf(f, " rate : %08X\r\n", i.le32(base + F_RATE));
  std::fprintf(f, " vinp : %08X\r\n", i.le32(base + F_VINP));
  std::fprintf(f, " scin : %08X\r\n", i.le32(base + F_SCIN));
  std::fprintf(f, " scout: %08X\r\n", i.le32(base + F_SCOUT));
}

void write_regids(FILE* f, const RegisterTable& t) {
  for (unsigned n = 0; n < t.size(); ++n)
    std::fprintf(f, " regid:%02X:%3u:%d  %02X\r\n", n, n, t[n].status, t[n].value);
}

void write_generic(FILE* f, const RegisterTable& t) {
  const auto img = image_of(t);
  const FpgaImage i{img.data()};
  std::fprintf(f, " board FPGA version : %08X\r\n", i.le32(F_VERSION));
  std::fprintf(f, " view : %-4u x %4u framerate %u\r\n", i.be16(F_VIEW_W), i.be16(F_VIEW_H), i.be16(F_FRAMERATE));
  write_rates(f, i, 0);
  std::fprintf(f, " channel 2 config and work status\r\n");
  std::fprintf(f, " view : %-4u x %4u framerate %u\r\n", i.be16(F_CH2_VIEW_A), i.be16(F_CH2_VIEW_B),
               i.be16(F_FRAMERATE));
  write_rates(f, i, F_CH2);
  write_regids(f, t);
}

void write_tb720v(FILE* f, const RegisterTable& t) {
  const auto img = image_of(t);
  const FpgaImage i{img.data()};
  const uint8_t* r = img.data();
  std::fprintf(f, " TB720V board FPGA inter debug 0x25~27, 0x2B~2D\r\n");
  std::fprintf(f, " TB720V FPGA version : %08X\r\n", i.le32(F_VERSION));
  std::fprintf(f, " FPGA : 0x07(%02X)\r\n", r[0x07]);
  std::fprintf(f, " audio: 0x14(%02X)\r\n", r[0x14]);
  std::fprintf(f, " txen : 0x2E(%02X) channel status 0x2F(%u)\r\n", r[0x2E], r[0x2F]);
  std::fprintf(f, " back : %-4u x %4u select(%u)\r\n", i.le16(0x16), i.le16(0x18), r[0x1A]);
  std::fprintf(f, " dlen : %08X (1080P-YUV 1920x1080X2/4=0xFD200)\r\n", i.le24(F_DLEN));
  std::fprintf(f, " TB720V channel 1 config and work status\r\n");
  std::fprintf(f, " view : %-4u x %4u framerate %u\r\n", i.be16(0x22), i.be16(0x20), i.be16(0x28));
  write_rates(f, i, 0);
  std::fprintf(f, " TB720V channel 2 config and work status\r\n");
  std::fprintf(f, " view : %-4u x %4u framerate %u\r\n", i.be16(0x0E), i.be16(0x0C), i.be16(0x1E));
  write_rates(f, i, F_CH2);
  write_regids(f, t);
}

}  // namespace

const char* register_file_filter(RegisterFileKind kind) {
  return kind == RegisterFileKind::TB720V ? REGISTER_FILE_FILTER_TB720V : REGISTER_FILE_FILTER;
}

std::span<const ReceiverMap> receiver_maps() { return kReceiverMaps; }

void register_table_read(HidLink& link, RegisterTable& table) {
  for (uint32_t n = 0; n < table.size(); ++n) {
    uint8_t b = 0;
    const int32_t rc = reg_read(link, FPGA_I2C_DEVICE, static_cast<uint8_t>(n), 1, std::span<uint8_t>(&b, 1));
    table[n].status = static_cast<int16_t>(rc);
    table[n].value = rc == REG_READ_OK ? b : 0;
  }
}

bool register_file_write(FILE* f, RegisterFileKind kind, const RegisterTable& table) {
  if (kind == RegisterFileKind::TB720V) write_tb720v(f, table);
  else write_generic(f, table);
  return std::ferror(f) == 0;
}

bool receiver_maps_write(FILE* f, HidLink& link, std::span<uint8_t, RECEIVER_MAP_SIZE> scratch) {
  for (const ReceiverMap& m : kReceiverMaps) {
    for (uint32_t off = 0; off < RECEIVER_MAP_SIZE; off += RECEIVER_MAP_CHUNK) {
      // Cleared first: a chunk the card does not answer must not show another map's bytes.
      std::memset(scratch.data() + off, 0, RECEIVER_MAP_CHUNK);
      reg_read(link, m.device, static_cast<uint8_t>(off), RECEIVER_MAP_CHUNK, scratch.subspan(off, RECEIVER_MAP_CHUNK));
    }
    for (uint32_t off = 0; off < RECEIVER_MAP_SIZE; off += RECEIVER_MAP_LINE) {
      const uint8_t* b = scratch.data() + off;
      std::fprintf(f,
                   "%s[0x%02x---0x%02x] value 0x%02x  0x%02x  0x%02x  0x%02x  0x%02x  0x%02x  0x%02x  0x%02x\r\n",
                   m.name, off, off + 7, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
    }
  }
  return std::ferror(f) == 0;
}

}  // namespace kestrel
