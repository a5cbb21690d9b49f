// The FPGA status dumps of boards TB610K/M/R-1CH (the reference listing), TB830R-1CH, TB850V-1CH,
// TB720V-2CH and rw820c. Each dump reads the bank register by register, so a register the card
// fails to answer shows 0 and is counted in errno.
#include "boards/fpga_dump.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "boards/board_table.h"
#include "boards/reg_access.h"
#include "log/hexdump.h"
#include "log/log.h"

namespace kestrel {
namespace {

// Registers of the bank that the decoded lines name.
constexpr size_t R_STAT = 0x00, R_GPIF = 0x03, R_DDRC = 0x06, R_CTL = 0x07, R_AUDIO = 0x0A, R_SDIS = 0x0B,
                 R_SDI_VIEW = 0x11, R_AVC = 0x14, R_SDI_RATE = 0x15, R_DDRS_STAT = 0x20, R_AVIF = 0x24,
                 R_AVIF_HI = 0x26, R_DDR3 = 0x28, R_DDRS = 0x29, R_GAIN_R = 0x2A, R_GAIN_G = 0x2C, R_GAIN_B = 0x2E,
                 R_TXEN = 0x2E, R_CHSS = 0x2F, R_RATE = 0x30, R_COLR = 0x34, R_DEIT = 0x35, R_VINP = 0x36,
                 R_SCIN = 0x3A, R_SCOUT = 0x3E, R_SCL_X = 0x42, R_SCL_Y = 0x46, R_CONT = 0x52, R_BRTS = 0x55,
                 R_VERSION = 0x60, R_SHARP = 0x64, R_SMPL = 0x68, R_RESAMPLE = 0x6C, R_DENO = 0x0C;
// The second channel of TB720V-2CH: the same words 0x40 registers higher.
constexpr size_t R_CH2 = 0x40;
// View of the single-channel boards: width BE16 at 0x1C, height BE16 at 0x1A, frame rate 0x1E:0x1F.
constexpr size_t R_VIEW_W = 0x1C, R_VIEW_H = 0x1A, R_FRAMERATE = 0x1E;
// Frame geometry: W and H packed in 24 bits at 0x3E (W in bits 0..11); the FPGA's own counters.
constexpr size_t R_BFCNT_HI = 0x12, R_BFCNT_LO = 0x02, R_FBNUM_HI = 0x09, R_FBNUM_LO = 0x10, R_SBLEN_HI = 0x01,
                 R_SBLEN_LO = 0x08;

constexpr uint32_t LOG_GEOMETRY = LOG_STREAM_CFG;

enum class Member : uint8_t { None, Reference, TB830R, TB850V, TB720V, Rw820c };

struct MemberInfo {
  Member member;
  const char* tag;
  uint32_t regs;
};

MemberInfo member_of(const BoardEntry& entry) {
  switch (entry.descriptor ? entry.descriptor->board_number() : 0) {
    case BOARD_TB610K_1CH: return {Member::Reference, "tb610k", FPGA_DUMP_REGS};
    case BOARD_TB610M_1CH: return {Member::Reference, "tb610m", FPGA_DUMP_REGS};
    case BOARD_TB610R_1CH: return {Member::Reference, "tb610r", FPGA_DUMP_REGS};
    case BOARD_TB720V_2CH: return {Member::TB720V, "tb720v", FPGA_WIDE_REGS};
    case BOARD_TB830R_1CH: return {Member::TB830R, "tb830r", FPGA_DUMP_REGS};
    case BOARD_TB850V_1CH: return {Member::TB850V, "tb850v", FPGA_DUMP_REGS};
    case BOARD_RW820C: return {Member::Rw820c, "rw820c", FPGA_DUMP_REGS};
    default: return {Member::None, nullptr, 0};
  }
}

// ---- Lines shared by several members ----

void line_header(const char* tag, uint32_t failed, const FpgaImage& i) {
  log_printf(0, "\r\n %s board FPGA errno(%u) version(%08X)\r\n", tag, failed, i.le32(R_VERSION));
  log_printf(0, " stat : %02X [00] init(%u) bclk(%u) werr(%u) flag(%u) data(%u)\r\n", i.r[R_STAT], i.bit(R_STAT, 0),
             i.bit(R_STAT, 1), i.bit(R_STAT, 2), i.bit(R_STAT, 3), i.bit(R_STAT, 4));
}

void line_gpif(const FpgaImage& i) {
  log_printf(0, " GPIF : %02X [03] rest(%u) slcs(%u) slwe(%u) pkte(%u) flag(%u) addr[10](%u))\r\n", i.r[R_GPIF],
             i.bit(R_GPIF, 0), i.bit(R_GPIF, 1), i.bit(R_GPIF, 2), i.bit(R_GPIF, 3), i.bit(R_GPIF, 4),
             (i.r[R_GPIF] >> 5) & 3u);
}

void lines_ddr(const FpgaImage& i) {
  log_printf(0, " DDRS : %02X [29] init(%u) done(%u) bclk(%u) werr(%u) ddr memory init status\r\n", i.r[R_DDRS],
             i.bit(R_DDRS, 0), i.bit(R_DDRS, 1), i.bit(R_DDRS, 2), i.bit(R_DDRS, 3));
}

void lines_ddr3_ddrc(const FpgaImage& i) {
  log_printf(0, " DDR3 : %02X [28] DDR3 ready nref\r\n", i.r[R_DDR3]);
  log_printf(0, " DDRC : %02X [06] bit0 reset ddr\r\n", i.r[R_DDRC]);
}

void line_avif_word(const FpgaImage& i) { log_printf(0, " AVIF : %08X [24] FPGA IN data{0x24~27}\r\n", i.le32(R_AVIF)); }

void line_ctl(const FpgaImage& i) {
  log_printf(0, " CTL  : %02X [07] {b1:FPGA reset low valid,  b2:VIDEO enable low valid}\r\n", i.r[R_CTL]);
}
void line_ctl_short(const FpgaImage& i) { log_printf(0, " CTL  : %02X [07] {0:FPGA,  1:VIDEO}\r\n", i.r[R_CTL]); }

void line_audio(const FpgaImage& i) {
  log_printf(0, " AUDIO: %02X [0A] {b1~0:{0:hdmi, 1:sdi, 3:anolog} {b2:{0:选择模拟混音, 1: 禁止模拟混音}\r\n",
             i.r[R_AUDIO]);
}

void line_avc(const FpgaImage& i) {
  log_printf(0, " AVC  : %02X [14] {10:HDMI, b2:AUDIO enable low valid, b3:MUTE}\r\n", i.r[R_AVC]);
}
void line_avc_short(const FpgaImage& i) { log_printf(0, " AVC  : %02X [14] {10:HDMI, 2:AUDIO, 3:MUTE}\r\n", i.r[R_AVC]); }

void lines_colr_deit(const FpgaImage& i) {
  log_printf(0, " COLR : %02X [34] color space {0:RGB24, 1:YUV422, 2:NV12}\r\n", i.r[R_COLR]);
  log_printf(0, " DEIT : %02X [35] {去隔行}\r\n", i.r[R_DEIT]);
}

void line_view(const FpgaImage& i) {
  log_printf(0, " view : %4u x %-4u framerate %u:%u\r\n", i.be16(R_VIEW_W), i.be16(R_VIEW_H), i.r[R_FRAMERATE],
             i.r[R_FRAMERATE + 1]);
}

void lines_rate(const FpgaImage& i) {
  log_printf(0, " rate : %08X\r\n", i.le32(R_RATE));
  log_printf(0, " vinp : %08X\r\n", i.le32(R_VINP));
  log_printf(0, " scin : %08X\r\n", i.le32(R_SCIN));
  log_printf(0, " scout: %08X\r\n", i.le32(R_SCOUT));
}

void line_smpl(const FpgaImage& i) { log_printf(0, " smpl : %08X\r\n", i.le32(R_SMPL)); }

// deno, cont, brts, then sharp; `sharp_swapped`: R[0x64] is the high byte (all members but the
// reference, which reads R[0x65] high).
void lines_picture(const FpgaImage& i, bool sharp_swapped) {
  log_printf(0, " deno : %08X 3d denoise\r\n", i.le32(R_DENO));
  log_printf(0, " cont : %08X contrast\r\n", i.le24(R_CONT));
  log_printf(0, " brts : %08X bright image size\r\n", i.le24(R_BRTS));
  const uint32_t sharp = sharp_swapped ? i.be16(R_SHARP) : i.le16(R_SHARP);
  log_printf(0, " sharp: %04X\r\n", sharp);
}

// The image once as read, then with GPIF, the AVIF word and DDR3 overwritten by 0xFF.
void dump_twice(uint8_t* img, uint32_t n) {
  log_hex_dump(0, img, n);
  img[R_GPIF] = 0xFF;
  std::memset(img + R_AVIF, 0xFF, 4);
  img[R_DDR3] = 0xFF;
  log_hex_dump(0, img, n);
}

// ---- The members ----

void dump_reference(const FpgaImage& i) {
  line_gpif(i);
  lines_ddr(i);
  lines_ddr3_ddrc(i);
  log_printf(0, " AVIF : %02X [26] %04X YUV FPGA IN data{27:26}\r\n", i.r[R_AVIF_HI], i.be16(R_AVIF_HI));
  line_ctl(i);
  line_audio(i);
  line_avc(i);
  lines_colr_deit(i);
  line_view(i);
  lines_rate(i);
  log_printf(0, " smpl : %08X %02X audio resample\r\n", i.le32(R_SMPL), i.r[R_RESAMPLE]);
  log_printf(0, " gain : %04X %04X %04X {R, G, B}\r\n", i.le16(R_GAIN_R), i.le16(R_GAIN_G), i.le16(R_GAIN_B));
  lines_picture(i, false);
  const uint32_t s = i.le24(R_SCOUT);
  fpga_geometry_lines(i, s & 0xFFF, s >> 12);
}

void dump_tb830r(const FpgaImage& i) {
  line_gpif(i);
  lines_ddr(i);
  lines_ddr3_ddrc(i);
  line_avif_word(i);
  line_ctl_short(i);
  line_avc_short(i);
  lines_colr_deit(i);
  line_view(i);
  lines_rate(i);
  line_smpl(i);
  lines_picture(i, true);
}

void dump_tb850v(const FpgaImage& i) {
  line_gpif(i);
  log_printf(0, " DDRS : %02X [20] stat{0:init, 1:wyuv, 2~5:ryuv, 7:wUV, 8:wnv, 9:rnv}\r\n", i.r[R_DDRS_STAT]);
  log_printf(0, " DDRS : %02X [29] init(%u) done(%u) bclk(%u) werr(%u) empty(%u) full(%u) ddr memory init status\r\n",
             i.r[R_DDRS], i.bit(R_DDRS, 0), i.bit(R_DDRS, 1), i.bit(R_DDRS, 2), i.bit(R_DDRS, 3), i.bit(R_DDRS, 4),
             i.bit(R_DDRS, 5));
  lines_ddr3_ddrc(i);
  line_avif_word(i);
  line_ctl(i);
  line_audio(i);
  line_avc(i);
  lines_colr_deit(i);
  line_view(i);
  lines_rate(i);
  line_smpl(i);
  lines_picture(i, true);
  // This board keeps W and H as two 16-bit words.
  fpga_geometry_lines(i, i.le16(R_SCOUT), i.le16(R_SCOUT + 2));
}

void dump_tb720v(const FpgaImage& i) {
  line_gpif(i);
  lines_ddr(i);
  lines_ddr3_ddrc(i);
  line_avif_word(i);
  line_ctl_short(i);
  line_avc_short(i);
  log_printf(0, " COLR : %02X [34] color space b0 or b1 = {0:RGB24, 1:YUV422, 2:NV12}\r\n", i.r[R_COLR]);
  log_printf(0, " DEIT : %02X [35] {b0:channel0, b1:channel1} 去隔行\r\n", i.r[R_DEIT]);
  log_printf(0, " TXEN : %02X [2E] {b0:ch0:{1:on, 0:off}, b1:ch1:{1:on, 0:off}}\r\n", i.r[R_TXEN]);
  log_printf(0, " CHSS : %02X [2F] channel TX work status\r\n", i.r[R_CHSS]);
  log_printf(0, " one  : %4u x %-4u framerate %u:%u\r\n", i.be16(0x22), i.be16(0x20), i.r[0x29], i.r[0x28]);
  log_printf(0, " two  : %4u x %-4u framerate %u:%u\r\n", i.be16(0x0E), i.be16(0x0C), i.r[0x1F], i.r[0x1E]);
  log_printf(0, " rate : %08X [30]  %08X [70]\r\n", i.le32(R_RATE), i.le32(R_RATE + R_CH2));
  log_printf(0, " vinp : %08X [36]  %08X [76]\r\n", i.le32(R_VINP), i.le32(R_VINP + R_CH2));
  log_printf(0, " scin : %08X [3A]  %08X [7A]\r\n", i.le32(R_SCIN), i.le32(R_SCIN + R_CH2));
  log_printf(0, " scout: %08X [3E]  %08X [7E]\r\n", i.le32(R_SCOUT), i.le32(R_SCOUT + R_CH2));
  log_printf(0, " scl-x: %08X [42]  %08X [82]\r\n", i.le32(R_SCL_X), i.le32(R_SCL_X + R_CH2));
  log_printf(0, " scl-y: %08X [46]  %08X [86]\r\n", i.le32(R_SCL_Y), i.le32(R_SCL_Y + R_CH2));
  line_smpl(i);
  lines_picture(i, true);
}

void dump_rw820c(const FpgaImage& i) {
  log_printf(0, " CTL  : %02X [07] {b1:SDI reset low valid,  b2:VIDEO enable low valid}\r\n", i.r[R_CTL]);
  line_audio(i);
  log_printf(0,
             " SDIS : %02X [0B] {b0:sdi:{0:rxlock, 1:luse} b1:{0:rx CDR lock, 1: lose} b2:{1:active}, b4: {1: "
             "level_b mode}}\r\n",
             i.r[R_SDIS]);
  log_printf(0, " VIEW : %02X [11] {sdi view format status}\r\n", i.r[R_SDI_VIEW]);
  log_printf(0, " RATE : %02X [15] {sdi framerate status}\r\n", i.r[R_SDI_RATE]);
  line_avc(i);
  lines_colr_deit(i);
  line_view(i);
  lines_rate(i);
  line_smpl(i);
  lines_picture(i, true);
}

}  // namespace

FpgaGeometry fpga_geometry(uint32_t width, uint32_t height, uint8_t colour_code) {
  FpgaGeometry g{};
  g.colour = colour_code <= 2 ? colour_code : 1;
  const uint32_t pixels = width * height;
  switch (g.colour) {
    case 0: g.total = (pixels * 3) >> 2; break;  // RGB24
    case 2: g.total = (pixels * 12) >> 5; break; // NV12
    default: g.total = pixels >> 1; break;       // YUV422
  }
  g.nref = static_cast<uint16_t>(g.total / FPGA_PACKET_WORDS);
  g.tail = static_cast<uint16_t>(g.total % FPGA_PACKET_WORDS);
  return g;
}

void fpga_geometry_lines(const FpgaImage& i, uint32_t width, uint32_t height) {
  const uint8_t c = i.r[R_COLR];
  if (c > 2) log_printf(0, " color : %02X color space invalid\r\n", c);
  const FpgaGeometry g = fpga_geometry(width, height, c);
  log_printf(LOG_GEOMETRY,
             " data : config(%u:%ux%u) total:%08X lpkt:%04X nref:%04X tail:%04X xkey:%04X:%04X\r\n", g.colour, width,
             height, g.total, FPGA_PACKET_WORDS, g.nref, g.tail, g.nref, g.tail);
  // Each pair: what the host computes, beside the FPGA's own register value.
  log_printf(0, " bsize: %04X dlen: %08X bfcnt(%04X:%04X) fbnum(%04X:%04X) sblen(%04X:%04X)\r\n", FPGA_BUFFER_SIZE,
             g.total, FPGA_PACKET_WORDS, i.r[R_BFCNT_HI] * 256u + i.r[R_BFCNT_LO], g.nref,
             i.r[R_FBNUM_HI] * 256u + i.r[R_FBNUM_LO], g.tail, i.r[R_SBLEN_HI] * 256u + i.r[R_SBLEN_LO]);
}

namespace boards {

bool fpga_dump(const BoardEntry& entry, BoardContext& ctx, uint32_t size, void* out) {
  const MemberInfo m = member_of(entry);
  if (m.member == Member::None) return false;
  alignas(FPGA_IMAGE_ALIGN) std::array<uint8_t, FPGA_WIDE_REGS> own{};
  uint8_t* img = own.data();
  // The image goes to the caller only when out has room for it wherever it starts.
  if (out && size >= fpga_dump_out_size(m.regs)) {
    const auto base = reinterpret_cast<uintptr_t>(out);
    img = static_cast<uint8_t*>(out) + ((FPGA_IMAGE_ALIGN - base % FPGA_IMAGE_ALIGN) % FPGA_IMAGE_ALIGN);
  }

  uint32_t failed = 0;
  for (uint32_t reg = 0; reg < m.regs; ++reg) {
    img[reg] = 0;  // a failed read leaves 0
    if (reg_read(ctx.link, FPGA_I2C_DEVICE, static_cast<uint8_t>(reg), 1, std::span<uint8_t>(img + reg, 1)) != REG_READ_OK)
      ++failed;
  }
  if (ctx.outcome) {
    ctx.outcome->reads = m.regs;
    ctx.outcome->failed_reads = failed;
  }
  const FpgaImage i{img};
  line_header(m.tag, failed, i);
  switch (m.member) {
    case Member::Reference:
      dump_reference(i);
      dump_twice(img, m.regs);
      break;
    case Member::TB850V:
      dump_tb850v(i);
      dump_twice(img, m.regs);
      break;
    case Member::TB830R:
      dump_tb830r(i);
      log_hex_dump(0, img, m.regs);
      break;
    case Member::TB720V:
      dump_tb720v(i);
      log_hex_dump(0, img, m.regs);
      break;
    case Member::Rw820c:
      dump_rw820c(i);
      log_hex_dump(0, img, m.regs);
      break;
    case Member::None: break;
  }
  return true;
}

}  // namespace boards
}  // namespace kestrel
