// What the diagnostic records print as, from blocks built in the test: the frame geometry of the
// FPGA dumps, the bit list and the input groups of the debug information, the force flag of the
// run status.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "boards/diag_blocks.h"
#include "boards/fpga_dump.h"
#include "devlink/frame.h"
#include "log/log_capture.h"

namespace kestrel {
namespace {

size_t count_of(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// ---- Frame geometry ----

struct GeometryCase {
  uint8_t colour;
  uint32_t number;  // as the data line shows it
  const char* total;
  const char* nref;
  const char* tail;
  bool invalid;
};

class FpgaGeometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(FpgaGeometry, LinesFor1920x1080) {
  const GeometryCase& c = GetParam();
  std::array<uint8_t, FPGA_WIDE_REGS> img{};
  img[0x34] = c.colour;
  img[0x12] = 0x01;  // the FPGA's own counters, beside the host's
  img[0x02] = 0x02;
  img[0x09] = 0x03;
  img[0x10] = 0x04;
  img[0x01] = 0x05;
  img[0x08] = 0x06;
  test::LogCapture log;
  log_set_filter(true, 0, LOG_STREAM_CFG & LOG_MODULE_BITS);
  fpga_geometry_lines(FpgaImage{img.data()}, 1920, 1080);
  char want[512];
  std::snprintf(want, sizeof want,
                "%s data : config(%u:1920x1080) total:%s lpkt:0FFD nref:%s tail:%s xkey:%s:%s\r\n"
                " bsize: 4000 dlen: %s bfcnt(0FFD:0102) fbnum(%s:0304) sblen(%s:0506)\r\n",
                c.invalid ? " color : 03 color space invalid\r\n" : "", c.number, c.total, c.nref, c.tail, c.nref, c.tail,
                c.total, c.nref, c.tail);
  EXPECT_EQ(log.text(), want);
}

INSTANTIATE_TEST_SUITE_P(Colours, FpgaGeometry,
                         ::testing::Values(GeometryCase{1, 1, "000FD200", "00FD", "04F7", false},  // YUV422
                                           GeometryCase{0, 0, "0017BB00", "017B", "0F71", false},  // RGB24
                                           GeometryCase{2, 2, "000BDD80", "00BD", "0FB7", false},  // NV12
                                           GeometryCase{3, 1, "000FD200", "00FD", "04F7", true}),  // as YUV422
                         [](const auto& info) { return "colour" + std::to_string(info.param.colour); });

TEST(FpgaGeometry, DataLineNeedsItsModuleBit) {
  std::array<uint8_t, FPGA_WIDE_REGS> img{};
  test::LogCapture log;
  fpga_geometry_lines(FpgaImage{img.data()}, 1920, 1080);
  EXPECT_EQ(log.text().find(" data : "), std::string::npos);
  EXPECT_NE(log.text().find(" bsize: 4000 dlen: 0017BB00"), std::string::npos);
}

// ---- Debug information ----

TEST(DebugBitList, SetBitsRising) {
  EXPECT_EQ(debug_bit_list(0x0005), "{0,2}");
  EXPECT_EQ(debug_bit_list(0x0000), "{}");
  EXPECT_EQ(debug_bit_list(0x8000), "{15}");
  EXPECT_EQ(debug_bit_list(0xFFFF), "{0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15}");
}

class DebugInfoPrint : public ::testing::Test {
 protected:
  void SetUp() override {
    put_le32(block.data() + debug_info::NOW, 10'000);
    for (unsigned i = 0; i < debug_info::INPUT_COUNT; ++i) {
      uint8_t* r = block.data() + debug_info::INPUTS + 24 * i;
      r[0] = static_cast<uint8_t>(0x10 + i);  // stat
      put_le32(r + 4, 9'000 + i);             // dirty time
    }
  }
  std::string print() {
    test::LogCapture log;
    log_set_filter(true, 1u << LOG_DIAG, 0);
    print_debug_info(block.data());
    return log.text();
  }
  std::array<uint8_t, debug_info::SIZE> block{};
};

TEST_F(DebugInfoPrint, ThreeGroupsForFiveInputsThenTheSelectedInputBeyondThem) {
  block[debug_info::SHOW] = 5;
  block[debug_info::VPIN] = 4;
  const std::string text = print();
  EXPECT_EQ(count_of(text, " ------ show input vinp:"), 4u) << text;
  for (const char* k : {"vinp:0 ", "vinp:1 ", "vinp:2 ", "vinp:4 "}) EXPECT_NE(text.find(k), std::string::npos) << k;
  EXPECT_EQ(text.find("vinp:3 "), std::string::npos);
  // The group of input 4 reads its own record.
  EXPECT_NE(text.find(" ------ show input vinp:4 ------ \r\n stat     20\r\n"), std::string::npos);
  EXPECT_NE(text.find(" dirty    996:9004\r\n"), std::string::npos);
}

TEST_F(DebugInfoPrint, NoExtraGroupForVpin7OrAnInputAlreadyShown) {
  block[debug_info::SHOW] = 5;
  block[debug_info::VPIN] = 7;
  EXPECT_EQ(count_of(print(), " ------ show input vinp:"), 3u);
  block[debug_info::SHOW] = 2;
  block[debug_info::VPIN] = 1;
  EXPECT_EQ(count_of(print(), " ------ show input vinp:"), 2u);
  block[debug_info::VPIN] = 6;
  EXPECT_EQ(count_of(print(), " ------ show input vinp:"), 3u);
}

TEST_F(DebugInfoPrint, BitListAndColourText) {
  put_le16(block.data() + debug_info::BITS, 0x0005);
  block[debug_info::COLOR] = 2;
  std::string text = print();
  EXPECT_NE(text.find(" qctl restart(00050000) stat(0) avideo(0) bits(0005)={0,2}\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" color(2:NV12) bits:0000"), std::string::npos);
  block[debug_info::COLOR] = 9;
  text = print();
  EXPECT_NE(text.find(" color(9) bits:0000"), std::string::npos);
}

// ---- Run status ----

TEST(RunStatusPrint, ForceIsOneUnlessTheCardScans) {
  std::array<uint8_t, run_status::MIN_SIZE> b{};
  for (auto [fvpd, want] : {std::pair<uint8_t, const char*>{7, " fvpd 7 force: 0 kefi : 0\r\n"},
                            {0, " fvpd 0 force: 1 kefi : 0\r\n"},
                            {3, " fvpd 3 force: 1 kefi : 0\r\n"}}) {
    b[run_status::FVPD] = fvpd;
    test::LogCapture log;
    log_set_filter(true, 1u << LOG_DIAG, 0);
    print_run_status(b.data());
    EXPECT_NE(log.text().find(want), std::string::npos) << int(fvpd);
  }
}

}  // namespace
}  // namespace kestrel
