// The FPGA status dump (board control code 13) of every member, against a simulated card whose
// FPGA bank the test sets register by register: the whole log text, hex dumps included.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "board_sim.h"
#include "boards/board_table.h"
#include "boards/control.h"
#include "boards/fpga_dump.h"
#include "log/hexdump.h"
#include "log/log_capture.h"

namespace kestrel {
namespace {

using sim::BoardModel;
using test::BoardSim;
using Writes = std::vector<std::pair<uint8_t, uint8_t>>;

constexpr uint8_t FPGA = 0x10;

// One bank for every member; each member reads it its own way.
const Writes kBank = {
    {0x00, 0x15}, {0x01, 0x04}, {0x02, 0xFD}, {0x03, 0x6B}, {0x06, 0x01}, {0x07, 0x06}, {0x08, 0xF7}, {0x0A, 0x3C},
    {0x0B, 0x13}, {0x0C, 0x11}, {0x0D, 0x22}, {0x0E, 0x33}, {0x0F, 0x44}, {0x10, 0xFD}, {0x11, 0x2A}, {0x12, 0x0F},
    {0x14, 0x05}, {0x15, 0x3C}, {0x1A, 0x04}, {0x1B, 0x38}, {0x1C, 0x07}, {0x1D, 0x80}, {0x1E, 0x3C}, {0x1F, 0x01},
    {0x20, 0x05}, {0x22, 0x07}, {0x23, 0x80}, {0x24, 0xAA}, {0x25, 0xBB}, {0x26, 0x80}, {0x27, 0x10}, {0x28, 0x01},
    {0x29, 0x0B}, {0x2B, 0x40}, {0x2D, 0x41}, {0x2F, 0x42}, {0x30, 0x3C}, {0x34, 0x01}, {0x35, 0x02}, {0x36, 0x02},
    {0x3A, 0x80}, {0x3B, 0x07}, {0x3C, 0x38}, {0x3D, 0x04}, {0x3E, 0x80}, {0x3F, 0x87}, {0x40, 0x43}, {0x42, 0x01},
    {0x43, 0x02}, {0x44, 0x03}, {0x45, 0x04}, {0x46, 0x05}, {0x47, 0x06}, {0x48, 0x07}, {0x49, 0x08}, {0x52, 0x56},
    {0x53, 0x34}, {0x54, 0x12}, {0x55, 0xEF}, {0x56, 0xCD}, {0x57, 0xAB}, {0x60, 0x02}, {0x62, 0x01}, {0x63, 0x03},
    {0x64, 0x34}, {0x65, 0x12}, {0x68, 0x80}, {0x69, 0xBB}, {0x6C, 0x02}, {0x70, 0x1E}, {0x76, 0x01}, {0x7B, 0x05},
    {0x7C, 0xD0}, {0x7D, 0x02}, {0x7E, 0x11}, {0x7F, 0x11}, {0x80, 0x11}, {0x81, 0x11}, {0x82, 0x22}, {0x83, 0x22},
    {0x84, 0x22}, {0x85, 0x22}, {0x86, 0x33}, {0x87, 0x33}, {0x88, 0x33}, {0x89, 0x33},
};

void load_bank(sim::SimCard& card, const Writes& extra) {
  for (int r = 0; r < 256; ++r) card.set_register(FPGA, static_cast<uint8_t>(r), 0);
  for (auto [r, v] : kBank) card.set_register(FPGA, r, v);
  for (auto [r, v] : extra) card.set_register(FPGA, r, v);
}

std::string hex_dump_text(const std::vector<uint8_t>& bytes) {
  char* buf = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buf, &size);
  FILE* prev = log_stream();
  log_attach_stream(f);
  log_hex_dump(0, bytes.data(), static_cast<uint32_t>(bytes.size()));
  log_attach_stream(prev);
  fclose(f);
  std::string s(buf, size);
  free(buf);
  return s;
}

// Lines of the bank as the members print them.
const std::string GPIF = " GPIF : 6B [03] rest(1) slcs(1) slwe(0) pkte(1) flag(0) addr[10](3))\r\n";
const std::string DDRS = " DDRS : 0B [29] init(1) done(1) bclk(0) werr(1) ddr memory init status\r\n";
const std::string DDR3_DDRC = " DDR3 : 01 [28] DDR3 ready nref\r\n DDRC : 01 [06] bit0 reset ddr\r\n";
const std::string AVIF_WORD = " AVIF : 1080BBAA [24] FPGA IN data{0x24~27}\r\n";
const std::string CTL = " CTL  : 06 [07] {b1:FPGA reset low valid,  b2:VIDEO enable low valid}\r\n";
const std::string CTL_SHORT = " CTL  : 06 [07] {0:FPGA,  1:VIDEO}\r\n";
const std::string AUDIO = " AUDIO: 3C [0A] {b1~0:{0:hdmi, 1:sdi, 3:anolog} {b2:{0:选择模拟混音, 1: 禁止模拟混音}\r\n";
const std::string AVC = " AVC  : 05 [14] {10:HDMI, b2:AUDIO enable low valid, b3:MUTE}\r\n";
const std::string AVC_SHORT = " AVC  : 05 [14] {10:HDMI, 2:AUDIO, 3:MUTE}\r\n";
const std::string COLR_DEIT = " COLR : 01 [34] color space {0:RGB24, 1:YUV422, 2:NV12}\r\n DEIT : 02 [35] {去隔行}\r\n";
const std::string VIEW = " view : 1920 x 1080 framerate 60:1\r\n";
const std::string RATES = " rate : 0000003C\r\n vinp : 00000002\r\n scin : 04380780\r\n scout: 00438780\r\n";
const std::string SMPL = " smpl : 0000BB80\r\n";
const std::string PICTURE =
    " deno : 44332211 3d denoise\r\n cont : 00123456 contrast\r\n brts : 00ABCDEF bright image size\r\n";
const std::string SHARP_SWAPPED = " sharp: 3412\r\n";
const std::string GEOMETRY =
    " data : config(1:1920x1080) total:000FD200 lpkt:0FFD nref:00FD tail:04F7 xkey:00FD:04F7\r\n"
    " bsize: 4000 dlen: 000FD200 bfcnt(0FFD:0FFD) fbnum(00FD:00FD) sblen(04F7:04F7)\r\n";

const std::string REFERENCE = GPIF + DDRS + DDR3_DDRC + " AVIF : 80 [26] 8010 YUV FPGA IN data{27:26}\r\n" + CTL +
                              AUDIO + AVC + COLR_DEIT + VIEW + RATES + " smpl : 0000BB80 02 audio resample\r\n" +
                              " gain : 4000 4100 4200 {R, G, B}\r\n" + PICTURE + " sharp: 1234\r\n" + GEOMETRY;

const std::string TB830R = GPIF + DDRS + DDR3_DDRC + AVIF_WORD + CTL_SHORT + AVC_SHORT + COLR_DEIT + VIEW + RATES +
                           SMPL + PICTURE + SHARP_SWAPPED;

// TB850V-1CH keeps W and H in two words at 0x3E and 0x40: the test gives it 1920 x 1080 there.
const std::string TB850V =
    GPIF + " DDRS : 05 [20] stat{0:init, 1:wyuv, 2~5:ryuv, 7:wUV, 8:wnv, 9:rnv}\r\n" +
    " DDRS : 0B [29] init(1) done(1) bclk(0) werr(1) empty(0) full(0) ddr memory init status\r\n" + DDR3_DDRC +
    AVIF_WORD + CTL + AUDIO + AVC + COLR_DEIT + VIEW +
    " rate : 0000003C\r\n vinp : 00000002\r\n scin : 04380780\r\n scout: 04380780\r\n" + SMPL + PICTURE +
    SHARP_SWAPPED + GEOMETRY;

const std::string TB720V =
    GPIF + DDRS + DDR3_DDRC + AVIF_WORD + CTL_SHORT + AVC_SHORT +
    " COLR : 01 [34] color space b0 or b1 = {0:RGB24, 1:YUV422, 2:NV12}\r\n" +
    " DEIT : 02 [35] {b0:channel0, b1:channel1} 去隔行\r\n" +
    " TXEN : 00 [2E] {b0:ch0:{1:on, 0:off}, b1:ch1:{1:on, 0:off}}\r\n" + " CHSS : 42 [2F] channel TX work status\r\n" +
    " one  : 1920 x 1280 framerate 11:1\r\n" + " two  : 13124 x 4386 framerate 1:60\r\n" +
    " rate : 0000003C [30]  0000001E [70]\r\n" + " vinp : 00000002 [36]  00000001 [76]\r\n" +
    " scin : 04380780 [3A]  02D00500 [7A]\r\n" + " scout: 00438780 [3E]  11111111 [7E]\r\n" +
    " scl-x: 04030201 [42]  22222222 [82]\r\n" + " scl-y: 08070605 [46]  33333333 [86]\r\n" + SMPL + PICTURE +
    SHARP_SWAPPED;

const std::string RW820C =
    " CTL  : 06 [07] {b1:SDI reset low valid,  b2:VIDEO enable low valid}\r\n" + AUDIO +
    " SDIS : 13 [0B] {b0:sdi:{0:rxlock, 1:luse} b1:{0:rx CDR lock, 1: lose} b2:{1:active}, b4: {1: level_b mode}}\r\n" +
    " VIEW : 2A [11] {sdi view format status}\r\n" + " RATE : 3C [15] {sdi framerate status}\r\n" + AVC + COLR_DEIT +
    VIEW + RATES + SMPL + PICTURE + SHARP_SWAPPED;

struct Member {
  BoardModel model;
  const char* tag;
  const std::string* lines;
  uint32_t regs;
  bool two_dumps;
  Writes extra;
};

void PrintTo(const Member& m, std::ostream* os) { *os << m.tag; }

class FpgaDumpGolden : public ::testing::TestWithParam<Member> {};

TEST_P(FpgaDumpGolden, WholeLogText) {
  const Member& m = GetParam();
  BoardSim b(m.model);
  load_bank(*b.f.card, m.extra);
  test::LogCapture log;
  log_set_filter(true, 0, LOG_STREAM_CFG & LOG_MODULE_BITS);  // the geometry's data line
  BoardContext ctx = b.ctx();
  ASSERT_TRUE(board_control(b.board(static_cast<uint8_t>(m.model)), ctx, CTL_FPGA_DUMP, 0, nullptr));

  std::vector<uint8_t> image(m.regs);
  for (uint32_t r = 0; r < m.regs; ++r) image[r] = *b.f.card->read_register(FPGA, static_cast<uint8_t>(r));
  std::string want = std::string("\r\n ") + m.tag + " board FPGA errno(0) version(03010002)\r\n" +
                     " stat : 15 [00] init(1) bclk(0) werr(1) flag(0) data(1)\r\n" + *m.lines + hex_dump_text(image);
  if (m.two_dumps) {
    image[0x03] = 0xFF;
    for (int r = 0x24; r <= 0x28; ++r) image[r] = 0xFF;
    want += hex_dump_text(image);
  }
  EXPECT_EQ(log.text(), want);

  // One framed read of one FPGA register per register, in order.
  const auto reads = b.sent_cmd(CMD_REG_READ);
  ASSERT_EQ(reads.size(), m.regs);
  for (uint32_t r = 0; r < m.regs; ++r)
    ASSERT_EQ(BoardSim::payload_of(reads[r]), (std::vector<uint8_t>{FPGA, 0, static_cast<uint8_t>(r), 0, 1, 0, 0, 0}))
        << r;
}

INSTANTIATE_TEST_SUITE_P(
    Members, FpgaDumpGolden,
    ::testing::Values(Member{BoardModel::TB610K_1CH, "tb610k", &REFERENCE, 0x70, true, {}},
                      Member{BoardModel::TB610M_1CH, "tb610m", &REFERENCE, 0x70, true, {}},
                      Member{BoardModel::TB610R_1CH, "tb610r", &REFERENCE, 0x70, true, {}},
                      Member{BoardModel::TB720V_2CH, "tb720v", &TB720V, 0xA0, false, {}},
                      Member{BoardModel::TB830R_1CH, "tb830r", &TB830R, 0x70, false, {}},
                      Member{BoardModel::TB850V_1CH, "tb850v", &TB850V, 0x70, true,
                             {{0x3E, 0x80}, {0x3F, 0x07}, {0x40, 0x38}, {0x41, 0x04}}},
                      Member{BoardModel::Rw820c, "rw820c", &RW820C, 0x70, false, {}}),
    [](const auto& info) { return std::string(info.param.tag); });

// A card that answers no register read: every read counts in errno and every value is 0.
class FpgaDumpNoAnswer : public ::testing::TestWithParam<BoardModel> {};

TEST_P(FpgaDumpNoAnswer, CountsEveryReadAndShowsZeros) {
  BoardSim b(GetParam());
  b.f.card->remove_device(FPGA);
  test::LogCapture log;
  BoardContext ctx = b.ctx();
  ASSERT_TRUE(board_control(b.board(static_cast<uint8_t>(GetParam())), ctx, CTL_FPGA_DUMP, 0, nullptr));
  const std::string text = log.text();
  const bool wide = GetParam() == BoardModel::TB720V_2CH;
  EXPECT_NE(text.find(wide ? " board FPGA errno(160) version(00000000)\r\n" : " board FPGA errno(112) version(00000000)\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" stat : 00 [00] init(0) bclk(0) werr(0) flag(0) data(0)\r\n"), std::string::npos);
  EXPECT_NE(text.find(" smpl : 00000000"), std::string::npos);
  const std::string zeros = " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ; ................";
  EXPECT_NE(text.find("\r\n 00000060" + zeros), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Members, FpgaDumpNoAnswer,
                         ::testing::Values(BoardModel::TB610K_1CH, BoardModel::TB610R_1CH, BoardModel::TB720V_2CH,
                                           BoardModel::TB830R_1CH, BoardModel::TB850V_1CH, BoardModel::Rw820c),
                         [](const auto& info) { return test::model_test_name(info.param); });

TEST(FpgaDumpOut, ImageAtTheFirst256ByteBoundaryWhenTheBufferHasRoom) {
  BoardSim b(BoardModel::TB610R_1CH);
  load_bank(*b.f.card, {});
  test::LogCapture log;
  alignas(256) std::array<uint8_t, 1024> buf{};
  buf.fill(0xEE);
  uint8_t* out = buf.data() + 3;  // the image then starts 253 bytes in
  BoardContext ctx = b.ctx();
  ASSERT_TRUE(board_control(b.board(BOARD_TB610R_1CH), ctx, CTL_FPGA_DUMP, fpga_dump_out_size(0x70), out));
  EXPECT_EQ(buf[255], 0xEE);
  // The image as the second hex dump left it: GPIF, the AVIF word and DDR3 set to 0xFF.
  for (uint32_t r = 0; r < 0x70; ++r) {
    const bool overwritten = r == 0x03 || (r >= 0x24 && r <= 0x28);
    EXPECT_EQ(buf[256 + r], overwritten ? 0xFF : *b.f.card->read_register(FPGA, static_cast<uint8_t>(r))) << r;
  }
  EXPECT_EQ(buf[256 + 0x70], 0xEE);

  // One byte short of that room: the dump runs all the same and out stays as it was.
  buf.fill(0xEE);
  ASSERT_TRUE(board_control(b.board(BOARD_TB610R_1CH), ctx, CTL_FPGA_DUMP, fpga_dump_out_size(0x70) - 1, out));
  for (uint8_t v : buf) ASSERT_EQ(v, 0xEE);
}

}  // namespace
}  // namespace kestrel
