// The acceptance table of the card's asynchronous reports, row by row.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devlink/frame.h"
#include "devlink/reader.h"
#include "log/clock.h"
#include "log/log.h"
#include "../log/log_capture.h"

namespace kestrel {
namespace {

struct Calls {
  std::vector<std::vector<uint8_t>> events;
};

bool record(void* ctx, uint32_t type, uint32_t len, const uint8_t* data) {
  auto* c = static_cast<Calls*>(ctx);
  if (type == 2) c->events.emplace_back(data, data + len);
  return true;
}

std::vector<uint8_t> event_record(uint8_t kind, uint16_t code, uint64_t dev_time) {
  std::vector<uint8_t> r(24, 0);
  r[0] = kind;
  put_le32(r.data() + 4, MAGIC_ZHHH);
  put_le64(r.data() + 8, dev_time);
  put_le32(r.data() + 16, code);
  put_le16(r.data() + 2, static_cast<uint16_t>(~frame_csum(r.data(), 24)));
  return r;
}

std::vector<uint8_t> framed(uint8_t rid, uint8_t b2, const std::vector<uint8_t>& payload, size_t size = 264) {
  std::vector<uint8_t> r(std::max(size, payload.size() + 8), 0);
  frame_build(r.data(), rid, 0, b2, 0, payload.data(), static_cast<uint16_t>(payload.size()));
  return r;
}

class AsyncDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_set_source(&clock_);
    clock_init();
    clock_.advance_ns(50'000'000'000ull);
    c_.context = &calls_;
    c_.callback = record;
  }
  void TearDown() override {
    clock_set_source(nullptr);
    clock_init();
  }
  AsyncVerdict dispatch(const std::vector<uint8_t>& r, size_t got = 0) {
    return reader_dispatch(c_, r.data(), got ? got : r.size());
  }
  SimClock clock_;
  Calls calls_;
  ReaderControl c_;
};

TEST_F(AsyncDispatch, EventReportUpdatesOffsetAndCallsBack) {
  auto r = event_record(2, 72, 20'000'000'000ull);
  r.resize(264);
  EXPECT_EQ(dispatch(r), AsyncVerdict::Event);
  ASSERT_EQ(calls_.events.size(), 1u);
  EXPECT_EQ(get_le16(calls_.events[0].data() + 16), 72);
  EXPECT_EQ(c_.dev_time_offset.load(), static_cast<int64_t>(clock_now_ns() - 20'000'000'000ull));
}

TEST_F(AsyncDispatch, EventWithCorruptByte20IsDroppedSilently) {
  auto r = event_record(2, 5, 1);
  r[20] ^= 0x01;
  r.resize(264);
  test::LogCapture cap;
  EXPECT_EQ(dispatch(r), AsyncVerdict::Dropped);
  EXPECT_TRUE(calls_.events.empty());
  EXPECT_EQ(cap.text(), "");
}

TEST_F(AsyncDispatch, Report12CarriesEventAtOffset8WithoutTouchingOffset) {
  c_.dev_time_offset = 1234;
  const auto r = framed(12, 2, event_record(2, 1, 99));
  EXPECT_EQ(dispatch(r), AsyncVerdict::EventNoOffset);
  ASSERT_EQ(calls_.events.size(), 1u);
  EXPECT_EQ(get_le64(calls_.events[0].data() + 8), 99u);
  EXPECT_EQ(c_.dev_time_offset.load(), 1234);
}

TEST_F(AsyncDispatch, ShortTextLengthLimit) {
  const std::string text55(55, 'x');
  test::LogCapture cap;
  EXPECT_EQ(dispatch(framed(3, 1, std::vector<uint8_t>(text55.begin(), text55.end()))), AsyncVerdict::Text);
  EXPECT_EQ(cap.text(), text55);  // unchanged, no line end added
  EXPECT_EQ(dispatch(framed(3, 1, std::vector<uint8_t>(56, 'y'))), AsyncVerdict::Dropped);
  EXPECT_EQ(cap.text(), text55);
}

TEST_F(AsyncDispatch, Report8ClaimingMoreThanWasReadIsDropped) {
  auto r = framed(8, 1, std::vector<uint8_t>(200, 'z'));
  EXPECT_EQ(dispatch(r, 100), AsyncVerdict::Dropped);
  EXPECT_EQ(dispatch(r, 264), AsyncVerdict::Text);
  EXPECT_EQ(dispatch(framed(8, 1, {})), AsyncVerdict::Dropped);  // len 0
}

TEST_F(AsyncDispatch, UnknownIdsAndOtherKindsAreDumped) {
  test::LogCapture cap;
  auto answer = framed(9, 7, {1, 2, 3});
  EXPECT_EQ(dispatch(answer, 16), AsyncVerdict::Dumped);
  EXPECT_NE(cap.text().find("\r\n 00000000 09 00 07"), std::string::npos);
  EXPECT_EQ(dispatch(framed(12, 5, {1})), AsyncVerdict::Dumped);
  EXPECT_TRUE(calls_.events.empty());
}

}  // namespace
}  // namespace kestrel
