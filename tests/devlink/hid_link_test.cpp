#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include "devlink/commands.h"
#include "devlink/hid_link.h"
#include "support/recording_device.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

// An answer frame as a card sends it: report 9 (or the command in byte 0 for cards without the
// byte-2 echo), sequence byte, command, status, payload, checksum.
Bytes answer(uint8_t b0, uint8_t seq, uint8_t b2, const Bytes& payload, uint8_t status = 0) {
  Bytes a(265, 0);
  frame_build(a.data(), b0, seq, b2, status, payload.data(), static_cast<uint16_t>(payload.size()));
  return a;
}

class HidLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto rec = std::make_shared<test::RecordingDevice>();
    dev_ = rec.get();
    auto d = std::make_unique<qhidev>();
    d->handle = rec;
    d->link_flags = QHIDEV_F_ECHO2;
    list_.items[0] = std::move(d);
    list_.count = 1;
    list_.current = list_.items[0].get();
  }
  void set_flags(uint16_t f) { list_.current->link_flags = f; }

  qhidev_list list_;
  HidLink link_{list_};
  test::RecordingDevice* dev_ = nullptr;
  alignas(64) std::array<uint8_t, 4096> page_{};
};

TEST_F(HidLinkTest, ControlCommandRequestBytes) {
  link_.hid_seq = 4;
  dev_->answers.push_back(answer(9, 5, CMD_CONTROL, {1, 0}));
  EXPECT_EQ(link_.hid_send_command(CTRL_DL_LOCK, page_), 1);
  ASSERT_EQ(dev_->sent.size(), 1u);
  Bytes want(265, 0);
  const uint8_t head[9] = {0x0B, 0x05, 0x07, 0x00, 0x01, 0x00, 0x6B, 0xFA, 0x81};
  std::copy(std::begin(head), std::end(head), want.begin());
  EXPECT_EQ(dev_->sent[0], want);
  // The fetch asks for input report 9 as 265 bytes, zero after the ID.
  ASSERT_EQ(dev_->fetched.size(), 1u);
  EXPECT_EQ(dev_->fetched[0].size(), 265u);
  EXPECT_EQ(dev_->fetched[0][0], 9);
}

