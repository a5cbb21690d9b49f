// The sim backend: listing, paths, opening, hotplug and the interrupt read.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <thread>

#include "support/sim_fixture.h"

namespace kestrel {
namespace {

using platform::ReadStatus;

const char* const kPrefixes[] = {
    "\\\\?\\hid#vid_04b4&pid_00ed", "\\\\?\\hid#vid_04b4&pid_00eb", "\\\\?\\hid#vid_04b4&pid_003d",
    "\\\\?\\hid#vid_04b4&pid_002d", "\\\\?\\hid#vid_04b4&pid_2060", "\\\\?\\hid#vid_28e9&pid_028b",
    "\\\\?\\hid#vid_28e9&pid_69",
};

bool matches_a_prefix(const std::string& path) {
  for (const char* p : kPrefixes) {
    const std::string pre(p);
    if (path.size() >= pre.size() &&
        std::equal(pre.begin(), pre.end(), path.begin(), [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
      return true;
  }
  return false;
}

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

TEST(SimBackend, ListsEveryModelUnderACardPath) {
  sim::SimBackend b;
  for (std::string_view n : sim::board_names()) b.add_card(*sim::make_scenario(n));
  std::vector<platform::HidInterfaceInfo> list;
  ASSERT_TRUE(b.enumerate(list));
  ASSERT_EQ(list.size(), 8u);
  std::vector<std::string> instances;
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_TRUE(matches_a_prefix(list[i].path)) << list[i].path;
    EXPECT_EQ(list[i].node, "sim:" + std::to_string(i));
    EXPECT_EQ(list[i].product, "USB Video");
    EXPECT_EQ(list[i].interface_number, 2);
    EXPECT_FALSE(list[i].report_descriptor.empty());
    const auto& p = list[i].path;
    EXPECT_EQ(p, b.path_of(i));
    // lower-case hex throughout
    EXPECT_EQ(std::count_if(p.begin(), p.end(), [](char c) { return std::isupper(static_cast<unsigned char>(c)); }), 0);
    instances.push_back(p.substr(0, p.find("#{")).substr(p.find("mi_")));
  }
  std::sort(instances.begin(), instances.end());
  EXPECT_EQ(std::unique(instances.begin(), instances.end()), instances.end());
  EXPECT_EQ(list[0].path, "\\\\?\\hid#vid_04b4&pid_00ed&mi_02#7&2a3b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
}

TEST(SimBackend, BoardNamesAreCaseInsensitive) {
  ASSERT_TRUE(sim::make_scenario("MEADOW"));
  EXPECT_EQ(sim::make_scenario("tb610r-1ch")->model, sim::BoardModel::TB610R_1CH);
  EXPECT_FALSE(sim::make_scenario("TB610R"));
  EXPECT_EQ(sim::board_names().size(), 8u);
  EXPECT_EQ(sim::board_names()[6], "meadow");
}

TEST(SimBackend, HotplugNotifications) {
  sim::SimBackend b;
  const int fd = b.hotplug_fd();
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(readable(fd));
  b.add_card(*sim::make_scenario("meadow"));
  b.add_card(*sim::make_scenario("rw820c"), false);
  EXPECT_TRUE(readable(fd));
  auto ev = b.drain_hotplug();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, platform::HotplugEvent::Kind::Arrival);
  EXPECT_EQ(ev[0].node, "sim:0");
  EXPECT_FALSE(readable(fd));
  std::vector<platform::HidInterfaceInfo> list;
  b.enumerate(list);
  EXPECT_EQ(list.size(), 1u);  // the unplugged card is not listed
  EXPECT_EQ(b.open("sim:1", platform::Access::ReadWrite), nullptr);
  b.plug(1);
  b.unplug(0);
  ev = b.drain_hotplug();
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].kind, platform::HotplugEvent::Kind::Arrival);
  EXPECT_EQ(ev[0].node, "sim:1");
  EXPECT_EQ(ev[1].kind, platform::HotplugEvent::Kind::Removal);
  EXPECT_EQ(ev[1].node, "sim:0");
  b.enumerate(list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].node, "sim:1");
  std::string why;
  EXPECT_EQ(b.open("sim:0", platform::Access::ReadWrite, &why), nullptr);
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(b.open("hidraw0", platform::Access::ReadWrite), nullptr);
}

TEST(SimBackend, QueryOnlyHandleSendsNothing) {
  sim::SimBackend b;
  auto card = b.add_card(*sim::make_scenario("meadow"));
  auto dev = b.open("sim:0", platform::Access::QueryOnly);
  ASSERT_NE(dev, nullptr);
  uint8_t r[265] = {9};
  EXPECT_FALSE(dev->get_input_report(r));
  EXPECT_TRUE(card->reports().empty());
}

TEST(SimBackend, ReadInterruptBlocksUntilAReportArrives) {
  test::SimFixture f;
  uint8_t buf[264];
  size_t got = 0;
  EXPECT_EQ(f.dev().handle->read_interrupt(buf, 0, got), ReadStatus::Timeout);
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    f.card->send_event(5);
  });
  EXPECT_EQ(f.dev().handle->read_interrupt(buf, -1, got), ReadStatus::Ok);
  t.join();
  EXPECT_EQ(got, 264u);
  EXPECT_EQ(buf[0], 2);
  EXPECT_EQ(get_le16(buf + 16), 5);
}

TEST(SimBackend, CancelWakesTheReaderAndIsKeptWhenNoneWaits) {
  test::SimFixture f;
  uint8_t buf[264];
  size_t got = 0;
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    f.dev().handle->cancel_read();
  });
  EXPECT_EQ(f.dev().handle->read_interrupt(buf, -1, got), ReadStatus::Cancelled);
  t.join();
  f.dev().handle->cancel_read();
  f.card->send_event(5);
  EXPECT_EQ(f.dev().handle->read_interrupt(buf, -1, got), ReadStatus::Cancelled);
  EXPECT_EQ(f.dev().handle->read_interrupt(buf, -1, got), ReadStatus::Ok);
}

TEST(SimBackend, UnplugWakesTheReaderWithGone) {
  test::SimFixture f;
  uint8_t buf[264];
  size_t got = 0;
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    f.backend.unplug(0);
  });
  EXPECT_EQ(f.dev().handle->read_interrupt(buf, -1, got), ReadStatus::Gone);
  t.join();
  uint8_t r[265] = {9};
  EXPECT_FALSE(f.dev().handle->get_input_report(r));
  EXPECT_FALSE(f.dev().handle->set_input_buffers(272));
}

}  // namespace
}  // namespace kestrel
