#include <algorithm>
#include <cstring>

#include "app/ids.h"
#include "devlink/commands.h"
#include "window_fixture.h"
#include "../log/log_capture.h"

namespace kestrel {
namespace {

using test::WindowTest;
using sim::BoardModel;

std::vector<uint8_t> event_with_code(uint16_t code) {
  std::vector<uint8_t> r(24, 0);
  r[0] = 2;
  put_le32(r.data() + 4, MAGIC_ZHHH);
  put_le32(r.data() + 16, code);
  put_le16(r.data() + 2, static_cast<uint16_t>(~frame_csum(r.data(), 24)));
  return r;
}

size_t count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

TEST_F(WindowTest, EventCodesPostTheirCommands) {
  struct Case {
    uint16_t code;
    std::vector<uint32_t> posted;
  } cases[] = {{72, {ids::ID_MONITOR_QUERY}},
               {1, {ids::ID_MONITOR_QUERY, ids::ID_DEV_INTR_EVENT}},
               {5, {ids::ID_DEV_INTR_EVENT}}};
  // The reader's callback, as the reader thread calls it.
  ReaderControl reader;
  window().session().listen_with(reader);
  auto deliver = [&](uint32_t type, uint32_t length, const uint8_t* data) {
    return reader.callback(reader.context, type, length, data);
  };
  for (const auto& c : cases) {
    const auto ev = event_with_code(c.code);
    EXPECT_TRUE(deliver(2, 24, ev.data()));
    EXPECT_EQ(view_.take_posted(), c.posted) << "code " << c.code;
    EXPECT_EQ(get_le16(window().session().last_event().data() + 16), c.code);
  }
  // A record of the wrong length posts nothing; an unknown type is refused.
  EXPECT_TRUE(deliver(2, 23, event_with_code(5).data()));
  EXPECT_FALSE(deliver(9, 24, event_with_code(5).data()));
  EXPECT_TRUE(view_.take_posted().empty());
  window_.reset();  // before its reader goes
}

TEST_F(WindowTest, IntrEventWhileLockedIsDeferredAndReplayedOnceAtUnlock) {
  auto card = add(BoardModel::Meadow);
  window().session().board_scan();
  test::LogCapture cap;
  window().card().set_download_lock(1);
  card->clear_reports();
  window().on_command(ids::ID_DEV_INTR_EVENT);
  EXPECT_NE(cap.text().find("but m_dxctl_lock_status(1) != idle and to delay"), std::string::npos);
  EXPECT_TRUE(commands_sent(*card).empty());  // no status read while locked
  window().card().set_download_lock(0);
  const auto delivered = drain();
  EXPECT_EQ(std::count(delivered.begin(), delivered.end(), ids::ID_DEV_INTR_EVENT), 1);
  // The replay reads the status block (meadow serves it as input report 4).
  size_t status_reads = 0;
  for (const auto& r : card->reports_of(sim::ReportKind::InputGet)) status_reads += r[0] == 4;
  EXPECT_EQ(status_reads, 1u);
  // A second unlock replays nothing.
  window().card().set_download_lock(0);
  EXPECT_TRUE(view_.take_posted().empty());
}

TEST_F(WindowTest, MonitorQueryPrintsEachWorkTickOnce) {
  auto card = add(BoardModel::Rw820c);  // the board that answers the monitor capability
  window().session().board_scan();
  ASSERT_TRUE(window().session().monitor_capable());
  card->frame_tick();
  test::LogCapture cap;
  window().on_command(ids::ID_MONITOR_QUERY);
  window().on_command(ids::ID_MONITOR_QUERY);
  EXPECT_EQ(count(cap.text(), " Qtime: "), 1u);
  EXPECT_EQ(count(cap.text(), "key : work"), 1u);
  clock_.advance_ns(16'000'000);  // the next frame comes a frame time later
  card->frame_tick();
  window().on_command(ids::ID_MONITOR_QUERY);
  EXPECT_EQ(count(cap.text(), " Qtime: "), 2u);
  // The request carries the host time and eight zero bytes.
  const auto mon = payloads_of(*card, CMD_MONITOR);
  ASSERT_EQ(mon.size(), 3u);
  EXPECT_EQ(mon[0].size(), 16u);
  EXPECT_EQ(get_le64(mon[0].data() + 8), 0u);
}

TEST_F(WindowTest, MonitorQueryNeedsCapableBoard) {
  auto card = add(BoardModel::Meadow);
  window().session().board_scan();
  EXPECT_FALSE(window().session().monitor_capable());
  card->clear_reports();
  window().on_command(ids::ID_MONITOR_QUERY);
  EXPECT_TRUE(payloads_of(*card, CMD_MONITOR).empty());
}

TEST(WallTime, FormatsLocalCalendarTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  char buf[256];
  format_wall_time(buf, sizeof buf, 1'500'000'123ull);
  EXPECT_STREQ(buf, "1970-01-01 00:00:01.500000123");
}

}  // namespace
}  // namespace kestrel
