// The FPGA register save commands 32817..32820 against the simulated card: the dialog and its
// filter, the files' text, the receiver maps of the TB610R-1CH file, a cancelled dialog and an
// absent card.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "card/diagnostics.h"
#include "devlink/commands.h"
#include "diag_window_fixture.h"

namespace kestrel {
namespace {

using sim::BoardModel;
using test::DiagWindow;
using Writes = std::vector<std::pair<uint8_t, uint8_t>>;

constexpr uint8_t FPGA = 0x10;

class SaveFiles : public DiagWindow {
 protected:
  void SetUp() override {
    DiagWindow::SetUp();
    std::string tmpl = ::testing::TempDir() + "/regfile_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    DiagWindow::TearDown();
  }
  void bank(const Writes& w) {
    for (int r = 0; r < 0xA0; ++r) card_->set_register(FPGA, static_cast<uint8_t>(r), 0);
    for (auto [r, v] : w) card_->set_register(FPGA, r, v);
  }
  std::string save(uint32_t command, const std::string& name) {
    const std::string path = dir_ + "/" + name;
    view_.save_answers.push_back(path);
    EXPECT_TRUE(window().on_command(command));
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // The 160 regid lines of the card's bank as it stands, every read answered.
  std::string regids() const {
    std::string s;
    for (unsigned r = 0; r < 0xA0; ++r) {
      char line[64];
      std::snprintf(line, sizeof line, " regid:%02X:%3u:0  %02X\r\n", r, r,
                    *card_->read_register(FPGA, static_cast<uint8_t>(r)));
      s += line;
    }
    return s;
  }
  std::vector<std::string> lines(const std::string& text) const {
    std::vector<std::string> out;
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
      out.push_back(text.substr(at, end - at));
    return out;
  }
  // The framed register reads the card received: device, register, count.
  std::vector<std::array<uint16_t, 3>> reads() const {
    std::vector<std::array<uint16_t, 3>> out;
    for (const Sent& s : sent())
      if (s.cmd == CMD_REG_READ)
        out.push_back({get_le16(s.payload.data()), get_le16(s.payload.data() + 2), get_le16(s.payload.data() + 4)});
    return out;
  }

  std::string dir_;
};

const Writes kChannels = {
    {0x60, 0x02}, {0x62, 0x01}, {0x63, 0x03},                              // version 03010002
    {0x30, 0x3C}, {0x36, 0x02}, {0x3A, 0x80}, {0x3B, 0x07}, {0x3C, 0x38}, {0x3D, 0x04},
    {0x3E, 0x80}, {0x3F, 0x87}, {0x40, 0x43},                              // rate, vinp, scin, scout
    {0x70, 0x1E}, {0x76, 0x01}, {0x7B, 0x05}, {0x7C, 0xD0}, {0x7D, 0x02},
    {0x7E, 0x11}, {0x7F, 0x11}, {0x80, 0x11}, {0x81, 0x11},               // the second channel
};
const std::string kRates = " rate : 0000003C\r\n vinp : 00000002\r\n scin : 04380780\r\n scout: 00438780\r\n";
const std::string kRates2 = " rate : 0000001E\r\n vinp : 00000001\r\n scin : 02D00500\r\n scout: 11111111\r\n";

TEST_F(SaveFiles, GenericFile) {
  attach(BoardModel::TB830R_1CH);
  Writes w = kChannels;
  w.insert(w.end(), {{0x1C, 0x07}, {0x1D, 0x80}, {0x1A, 0x04}, {0x1B, 0x38}, {0x1F, 0x3C},  // 1920 x 1080, 60
                     {0x0C, 0x05}, {0x0D, 0x00}, {0x0E, 0x02}, {0x0F, 0xD0}});              // 1280 x 720
  bank(w);
  const std::string text = save(ids::ID_SAVE_FPGA_REGS, "generic.txt");
  EXPECT_EQ(text, " board FPGA version : 03010002\r\n"
                  " view : 1920 x 1080 framerate 60\r\n" + kRates +
                  " channel 2 config and work status\r\n"
                  " view : 1280 x  720 framerate 60\r\n" + kRates2 + regids());
  EXPECT_EQ(view_.save_filters, std::vector<std::string>{"FPGA regster store(*.txt)|*.txt|XDPK files(*.xpck)|*.xpck|all file(*.*)|*.*||"});
  ASSERT_EQ(reads().size(), 0xA0u);
  for (uint16_t r = 0; r < 0xA0; ++r) ASSERT_EQ(reads()[r], (std::array<uint16_t, 3>{FPGA, r, 1}));

  // 32819, the TB610 item, writes the same file.
  EXPECT_EQ(save(ids::ID_SAVE_TB610_REGS, "tb610.txt"), text);
}

TEST_F(SaveFiles, TB720VFile) {
  attach(BoardModel::TB720V_2CH);
  Writes w = kChannels;
  w.insert(w.end(), {{0x07, 0x06}, {0x14, 0x05}, {0x2E, 0x03}, {0x2F, 0x42},
                     {0x16, 0x80}, {0x17, 0x07}, {0x18, 0x38}, {0x19, 0x04}, {0x1A, 0x02},  // back 1920 x 1080
                     {0x1B, 0x00}, {0x1C, 0xD2}, {0x1D, 0x0F},                              // dlen
                     {0x22, 0x07}, {0x23, 0x80}, {0x20, 0x04}, {0x21, 0x38}, {0x29, 0x3C},  // one
                     {0x0E, 0x05}, {0x0F, 0x00}, {0x0C, 0x02}, {0x0D, 0xD0}, {0x1F, 0x1E}}); // two
  bank(w);
  EXPECT_EQ(save(ids::ID_SAVE_TB720V_REGS, "tb720v.txt"),
            " TB720V board FPGA inter debug 0x25~27, 0x2B~2D\r\n"
            " TB720V FPGA version : 03010002\r\n"
            " FPGA : 0x07(06)\r\n"
            " audio: 0x14(05)\r\n"
            " txen : 0x2E(03) channel status 0x2F(66)\r\n"
            " back : 1920 x 1080 select(2)\r\n"
            " dlen : 000FD200 (1080P-YUV 1920x1080X2/4=0xFD200)\r\n"
            " TB720V channel 1 config and work status\r\n"
            " view : 1920 x 1080 framerate 60\r\n" + kRates +
            " TB720V channel 2 config and work status\r\n"
            " view : 1280 x  720 framerate 30\r\n" + kRates2 + regids());
  EXPECT_EQ(view_.save_filters.back(),
            "TB720V FPGA regster store(*.txt)|*.txt|XDPK files(*.xpck)|*.xpck|all file(*.*)|*.*||");
}

TEST_F(SaveFiles, TB610RFileAddsTheTwelveReceiverMaps) {
  attach(BoardModel::TB610R_1CH);
  bank({{0x0A, 0x3C}});
  for (int r = 0; r < 256; ++r) card_->set_register(0x26, static_cast<uint8_t>(r), 0x5A);  // afe
  for (int r = 0xF8; r <= 0xFF; ++r) card_->set_register(0x40, static_cast<uint8_t>(r), static_cast<uint8_t>(r - 8));
  card_->remove_device(0x32);  // rep, read right after afe, does not answer
  const auto l = lines(save(ids::ID_SAVE_TB610R_REGS, "tb610r.txt"));
  ASSERT_EQ(l.size(), 12u + 160u + 12u * 32u);
  EXPECT_EQ(l[12 + 0x0A], " regid:0A: 10:0  3C");
  const char* order[] = {"io", "cp", "sdp", "sdp io", "hdmi", "afe", "rep", "vdp", "info", "avlink", "cec", "edid"};
  for (size_t m = 0; m < 12; ++m) {
    EXPECT_EQ(l[172 + 32 * m].rfind(std::string(order[m]) + "[0x00---0x07] value ", 0), 0u) << l[172 + 32 * m];
    EXPECT_EQ(l[172 + 32 * m + 31].rfind(std::string(order[m]) + "[0xf8---0xff] value ", 0), 0u);
  }
  EXPECT_EQ(l[172 + 32 * 5 + 1], "afe[0x08---0x0f] value 0x5a  0x5a  0x5a  0x5a  0x5a  0x5a  0x5a  0x5a");
  // A map the card does not answer shows zeros, not the bytes of the map before it.
  EXPECT_EQ(l[172 + 32 * 6 + 1], "rep[0x08---0x0f] value 0x00  0x00  0x00  0x00  0x00  0x00  0x00  0x00");
  EXPECT_EQ(l[172 + 32 * 10 + 31], "cec[0xf8---0xff] value 0xf0  0xf1  0xf2  0xf3  0xf4  0xf5  0xf6  0xf7");
  EXPECT_EQ(view_.save_filters.back(), REGISTER_FILE_FILTER);

  // After the 160 FPGA reads, 16 reads of 16 bytes per map, in file order.
  const auto r = reads();
  ASSERT_EQ(r.size(), 160u + 12u * 16u);
  const uint16_t devices[] = {0x20, 0x22, 0x48, 0x4A, 0x34, 0x26, 0x32, 0x24, 0x3E, 0x42, 0x40, 0x36};
  for (size_t m = 0; m < 12; ++m)
    for (uint16_t c = 0; c < 16; ++c)
      ASSERT_EQ(r[160 + 16 * m + c], (std::array<uint16_t, 3>{devices[m], static_cast<uint16_t>(c * 16), 16}));
}

TEST_F(SaveFiles, CancelledDialogAfterTheReads) {
  attach(BoardModel::TB610R_1CH);
  EXPECT_EQ(window().on_save_registers(ids::ID_SAVE_FPGA_REGS), RegisterSaveResult::Cancelled);
  EXPECT_EQ(view_.save_filters.size(), 1u);
  EXPECT_EQ(reads().size(), 0xA0u);
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(SaveFiles, AbsentCardGivesStatusMinusOneAndValue00) {
  attach(BoardModel::TB610R_1CH)->unplug();
  const auto l = lines(save(ids::ID_SAVE_FPGA_REGS, "absent.txt"));
  ASSERT_EQ(l.size(), 12u + 160u);
  EXPECT_EQ(l[0], " board FPGA version : 00000000");
  for (unsigned r = 0; r < 0xA0; ++r) {
    char want[40];
    std::snprintf(want, sizeof want, " regid:%02X:%3u:-1  00", r, r);
    ASSERT_EQ(l[12 + r], want);
  }
}

TEST_F(SaveFiles, FileThatCannotBeOpened) {
  attach(BoardModel::TB610R_1CH);
  view_.save_answers.push_back(dir_ + "/no/such/dir/x.txt");
  EXPECT_EQ(window().on_save_registers(ids::ID_SAVE_TB720V_REGS), RegisterSaveResult::OpenFailed);
}

TEST_F(SaveFiles, FullDeviceIsAFailedWrite) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  attach(BoardModel::TB610R_1CH);
  view_.save_answers.push_back("/dev/full");
  EXPECT_EQ(window().on_save_registers(ids::ID_SAVE_TB610R_REGS), RegisterSaveResult::WriteFailed);
}

}  // namespace
}  // namespace kestrel