TEST_F(HidLinkTest, AsyncRequestBytes) {
  EXPECT_TRUE(link_.send_async(24, page_));
  ASSERT_EQ(dev_->sent.size(), 1u);
  const Bytes head(dev_->sent[0].begin(), dev_->sent[0].begin() + 12);
  EXPECT_EQ(head, (Bytes{0x0B, 0x01, 0x0B, 0x00, 0x04, 0x00, 0xCD, 0xFE, 0x18, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(dev_->fetched.empty());  // nothing is fetched for command 11
}

TEST_F(HidLinkTest, ShortRequestBytes) {
  link_.hid_seq = 0x21;
  std::array<uint8_t, 265> buf{};
  Answer a;
  const Bytes event(24, 0);
  dev_->answers.push_back(answer(9, 0x22, CMD_BOARD_EVENT, event));
  EXPECT_TRUE(link_.transact_short(CMD_BOARD_EVENT, CMD_EVENT_SUB, nullptr, 0, 24, buf, a));
  ASSERT_EQ(dev_->sent.size(), 1u);
  Bytes want(63, 0);
  const uint8_t head[8] = {0x0A, 0x22, 0x01, 0x18, 0x00, 0x00, 0xF4, 0xC5};
  std::copy(std::begin(head), std::end(head), want.begin());
  EXPECT_EQ(dev_->sent[0], want);
}

TEST_F(HidLinkTest, PayloadLimitsRefusedWithoutPlatformCall) {
  Bytes p(257, 0xAA);
  EXPECT_TRUE(link_.hid_put(1, 15, 0, p.data(), 256, page_));
  EXPECT_EQ(dev_->sent.back().size(), 265u);
  EXPECT_EQ(dev_->sent.back()[263], 0xAA);  // last payload byte at 8 + 255
  EXPECT_FALSE(link_.hid_put(1, 15, 0, p.data(), 257, page_));
  EXPECT_EQ(dev_->sent.size(), 1u);

  std::array<uint8_t, 265> buf{};
  EXPECT_TRUE(link_.put_short(1, 15, 0, p.data(), 55, buf));
  EXPECT_EQ(dev_->sent.back().size(), 63u);
  EXPECT_FALSE(link_.put_short(1, 15, 0, p.data(), 56, buf));
  EXPECT_EQ(dev_->sent.size(), 2u);
}

TEST_F(HidLinkTest, SendFrameRefusesForeignIdsAndOverlongFrames) {
  std::array<uint8_t, 265> f{};
  frame_build(f.data(), 12, 1, 1, 0, nullptr, 0);
  EXPECT_FALSE(link_.send_frame(f));
  frame_build(f.data(), RID_SHORT_REQ, 1, 1, 0, f.data() + 8, 56);
  EXPECT_FALSE(link_.send_frame(f));
  frame_build(f.data(), RID_LONG_REQ, 1, 1, 0, f.data() + 8, 257);
  EXPECT_FALSE(link_.send_frame(f));
  EXPECT_TRUE(dev_->sent.empty());
}

TEST_F(HidLinkTest, NoCurrentDeviceFailsBeforeThePlatform) {
  list_.current = nullptr;
  EXPECT_FALSE(link_.hid_put(1, 4, 0, nullptr, 0, page_));
  EXPECT_FALSE(link_.hid_get(page_));
  EXPECT_EQ(link_.hid_send_command(0x81, page_), -1);
  list_.current = list_.items[0].get();
  // Keep the device alive past the reset so that what it was sent can still be read.
  const std::shared_ptr<platform::HidDevice> keep = list_.current->handle;
  list_.current->handle.reset();  // invalid handle
  EXPECT_FALSE(link_.hid_put(1, 4, 0, nullptr, 0, page_));
  EXPECT_TRUE(dev_->sent.empty());
}

TEST_F(HidLinkTest, EchoPositionFollowsLinkFlag) {
  const Bytes pl{1, 2};
  // Flag 0x02 clear: byte 0 carries the command; byte 2 may hold anything.
  set_flags(0);
  Bytes a = answer(CMD_CONTROL, 3, 0x55, pl);
  EXPECT_TRUE(link_.frame_check(a.data(), CMD_CONTROL, 3, 2));
  a = answer(9, 3, CMD_CONTROL, pl);
  EXPECT_FALSE(link_.frame_check(a.data(), CMD_CONTROL, 3, 2));
  // Flag set: byte 2 must hold it and byte 0 is ignored.
  set_flags(QHIDEV_F_ECHO2);
  EXPECT_TRUE(link_.frame_check(a.data(), CMD_CONTROL, 3, 2));
  a = answer(0x77, 3, CMD_CONTROL, pl);
  EXPECT_TRUE(link_.frame_check(a.data(), CMD_CONTROL, 3, 2));
  a = answer(CMD_CONTROL, 3, 0x55, pl);
  EXPECT_FALSE(link_.frame_check(a.data(), CMD_CONTROL, 3, 2));
}

TEST_F(HidLinkTest, FrameCheckRefusals) {
  const Bytes pl(16, 0x11);
  Bytes a = answer(9, 7, 5, pl);
  EXPECT_TRUE(link_.frame_check(a.data(), 5, 7, 16));
  EXPECT_FALSE(link_.frame_check(a.data(), 5, 8, 16));   // other sequence byte
  EXPECT_FALSE(link_.frame_check(a.data(), 5, 7, 17));   // len below minimum
  a[12] ^= 0x40;
  EXPECT_FALSE(link_.frame_check(a.data(), 5, 7, 16));   // checksum broken
  // Refusal bit is not part of the acceptance test.
  a = answer(9, 7, 5, pl, 0x80);
  EXPECT_TRUE(link_.frame_check(a.data(), 5, 7, 16));
}

TEST_F(HidLinkTest, AnswerLengthBeyondReportIsRefused) {
  // A 258-byte length cannot fit input report 9; its sum is made intact over 266 bytes so that
  // only the length bound can refuse it.
  std::array<uint8_t, 300> a{};
  frame_build(a.data(), 9, 1, 5, 0, nullptr, 0);
  put_le16(a.data() + FRAME_LEN, 258);
  put_le16(a.data() + FRAME_CSUM, 0);
  put_le16(a.data() + FRAME_CSUM, static_cast<uint16_t>(~frame_csum(a.data(), 266)));
  EXPECT_FALSE(link_.frame_check(a.data(), 5, 1, 0));
  EXPECT_TRUE(link_.frame_check(a.data(), 5, 1, 0, 258));
  // The status report holds at most 183 payload bytes.
  Bytes s = answer(9, 1, 4, Bytes(184, 0));
  EXPECT_FALSE(link_.frame_check(s.data(), 4, 1, 64, STATUS_PAYLOAD_MAX));
  s = answer(9, 1, 4, Bytes(183, 0));
  EXPECT_TRUE(link_.frame_check(s.data(), 4, 1, 64, STATUS_PAYLOAD_MAX));
}

TEST_F(HidLinkTest, SequenceByteWrapsOnThe256thRequest) {
  for (int i = 1; i <= 256; ++i) {
    ASSERT_TRUE(link_.send_async(0, page_));
    EXPECT_EQ(dev_->sent.back()[1], static_cast<uint8_t>(i));
  }
  EXPECT_EQ(dev_->sent.back()[1], 0);
}

struct SendCommandCase {
  uint8_t answer_byte;
  bool fetch_fails;
  int result;
};

class HidSendCommand : public HidLinkTest, public ::testing::WithParamInterface<SendCommandCase> {};

TEST_P(HidSendCommand, Result) {
  const auto c = GetParam();
  dev_->fail_get = c.fetch_fails;
  dev_->answers.push_back(answer(9, 1, CMD_CONTROL, {c.answer_byte, 0}));
  EXPECT_EQ(link_.hid_send_command(0x21, page_), c.result);
}

INSTANTIATE_TEST_SUITE_P(Cases, HidSendCommand,
                         ::testing::Values(SendCommandCase{255, false, -1}, SendCommandCase{1, false, 1},
                                           SendCommandCase{254, false, 1}, SendCommandCase{0, false, 0},
                                           SendCommandCase{1, true, 0}));

TEST_F(HidLinkTest, FailedSendGivesMinusOneAndFetchesNothing) {
  dev_->fail_send = true;
  EXPECT_EQ(link_.hid_send_command(0x21, page_), -1);
  EXPECT_TRUE(dev_->fetched.empty());
}

TEST_F(HidLinkTest, StaleSequenceAnswerIsRefused) {
  dev_->answers.push_back(answer(9, 9, CMD_CONTROL, {1, 0}));  // an answer to an older request
  EXPECT_EQ(link_.hid_send_command(0x21, page_), 0);
}

TEST_F(HidLinkTest, TransactLongHandsOutPayloadAndStatus) {
  Answer a;
  dev_->answers.push_back(answer(9, 1, CMD_PROP_BLOCK, Bytes(32, 3), 0x80));
  ASSERT_TRUE(link_.transact_long(CMD_PROP_BLOCK, 0, Bytes(32, 0).data(), 32, 32, page_, a));
  EXPECT_EQ(a.len, 32);
  EXPECT_TRUE(a.refused());
  EXPECT_EQ(a.payload[31], 3);
  // A register read numbers itself with its own counter and leaves hid_seq alone.
  *link_.reg_seq = 41;
  dev_->answers.push_back(answer(9, 42, CMD_REG_READ, Bytes(8, 1)));
  ASSERT_TRUE(link_.transact_long(CMD_REG_READ, 0, Bytes(8, 0).data(), 8, 8, page_, a, link_.reg_seq));
  EXPECT_EQ(dev_->sent.back()[1], 42);
  EXPECT_EQ(link_.hid_seq, 1u);
}

TEST_F(HidLinkTest, NotifyGoesOutOnReport5OnlyForStatusReportCards) {
  set_flags(QHIDEV_F_ECHO2);
  EXPECT_FALSE(link_.send_notify(1, 2, 3));
  EXPECT_TRUE(dev_->sent.empty());
  set_flags(QHIDEV_F_STATUS_RPT);
  EXPECT_TRUE(link_.send_notify(1, 2, 3));
  ASSERT_EQ(dev_->sent.size(), 1u);
  const Bytes& r = dev_->sent[0];
  EXPECT_EQ(r.size(), 63u);
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 6), (Bytes{5, static_cast<uint8_t>(link_.hid_seq), 14, 0, 16, 0}));
  EXPECT_EQ(get_le32(r.data() + 8), MAGIC_ZHHH);
  EXPECT_TRUE(frame_sum_intact(r.data(), 24));
}

}  // namespace
}  // namespace kestrel
