// Asynchronous reports: events, debug text and frame timing on the interrupt pipe, judged by the
// host's reader; and the polled debug-output report 8 of cards without them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "devlink/commands.h"
#include "devlink/reader.h"
#include "support/sim_fixture.h"

namespace kestrel {
namespace {

struct Seen {
  std::vector<uint16_t> codes;
};

bool remember(void* context, uint32_t type, uint32_t length, const uint8_t* data) {
  if (type == 2 && length == 24) static_cast<Seen*>(context)->codes.push_back(get_le16(data + 16));
  return true;
}

class SimAsyncTest : public ::testing::Test {
 protected:
  // The next interrupt report, as the host's reader takes it.
  AsyncVerdict next() {
    uint8_t buf[ASYNC_READ_SIZE];
    size_t got = 0;
    if (f.dev().handle->read_interrupt(buf, 0, got) != platform::ReadStatus::Ok) return AsyncVerdict::Dropped;
    return reader_dispatch(*reader, buf, got);
  }

  test::SimFixture f{"meadow"};
  Seen seen;
  std::unique_ptr<ReaderControl> reader = [this] {
    auto c = std::make_unique<ReaderControl>();
    c->context = &seen;
    c->callback = remember;
    c->list = &f.list;
    return c;
  }();
};

TEST_F(SimAsyncTest, EventsInReportsTwoAndTwelve) {
  f.card->send_event(72);
  f.card->send_event(1, 0, sim::RID_ASYNC_MIXED);
  f.card->send_event(5);
  EXPECT_EQ(next(), AsyncVerdict::Event);
  EXPECT_EQ(next(), AsyncVerdict::EventNoOffset);
  EXPECT_EQ(next(), AsyncVerdict::Event);
  EXPECT_EQ(seen.codes, (std::vector<uint16_t>{72, 1, 5}));
  // The offset relates host time to the card's clock.
  EXPECT_EQ(reader->dev_time_offset.load(), -f.card->initial_scenario().device_time_offset_ns);
}

TEST_F(SimAsyncTest, DebugTextInReportsThreeEightAndTwelve) {
  f.card->send_debug_text("hello\r\n", sim::RID_ASYNC_TEXT);
  f.card->send_debug_text("from the card\r\n", 8);
  f.card->send_debug_text("twelve\r\n", sim::RID_ASYNC_MIXED);
  EXPECT_EQ(next(), AsyncVerdict::Text);
  EXPECT_EQ(next(), AsyncVerdict::Text);
  EXPECT_EQ(next(), AsyncVerdict::Text);
  // Text longer than a report holds comes in pieces: 55 bytes for report 3.
  f.card->send_debug_text(std::string(120, 'x'), sim::RID_ASYNC_TEXT);
  EXPECT_EQ(f.card->interrupt_queue_size(), 3u);
}

TEST_F(SimAsyncTest, FrameTimingFeedsTheMonitorQuery) {
  auto monitor = [&](std::vector<uint8_t>& out) {
    uint8_t rq[16] = {};
    put_le64(rq, clock_now_ns());
    Answer a;
    if (!f.link.transact_long(CMD_MONITOR, 0, rq, 16, 16, f.page(), a)) return false;
    out.assign(a.payload, a.payload + a.len);
    return true;
  };
  std::vector<uint8_t> m0, m1, m2;
  f.card->frame_tick();
  ASSERT_TRUE(monitor(m0));
  f.clock.advance_ns(16'666'667);
  f.card->frame_tick();
  ASSERT_TRUE(monitor(m1));
  ASSERT_EQ(m1.size(), 48u);
  EXPECT_EQ(get_le64(m1.data() + 8) - get_le64(m0.data() + 8), 16'666'667u);   // work tick
  EXPECT_EQ(get_le64(m1.data() + 24 + 8), get_le64(m0.data() + 8));           // push = last work
  EXPECT_EQ(get_le16(m1.data() + 16), 1920);
  EXPECT_EQ(m1[21], 60);
  ASSERT_TRUE(monitor(m2));
  EXPECT_EQ(get_le64(m2.data() + 8), get_le64(m1.data() + 8));  // nothing new
  EXPECT_EQ(next(), AsyncVerdict::Event);
  EXPECT_EQ(next(), AsyncVerdict::Event);
  EXPECT_EQ(seen.codes, (std::vector<uint16_t>{72, 72}));
}

TEST_F(SimAsyncTest, StatusChangeEventsOnlyAfterTheHostAsked) {
  uint8_t blk[16] = {0x41, 0, 2};
  Answer a;
  ASSERT_TRUE(f.link.transact_long(CMD_UPDATE, 0, blk, 16, 2, f.page(), a));
  EXPECT_EQ(f.card->interrupt_queue_size(), 0u);
  ASSERT_TRUE(f.link.send_notify(3, 0, 1));
  blk[2] = 0;
  ASSERT_TRUE(f.link.transact_long(CMD_UPDATE, 0, blk, 16, 2, f.page(), a));
  EXPECT_EQ(next(), AsyncVerdict::Event);
  EXPECT_EQ(seen.codes, std::vector<uint16_t>{1});
}

TEST(SimPolledText, CardsWithoutAsyncReportsServeReportEight) {
  test::SimFixture f("TB720V-2CH");  // no asynchronous reports
  EXPECT_EQ(f.dev().link_flags & QHIDEV_F_ASYNC_MASK, 0);
  f.card->frame_tick();
  EXPECT_EQ(f.card->interrupt_queue_size(), 0u);
  f.card->queue_polled_text(std::string(300, 't'));
  f.card->queue_update_notice();
  auto fetch = [&](uint8_t& kind, uint16_t& len) {
    std::vector<uint8_t> r(248, 0);
    r[0] = 8;
    if (!f.dev().handle->get_input_report(r)) return false;
    kind = r[2];
    len = get_le16(r.data() + 4);
    return frame_csum(r.data(), 8 + len) == 0xFFFF;
  };
  uint8_t kind = 0;
  uint16_t len = 0;
  ASSERT_TRUE(fetch(kind, len));
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(len, 240);
  ASSERT_TRUE(fetch(kind, len));
  EXPECT_EQ(len, 60);
  ASSERT_TRUE(fetch(kind, len));
  EXPECT_EQ(kind, 2);
  EXPECT_GT(len, 0);
  ASSERT_TRUE(fetch(kind, len));
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(len, 0);
}

}  // namespace
}  // namespace kestrel
