// The window's diagnostic queries and debug control against the simulated card: run status,
// debug information (generic, and the board debug block of meadow and rw820c), version, the
// debug channel (button 1061, 32803, 32804) and hdbc (32805, 32806). The card's answers are
// canned where the text must be known to the byte.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "card/diagnostics.h"
#include "devlink/commands.h"
#include "diag_window_fixture.h"
#include "log/hexdump.h"
#include "../log/log_capture.h"

namespace kestrel {
namespace {

using sim::BoardModel;
using test::DiagWindow;
using Bytes = std::vector<uint8_t>;
using Sent = DiagWindow::Sent;

constexpr uint32_t kDiagLevels = (1u << LOG_DIAG) | (1u << LOG_WARN);

std::string hex_dump_text(const uint8_t* data, size_t n) {
  char* buf = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buf, &size);
  FILE* prev = log_stream();
  log_attach_stream(f);
  log_hex_dump(0, data, static_cast<uint32_t>(n));
  log_attach_stream(prev);
  fclose(f);
  std::string s(buf, size);
  free(buf);
  return s;
}

// ---- Run status ----

Bytes run_status_block(size_t size) {
  Bytes b(size, 0);
  uint8_t* p = b.data();
  put_le32(p + 0, 12345);
  p[4] = 0x12;
  put_le16(p + 10, 0xFFFE);
  p[12] = 1, p[13] = 0, p[14] = 1, p[16] = 1, p[18] = 1, p[19] = 2;
  put_le32(p + 20, 0x100);
  put_le32(p + 24, 99500);
  put_le32(p + 28, 0x0001FC01);
  p[32] = 2, p[33] = 7, p[34] = 1, p[35] = 2, p[36] = 3, p[37] = 1, p[39] = 0;
  put_le32(p + 40, 10345);
  put_le32(p + 44, 12329);
  put_le16(p + 48, 1920);
  put_le16(p + 50, 1080);
  p[52] = 1, p[53] = 60, p[54] = 0, p[56] = 1, p[57] = 2, p[58] = 48, p[61] = 3, p[62] = 4;
  uint8_t* uvc = p + 64;
  uvc[0] = 1, uvc[1] = 1, uvc[2] = 1, uvc[3] = 0, uvc[4] = 1, uvc[5] = 1, uvc[6] = 3, uvc[7] = 4;
  put_le32(uvc + 8, 12000);
  uvc[12] = 2;
  put_le16(uvc + 14, 6);
  put_le16(uvc + 16, 2);
  put_le16(uvc + 18, 8);
  put_le32(uvc + 20, 0xABCD);
  put_le32(uvc + 24, 7);
  put_le32(uvc + 28, 0x10);
  put_le32(uvc + 32, 0x20);
  put_le32(uvc + 36, 0x30);
  put_le32(uvc + 40, 0x2F);
  put_le32(uvc + 44, 1);
  return b;
}

const std::string kRunStatusText =
    "\r\n qzdbg(bdap:1 isdbg:0 probe:1 bset:1:00000012:FFFFFFFE) tail(00000100)\r\n"
    " idle 99.500   busy : 1   qzdbg txerr : 2   bcfg[1] : 0001FC01\r\n"
    " tick 12.345 : 12329 : 16\r\n"
    " vpin 2 nref : 1 mode : 2 stat : 3   idle : 99.500\r\n"
    " fvpd 7 force: 0 kefi : 0\r\n"
    " lock 1:2000\r\n"
    " audo 1:2:48 w:3 i:4\r\n"
    " view 0:60:1(1920x1080)\r\n"
    "\r\n uvc  active:1 bcfg:1 start:1 clear:0 open:1 stat:3 bdma:1 bcnt:4 time:12000\r\n"
    " nref 00000020 prod 00000030 cons 0000002F nerr 00000001 ncnt 00000010 brst 2\r\n"
    " min  2        max  8        work 6        save 0000ABCD tmrd 7\r\n"
    "\r\n uac  active:0 bcfg:0 start:0 clear:0 open:0 stat:0 bdma:0 bcnt:0 time:0\r\n"
    " nref 00000000 prod 00000000 cons 00000000 nerr 00000000 ncnt 00000000 brst 0\r\n"
    " min  0        max  0        work 0        save 00000000 tmrd 0\r\n";

TEST_F(DiagWindow, RunStatusOfAGenericBoard) {
  attach(BoardModel::TB610R_1CH)->override_answer(CMD_WORK_STATUS, run_status_block(176));
  test::LogCapture log;
  log_set_filter(true, kDiagLevels, 0);
  EXPECT_TRUE(window().on_command(ids::ID_RUN_STATUS));
  EXPECT_EQ(log.text(), kRunStatusText);
  EXPECT_EQ(sent(), (std::vector<Sent>{{RID_LONG_REQ, CMD_WORK_STATUS, 0, {1}}}));
}

TEST_F(DiagWindow, RunStatusAnswerOf175BytesPrintsNothing) {
  attach(BoardModel::TB610R_1CH)->override_answer(CMD_WORK_STATUS, run_status_block(175));
  test::LogCapture log;
  log_set_filter(true, kDiagLevels, 0);
  EXPECT_FALSE(window().card().dump_run_status());
  EXPECT_EQ(log.text(), "");
}

// ---- The board debug block of meadow and rw820c ----

// The command-8 answer (block offsets 0..215) and the command-9 answer (from 216).
std::array<Bytes, 2> board_debug_answers(size_t block_size) {
  Bytes b(block_size, 0);
  uint8_t* p = b.data();
  p[104] = 0xC3, p[105] = 0x07, p[106] = 1, p[111] = 1, p[116] = 2, p[128] = 0x03, p[129] = 7, p[130] = 1;
  put_le64(p + 136, 5'123'456'789ULL);
  put_le16(p + 148, 7);
  p[150] = 1, p[151] = 2;
  put_le32(p + 200, 0x1000);
  const uint16_t view[6] = {1920, 1080, 1, 2, 3, 4};
  for (int i = 0; i < 6; ++i) put_le16(p + 204 + 2 * i, view[i]);
  put_le16(p + 224, 0x0007);
  p[228] = 3, p[229] = 1;
  put_le32(p + 236, 5000);
  p[240] = 1, p[244] = 60, p[245] = 2;
  put_le16(p + 264, 0x0040);
  const uint8_t kadj[6] = {0xFF, 2, 0xFD, 4, 5, 6};
  std::copy(kadj, kadj + 6, p + 266);
  const uint8_t vpin[7] = {1, 7, 1, 2, 3, 0, 0};
  std::copy(vpin, vpin + 7, p + 296);
  put_le32(p + 304, 5100);
  put_le32(p + 308, 4000);
  put_le16(p + 312, 1920);
  put_le16(p + 314, 1080);
  p[316] = 60, p[317] = 0, p[318] = 1, p[319] = 1;
  uint8_t* in0 = p + 328;
  in0[0] = 3, in0[1] = 1, in0[2] = 0, in0[3] = 2;
  put_le32(in0 + 4, 4500);
  put_le16(in0 + 8, 1920);
  put_le16(in0 + 10, 1080);
  in0[12] = 60, in0[13] = 0, in0[14] = 0, in0[15] = 1;
  put_le16(in0 + 16, 1280);
  put_le16(in0 + 18, 720);
  in0[20] = 30, in0[21] = 1, in0[22] = 0, in0[23] = 0x11;
  uint8_t* in1 = p + 352;
  in1[0] = 1;
  put_le32(in1 + 4, 5123);
  // The key area (the last 32 bytes); on rw820c it overlaps input 1's record, which keeps its bytes.
  for (size_t k = 0; k < 32; ++k)
    if (block_size - 32 + k >= 376) p[block_size - 32 + k] = static_cast<uint8_t>(0xA0 + k);
  return {Bytes(b.begin(), b.begin() + 216), Bytes(b.begin() + 216, b.end())};
}

const std::string kBoardDebugLines =
    " code C3:07 ready:1 hid:1 codec:2\r\n"
    " kcfg audio(03) fvpd(7) policy(1)\r\n"
    " time 1:2 7 5.123456789\r\n"
    "\r\n kadj 40 -1 2 -3 4 5 6 color:1 fvpd:7 bsize:1000\r\n"
    " view 1920x1080 cut<1:2:3:4> framerate:60\r\n"
    "\r\n input work status\r\n"
    " color(1:YUV) bits:0007 stat:3 lock:1 dirty: 123:5000\r\n"
    " vpin:1    fvpd:7 nref:1 mode:2 stat:3 lock:0 intr:0\r\n"
    " tick  " "        23:5100\r\n"
    " dirty " "      1123:4000\r\n"
    " vformat  input:1(0:60:01) w:1920 h:1080\r\n"
    "\r\n ------ show input vinp:0 ------ \r\n"
    " stat(3) xchg(1) trig(0) nref(2) dirty(623:4500)\r\n"
    " work     input:0(0:60:01) w:1920 h:1080\r\n"
    " vinp     input:0(1:30:11) w:1280 h:720\r\n"
    "\r\n ------ show input vinp:1 ------ \r\n"
    " stat(1) xchg(0) trig(0) nref(0) dirty(0:5123)\r\n"
    " work     input:0(0:0:00) w:0 h:0\r\n"
    " vinp     input:0(0:0:00) w:0 h:0\r\n";

struct BoardDebugCase {
  BoardModel model;
  size_t size;
  const char* lenght;
};

class BoardDebug : public DiagWindow, public ::testing::WithParamInterface<BoardDebugCase> {};

TEST_P(BoardDebug, DebugInformationIsTheBoardsOwnDump) {
  const BoardDebugCase& c = GetParam();
  auto card = attach(c.model);
  const auto answers = board_debug_answers(c.size);
  card->override_answer(CMD_CYFXD, answers[0]);
  card->override_answer(CMD_CYFXD_TAIL, answers[1]);
  test::LogCapture log;
  log_set_filter(true, kDiagLevels, 0);
  EXPECT_TRUE(window().card().dump_debug_info());

  Bytes block = answers[0];
  block.insert(block.end(), answers[1].begin(), answers[1].end());
  const uint8_t* key = block.data() + c.size - 32;
  char keyid[64];
  std::snprintf(keyid, sizeof keyid, " meadow board data length(%04zX) keyid(%08X)", c.size, crc32_register(key, 32));
  EXPECT_EQ(log.text(), std::string(c.lenght) + hex_dump_text(block.data(), c.size) + keyid + hex_dump_text(key, 32) +
                            kBoardDebugLines);
  EXPECT_EQ(sent(), (std::vector<Sent>{{RID_LONG_REQ, CMD_CYFXD, 0, {1}}, {RID_LONG_REQ, CMD_CYFXD_TAIL, 0, {1}}}));
}

TEST_P(BoardDebug, RunStatusIsTheLenghtLineAndTheBlock) {
  const BoardDebugCase& c = GetParam();
  auto card = attach(c.model);
  const auto answers = board_debug_answers(c.size);
  card->override_answer(CMD_CYFXD, answers[0]);
  card->override_answer(CMD_CYFXD_TAIL, answers[1]);
  test::LogCapture log;
  log_set_filter(true, kDiagLevels, 0);
  EXPECT_TRUE(window().card().dump_run_status());
  Bytes block = answers[0];
  block.insert(block.end(), answers[1].begin(), answers[1].end());
  EXPECT_EQ(log.text(), std::string(c.lenght) + hex_dump_text(block.data(), c.size));
  EXPECT_EQ(sent().size(), 2u);  // commands 8 and 9; no command 5
}

TEST_P(BoardDebug, PrintsZerosWhereTheFetchStopped) {
  sim::Scenario s = sim::make_scenario(GetParam().model);
  s.faults.at(sim::StepKind::Command, CMD_CYFXD_TAIL, sim::Fault::DropAnswer);
  card_ = backend_.add_card(s);
  window().on_init_dialog();
  const auto answers = board_debug_answers(GetParam().size);
  card_->override_answer(CMD_CYFXD, answers[0]);
  test::LogCapture log;
  log_set_filter(true, kDiagLevels, 0);
  EXPECT_TRUE(window().card().dump_debug_info());
  Bytes block = answers[0];
  block.resize(GetParam().size, 0);
  EXPECT_NE(log.text().find(hex_dump_text(block.data(), block.size())), std::string::npos);
  EXPECT_NE(log.text().find(" color(0:RGB) bits:0000 stat:0 lock:0 dirty: 5123:0\r\n"), std::string::npos) << log.text();
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardDebug,
                         ::testing::Values(BoardDebugCase{BoardModel::Meadow, 448, " *&* : lenght 01C0 offt D8 second E8"},
                                           BoardDebugCase{BoardModel::Rw820c, 400, " *&* : lenght 0190 offt D8 second B8"}),
                         [](const auto& info) { return std::string(sim::model_name(info.param.model)); });

// ---- Generic debug information ----

Bytes debug_head() {
  Bytes b(160, 0);
  uint8_t* p = b.data();
  p[0] = 0xC3, p[1] = 0x03, p[2] = 1, p[3] = 3, p[5] = 0x11, p[6] = 1, p[7] = 0x5A, p[10] = 1, p[11] = 1, p[12] = 1;
  put_le32(p + 16, 0x0000A501);
  p[20] = 1, p[21] = 1;
  put_le16(p + 22, 0x8000);
  const uint8_t kcfg[8] = {0x03, 0, 1, 2, 48, 0x05, 1, 0x81};
  std::copy(kcfg, kcfg + 8, p + 24);
  put_le32(p + 32, 10000);
  put_le16(p + 36, 7);
  p[41] = 1, p[42] = 2;
  put_le32(p + 48, 0x1000);
  put_le16(p + 52, 1920);
  put_le16(p + 54, 1080);
  return b;
}

// Block offsets 160 onward.
Bytes debug_tail(size_t n) {
  Bytes b(std::max<size_t>(n, 30), 0);
  auto at = [&](size_t off) { return b.data() + off - 160; };
  *at(184) = 2;   // colour
  *at(188) = 30;  // frame rate
  *at(189) = 1;   // one input to show
  b.resize(n);
  return b;
}

TEST_F(DiagWindow, GenericDebugInformationReadsTwoAnswersForOneRequest) {
  auto card = attach(BoardModel::TB610R_1CH);
  card->override_answer(CMD_CYFXD, debug_head());
  card->override_answer(CMD_CYFXD_TAIL, debug_tail(120));
  test::LogCapture log;
  log_set_filter(true, kDiagLevels, 0);
  EXPECT_TRUE(window().on_command(ids::ID_DEBUG_INFO));
  const std::string text = log.text();
  EXPECT_EQ(text.substr(0, text.find("\r\n kadj")),
            " cyfx work detail global status\r\n"
            " code C3:03 ready:1 spd:3 matrix:11 gpif:1 ekwvcc:5A gpi:1 spi:1 codec:1\r\n"
            " kcfg audio(03) fvpd(0) policy(1) index(2) rate(48) fsm(05) port(1) epctl(81)\r\n"
            " kgbl xkey(0000A501) sync_reset_lock(1)\r\n"
            " qctl restart(80000101) stat(1) avideo(1) bits(8000)={15}\r\n"
            " time 1:2 7 10000\r\n");
  EXPECT_NE(text.find(" view 1920x1080 cut<0:0:0:0> framerate:30\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" color(2:NV12) bits:0000 stat:0 lock:0 dirty: 10000:0\r\n"), std::string::npos);
  EXPECT_NE(text.find(" ------ show input vinp:0 ------ \r\n"), std::string::npos);
  EXPECT_EQ(text.find(" ------ show input vinp:1"), std::string::npos);
  EXPECT_EQ(sent(), (std::vector<Sent>{{RID_LONG_REQ, CMD_CYFXD, 0, {1}}}));
}

TEST_F(DiagWindow, GenericDebugInformationWithoutAFullSecondAnswerPrintsNothing) {
  auto card = attach(BoardModel::TB610R_1CH);
  card->override_answer(CMD_CYFXD, debug_head());
  card->override_answer(CMD_CYFXD_TAIL, debug_tail(28));  // one byte short
  test::LogCapture log;
  log_set_filter(true, kDiagLevels, 0);
  EXPECT_FALSE(window().card().dump_debug_info());
  EXPECT_EQ(log.text(), "");
}

// ---- Version ----

Bytes status_block(const std::string& text, int length_adjust = 0, bool break_sum = false) {
  Bytes b(64 + text.size() + 1, 0);
  put_le32(b.data(), MAGIC_ZHHH);
  put_le16(b.data() + 4, static_cast<uint16_t>(b.size() + length_adjust));
  put_le32(b.data() + 32, 0x00000101);
  put_le32(b.data() + 36, 0x000F00AB);
  std::copy(text.begin(), text.end(), b.begin() + 64);
  const size_t summed = b.size() + length_adjust;
  put_le16(b.data() + 6, static_cast<uint16_t>(~frame_csum(b.data(), summed)));
  if (break_sum) b[64] ^= 0x01;
  return b;
}

TEST_F(DiagWindow, VersionFromTheStatusBlock) {
  auto card = attach(BoardModel::TB610R_1CH);
  card->override_answer(CMD_BOARD_STATUS, status_block("TB610R-1CH:V9.9.9 FPGA:9.9"));
  test::LogCapture log;
  log_set_filter(true, kDiagLevels, 0);
  EXPECT_TRUE(window().on_command(ids::ID_VERSION));
  EXPECT_EQ(log.text(), "\r\n TB610R-1CH:V9.9.9 FPGA:9.9\r\n xfcs(00000101) gpif(000f00ab)\r\n");
  EXPECT_EQ(sent(), (std::vector<Sent>{{RID_LONG_REQ, CMD_BOARD_STATUS, 0, {1}}}));
}

TEST_F(DiagWindow, VersionOfABlockThatDoesNotCheckOutPrintsNothing) {
  auto card = attach(BoardModel::TB610R_1CH);
  test::LogCapture log;
  log_set_filter(true, kDiagLevels, 0);
  card->override_answer(CMD_BOARD_STATUS, status_block("TB610R-1CH:V9", 0, true));
  EXPECT_FALSE(window().card().dump_version());
  card->override_answer(CMD_BOARD_STATUS, status_block("TB610R-1CH:V9", -1));  // shorter than its text + 65
  EXPECT_FALSE(window().card().dump_version());
  EXPECT_EQ(log.text(), "");
}

TEST_F(DiagWindow, VersionWithoutACardWarns) {
  attach(BoardModel::TB610R_1CH)->unplug();
  test::LogCapture log;
  log_set_filter(true, kDiagLevels, 0);
  EXPECT_FALSE(window().card().dump_version());
  EXPECT_EQ(log.text(), " war : query work version failed\r\n");
  qhidev_release_all(list_);
  EXPECT_FALSE(window().card().dump_version());
  EXPECT_EQ(log.text(), " war : query work version failed\r\n war : query work version failed\r\n");
}

// ---- The debug channel ----

TEST_F(DiagWindow, Button1061SwitchesTheChannelAndThePoll) {
  attach(BoardModel::TB610R_1CH);
  test::LogCapture log;
  ASSERT_FALSE(window().session().debug_channel_on());
  window().on_command(ids::BTN_DEBUG_1061);
  EXPECT_TRUE(window().session().debug_channel_on());
  EXPECT_EQ(view_.text(ids::BTN_DEBUG_1061), "禁止");
  window().on_command(ids::BTN_DEBUG_1061);
  EXPECT_FALSE(window().session().debug_channel_on());
  EXPECT_EQ(view_.text(ids::BTN_DEBUG_1061), "输出");
  EXPECT_EQ(sent(), (std::vector<Sent>{{RID_SHORT_REQ, CMD_DBG_CONTROL, 2, {}}, {RID_SHORT_REQ, CMD_DBG_CONTROL, 1, {}}}));
  EXPECT_EQ(log.text(),
            " *&* : qzdbg control status(1) ready(1) bset(0) kstd(0)\r\n"
            " *&* : qzdbg control status(0) ready(1) bset(0) kstd(0)\r\n");
}

TEST_F(DiagWindow, QzdbgBytesPrintSignExtendedAndAFailedExchangeShowsTheEarlierOnes) {
  auto card = attach(BoardModel::TB610R_1CH);
  card->override_answer(CMD_DBG_CONTROL, Bytes{0xFF, 0x01, 0x80, 0x7F});
  test::LogCapture log;
  EXPECT_TRUE(window().session().switch_debug_channel(true));
  card->unplug();
  EXPECT_FALSE(window().session().switch_debug_channel(false));
  EXPECT_FALSE(window().session().debug_channel_on());
  const std::string line = " *&* : qzdbg control status(4294967295) ready(1) bset(4294967168) kstd(127)\r\n";
  EXPECT_EQ(log.text(), line + line);
}

TEST_F(DiagWindow, Commands32803And32804AskAndSwitchOnQuietly) {
  attach(BoardModel::TB610R_1CH);
  test::LogCapture log;
  window().on_command(ids::ID_QZDBG_ASK);
  window().on_command(ids::ID_QZDBG_ON);
  EXPECT_EQ(sent(), (std::vector<Sent>{{RID_SHORT_REQ, CMD_DBG_CONTROL, 3, {}}, {RID_SHORT_REQ, CMD_DBG_CONTROL, 2, {}}}));
  EXPECT_EQ(window().card().diag().qzdbg, (std::array<uint8_t, 4>{1, 1, 0, 0}));
  EXPECT_FALSE(window().session().debug_channel_on());
  EXPECT_EQ(log.text(), "");
}

// ---- hdbc ----

Bytes words(uint32_t w0, uint32_t w1) {
  Bytes b(8);
  put_le32(b.data(), w0);
  put_le32(b.data() + 4, w1);
  return b;
}

TEST_F(DiagWindow, HdbcMode3PutsBits10To15AsideAndMode4PutsThemBack) {
  attach(BoardModel::TB610R_1CH);  // the card starts with W0 0x0001FC01, W1 0x00000010
  window().on_command(ids::ID_HDBC_MODE3);
  EXPECT_EQ(window().card().diag().hdbc_saved, 0xFC00u);
  window().on_command(ids::ID_HDBC_MODE4);
  EXPECT_EQ(sent(), (std::vector<Sent>{{RID_LONG_REQ, CMD_HDBC_CONFIG, 0, {}},
                                       {RID_LONG_REQ, CMD_HDBC_CONFIG, 0, words(0x00010001, 0x10)},
                                       {RID_LONG_REQ, CMD_HDBC_CONFIG, 0, {}},
                                       {RID_LONG_REQ, CMD_HDBC_CONFIG, 0, words(0x0001FC01, 0x10)}}));
}

TEST_F(DiagWindow, HdbcModes1And2AndAnUnknownMode) {
  attach(BoardModel::TB610R_1CH);
  HdbcResult r = window().card().hdbc(1);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.written[1], 0x11u);
  r = window().card().hdbc(2);
  EXPECT_EQ(r.read[1], 0x11u);
  EXPECT_EQ(r.written[1], 0x10u);
  card_->clear_reports();
  EXPECT_FALSE(window().card().hdbc(5).ok);
  EXPECT_EQ(sent(), (std::vector<Sent>{{RID_LONG_REQ, CMD_HDBC_CONFIG, 0, {}}}));  // read, nothing written
  window().card().hdbc(4);  // nothing was put aside: W0 goes back as read
  EXPECT_EQ(sent().back(), (Sent{RID_LONG_REQ, CMD_HDBC_CONFIG, 0, words(0x0001FC01, 0x10)}));
}

}  // namespace
}  // namespace kestrel
