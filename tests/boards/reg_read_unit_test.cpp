// reg_read's handling of replies the simulated card does not send: checked against a recording
// device that answers what the test queues.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include "boards/reg_access.h"
#include "devlink/commands.h"
#include "devlink/hid_link.h"
#include "support/recording_device.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

class RegReadUnit : public ::testing::Test {
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
    link_.own_status_valid = 1;
  }

  // The answer to the next register read: count field, status byte and data.
  void answer(uint16_t count_field, uint8_t status, const Bytes& data) {
    Bytes payload(REG_REPLY_DATA + data.size(), 0);
    put_le16(payload.data() + REG_REPLY_COUNT, count_field);
    payload[REG_REPLY_STATUS] = status;
    for (size_t i = 0; i < data.size(); ++i) payload[REG_REPLY_DATA + i] = data[i];
    Bytes a(ANSWER_REPORT_SIZE, 0);
    frame_build(a.data(), RID_ANSWER, static_cast<uint8_t>(*link_.reg_seq + 1), CMD_REG_READ, 0, payload.data(),
                static_cast<uint16_t>(payload.size()));
    dev_->answers.push_back(a);
  }

  qhidev_list list_;
  HidLink link_{list_};
  test::RecordingDevice* dev_ = nullptr;
};

struct ReplyCase {
  const char* what;
  uint16_t count_field;
  uint8_t status;
  Bytes data;
  int32_t count;
  int32_t result;
  Bytes out;  // the first 6 bytes of out afterwards (0xEE: untouched)
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.what; }

class RegReadReply : public RegReadUnit, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(RegReadReply, Copy) {
  const ReplyCase& c = GetParam();
  answer(c.count_field, c.status, c.data);
  std::array<uint8_t, 6> out;
  out.fill(0xEE);
  EXPECT_EQ(reg_read(link_, 0x10, 0, c.count, out), c.result);
  EXPECT_EQ(Bytes(out.begin(), out.end()), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RegReadReply,
    ::testing::Values(
        ReplyCase{"count_field_0", 0, 1, {}, 4, 0, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
        ReplyCase{"fewer_than_asked", 2, 1, {1, 2}, 4, 0, {1, 2, 0xEE, 0xEE, 0xEE, 0xEE}},
        ReplyCase{"more_than_asked", 4, 1, {1, 2, 3, 4}, 3, 0, {1, 2, 3, 0xEE, 0xEE, 0xEE}},
        // The count field is the card's word; only data the reply carries is copied.
        ReplyCase{"count_field_past_the_data", 5, 1, {1, 2}, 5, 0, {1, 2, 0xEE, 0xEE, 0xEE, 0xEE}},
        ReplyCase{"status_byte_0", 2, 0, {1, 2}, 2, -2, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(RegReadUnit, ReplyShorterThanEightBytesRefused) {
  Bytes a(ANSWER_REPORT_SIZE, 0);
  const uint8_t payload[7] = {0, 0, 0, 0, 1, 0, 1};
  frame_build(a.data(), RID_ANSWER, static_cast<uint8_t>(*link_.reg_seq + 1), CMD_REG_READ, 0, payload, 7);
  dev_->answers.push_back(a);
  std::array<uint8_t, 1> out{};
  EXPECT_EQ(reg_read(link_, 0x10, 0, 1, out), -2);
}

TEST_F(RegReadUnit, CountLargerThanOutRefused) {
  std::array<uint8_t, 3> out{};
  EXPECT_EQ(reg_read(link_, 0x10, 0, 4, out), -1);
  EXPECT_TRUE(dev_->sent.empty());
}

}  // namespace
}  // namespace kestrel
