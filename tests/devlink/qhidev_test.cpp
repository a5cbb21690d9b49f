// Device discovery and the device list over a fixture of the operating system: a table of HID
// interfaces that the backend lists and opens, each open handle logging what was done to it.
#include "devlink/qhidev.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <regex>
#include <thread>

#include "log/clock.h"
#include "log/log.h"
#include "log/log_capture.h"
#include "platform/descriptor_builder.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using platform::Access;
using platform::HidInterfaceInfo;
using platform::OpenFailure;
using platform::ReadStatus;

const std::string kGuid = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const std::string kPrefix1 = "\\\\?\\hid#vid_04b4&pid_00ed";

// What happened to one opened handle; kept by the backend, so it outlives the handle.
struct HandleLog {
  std::string node;
  Access access;
  std::atomic<int> cancels{0};
  std::atomic<bool> alive{true};
  uint32_t input_buffers = 0;
};

class TableDevice : public platform::HidDevice {
 public:
  TableDevice(HandleLog& log, bool fixed_queue) : log_(log), fixed_queue_(fixed_queue) {}
  ~TableDevice() override { log_.alive = false; }
  bool set_output_report(std::span<const uint8_t>) override { return true; }
  bool get_input_report(std::span<uint8_t>) override { return true; }
  bool set_feature_report(std::span<const uint8_t>) override { return true; }
  bool get_feature_report(std::span<uint8_t>) override { return true; }
  // Nothing ever arrives: a read waits for its time or for a cancel.
  ReadStatus read_interrupt(std::span<uint8_t>, int timeout_ms, size_t& got) override {
    got = 0;
    std::unique_lock<std::mutex> l(m_);
    auto woken = [&] { return wakes_ > 0; };
    if (timeout_ms < 0) cv_.wait(l, woken);
    else if (!cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), woken)) return ReadStatus::Timeout;
    --wakes_;
    return ReadStatus::Cancelled;
  }
  void cancel_read() override {
    ++log_.cancels;
    std::lock_guard<std::mutex> g(m_);
    ++wakes_;
    cv_.notify_all();
  }
  bool set_input_buffers(uint32_t count) override {
    log_.input_buffers = count;
    return !fixed_queue_;
  }

 private:
  HandleLog& log_;
  bool fixed_queue_;
  std::mutex m_;
  std::condition_variable cv_;
  int wakes_ = 0;
};

struct Interface {
  HidInterfaceInfo info;
  OpenFailure query_failure = OpenFailure::None;
  OpenFailure rw_failure = OpenFailure::None;
};

class TableBackend : public platform::HidBackend {
 public:
  std::vector<Interface> table;
  bool listable = true;
  bool fixed_queue = true;  // as on hidraw
  std::deque<HandleLog> handles;

  bool enumerate(std::vector<HidInterfaceInfo>& out) override {
    if (!listable) return false;
    out.clear();
    for (const Interface& i : table) out.push_back(i.info);
    return true;
  }
  std::unique_ptr<platform::HidDevice> open(const std::string& node, Access access, std::string* error) override {
    OpenFailure why;
    return open_checked(node, access, why, error);
  }
  std::unique_ptr<platform::HidDevice> open_checked(const std::string& node, Access access, OpenFailure& why,
                                                    std::string* error) override {
    why = OpenFailure::NotFound;
    for (const Interface& i : table) {
      if (i.info.node != node) continue;
      why = access == Access::QueryOnly ? i.query_failure : i.rw_failure;
      break;
    }
    if (why != OpenFailure::None) {
      if (error) *error = node + ": refused";
      return nullptr;
    }
    handles.emplace_back();
    handles.back().node = node;
    handles.back().access = access;
    return std::make_unique<TableDevice>(handles.back(), fixed_queue);
  }
  int hotplug_fd() override { return -1; }
  std::vector<platform::HotplugEvent> drain_hotplug() override { return {}; }

  size_t opens_of(const std::string& node, Access access) const {
    size_t n = 0;
    for (const HandleLog& h : handles) n += h.node == node && h.access == access;
    return n;
  }
  HandleLog* last_handle_of(const std::string& node) {
    for (auto it = handles.rbegin(); it != handles.rend(); ++it)
      if (it->node == node) return &*it;
    return nullptr;
  }
};

Interface card(unsigned n, uint16_t vendor = 0x04B4, uint16_t product = 0x00ED) {
  Interface i;
  char head[64];
  std::snprintf(head, sizeof head, "\\\\?\\hid#vid_%04x&pid_%04x&mi_02#", vendor, product);
  i.info.node = "/dev/hidraw" + std::to_string(n);
  i.info.path = head + std::to_string(n) + "&1" + kGuid;
  i.info.vendor_id = vendor;
  i.info.product_id = product;
  i.info.release = 0x0100;
  i.info.interface_number = 2;
  i.info.product = "USB Video";
  i.info.product_ok = true;
  i.info.report_descriptor = test::card_descriptor();
  return i;
}

Interface keyboard(unsigned n) {
  Interface i = card(n, 0x046D, 0xC31C);
  i.info.product = "Keyboard";
  return i;
}

class Qhidev : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_set_source(&clock_);
    platform::set_backend(&backend_);
  }
  void TearDown() override {
    qhidev_release_all(list_);
    platform::set_backend(nullptr);
    clock_set_source(nullptr);
  }
  void enum_cards(unsigned n) {
    for (unsigned i = 0; i < n; ++i) backend_.table.push_back(card(i));
    ASSERT_TRUE(qhidev_enum(list_));
    ASSERT_EQ(list_.count, n);
  }

  SimClock clock_;
  TableBackend backend_;
  qhidev_list list_;
};

struct FilterCase {
  std::string path;
  uint16_t index;
  uint16_t prefix_length;
};

TEST(QhidevFilter, MatchesThePrefixesWithoutRegardToCase) {
  const FilterCase cases[] = {
      {"\\\\?\\HID#VID_04B4&PID_00ED&MI_02#7&2A3B&0&0000" + kGuid, 1, 25},
      {"\\\\?\\hid#vid_04b4&pid_00eb&mi_02#x", 2, 25},
      {"\\\\?\\hid#vid_04b4&pid_003d&mi_02#x", 3, 25},
      {"\\\\?\\hid#vid_04b4&pid_002d&mi_02#x", 4, 25},
      {"\\\\?\\hid#vid_04b4&pid_2060&mi_02#x", 5, 25},
      {"\\\\?\\hid#vid_28e9&pid_028b&mi_02#x", 6, 25},
      {"\\\\?\\hid#vid_28e9&pid_6912&mi_00#x", 7, 23},
      {"\\\\?\\hid#vid_28e9&pid_69ab", 7, 23},
      {"\\\\?\\hid#vid_28e9&pid_7000&mi_00#x", 0, 0},
      {"\\\\?\\hid#vid_28e9&pid_0690&mi_00#x", 0, 0},
      {"\\\\?\\hid#vid_04b4&pid_00e", 0, 0},
      {"\\\\?\\hid#vid_04b4&pid_00edf", 1, 25},
      {"\\\\?\\hid#vid_046d&pid_c31c&mi_00#x", 0, 0},
      {"", 0, 0},
  };
  for (const FilterCase& c : cases) {
    uint16_t len = 0;
    EXPECT_EQ(qhidev_filter_match(c.path, &len), c.index) << c.path;
    EXPECT_EQ(len, c.prefix_length) << c.path;
  }
}

TEST(QhidevName, IsProductThenThePathAfterThePrefix) {
  const std::string path = kPrefix1 + "&mi_02#7&2a3b&0&0000" + kGuid;
  EXPECT_EQ(qhidev_display_name("USB Video", path, 25), "USB Video - mi_02#7&2a3b&0&0000");
  EXPECT_EQ(qhidev_display_name("", path, 25), " - mi_02#7&2a3b&0&0000");
  EXPECT_EQ(qhidev_display_name("Card", kPrefix1 + "&_#- mi_00#x", 25), "Card - mi_00#x") << "no \"#{\": to the end";
  EXPECT_EQ(qhidev_display_name("Card", kPrefix1, 25), "Card - ");
  EXPECT_EQ(qhidev_display_name("Card", "\\\\?\\hid#vid_28e9&pid_6912&mi_00#a#{g}", 23), "Card - 12&mi_00#a");
}

TEST_F(Qhidev, EnumListsTheCardsClosedAndLogsEveryPath) {
  test::LogCapture log;
  backend_.table = {keyboard(0), card(1), card(2, 0x28E9, 0x6912), keyboard(3)};
  backend_.table[2].info.product_ok = false;
  backend_.table[2].info.product = "ignored";
  ASSERT_TRUE(qhidev_enum(list_));

  ASSERT_EQ(list_.count, 2u);
  EXPECT_EQ(list_.current, nullptr);
  const qhidev& a = *list_.items[0];
  const qhidev& b = *list_.items[1];
  EXPECT_EQ(a.owner, &list_);
  EXPECT_EQ(a.ops, &QHIDEV_OPS);
  EXPECT_EQ(a.node, "/dev/hidraw1");
  EXPECT_EQ(a.path, backend_.table[1].info.path);
  EXPECT_EQ(a.name, "USB Video - mi_02#1&1");
  EXPECT_EQ(a.filter_index, 1);
  EXPECT_EQ(a.prefix_length, 25);
  EXPECT_EQ(a.attributes.vendor_id, 0x04B4);
  EXPECT_EQ(a.attributes.product_id, 0x00ED);
  EXPECT_EQ(a.attributes.version, 0x0100);
  EXPECT_EQ(a.caps.input_report_length, 265);
  EXPECT_EQ(a.caps.output_report_length, 265);
  EXPECT_EQ(a.caps.feature_report_length, 261);
  EXPECT_EQ(b.filter_index, 7);
  EXPECT_EQ(b.prefix_length, 23);
  EXPECT_EQ(b.name, " - 12&mi_02#2&1") << "an unreadable product string leaves the name empty before \" - \"";
  for (uint32_t i = 0; i < list_.count; ++i) EXPECT_FALSE(list_.items[i]->handle) << i;

  // Only cards are opened, query-only, each followed by the open wait.
  EXPECT_EQ(backend_.handles.size(), 2u);
  EXPECT_EQ(backend_.opens_of("/dev/hidraw1", Access::QueryOnly), 1u);
  EXPECT_EQ(backend_.opens_of("/dev/hidraw2", Access::QueryOnly), 1u);
  EXPECT_EQ(clock_.sleeps(), 2u);
  EXPECT_EQ(clock_.now_ticks(), 200'000'000u);

  std::string want;
  for (const Interface& i : backend_.table) want += " *&* : wpath(0005) = " + i.info.path + "\r\n";
  EXPECT_EQ(log.text(), want);
}

TEST_F(Qhidev, EnumSkipsACardThatCannotBeOpenedAndGoesOn) {
  for (OpenFailure why : {OpenFailure::NotFound, OpenFailure::Permission, OpenFailure::Other}) {
    qhidev_release_all(list_);
    backend_.table = {card(0), card(1), card(2)};
    backend_.table[1].query_failure = why;
    ASSERT_TRUE(qhidev_enum(list_));
    ASSERT_EQ(list_.count, 2u) << static_cast<int>(why);
    EXPECT_EQ(list_.items[0]->node, "/dev/hidraw0");
    EXPECT_EQ(list_.items[1]->node, "/dev/hidraw2") << "interfaces after it are still looked at";
  }
}

TEST_F(Qhidev, EnumSkipsACardWhoseDescriptorIsRefused) {
  test::LogCapture log;
  log_set_filter(true, 1u << 7, 0);
  backend_.table = {card(0), card(1), card(2)};
  auto& d = backend_.table[1].info.report_descriptor;
  d.resize(d.size() - 1);  // the closing End Collection is missing
  ASSERT_TRUE(qhidev_enum(list_));
  ASSERT_EQ(list_.count, 2u);
  EXPECT_EQ(list_.items[1]->node, "/dev/hidraw2");
  EXPECT_NE(log.text().find(" err : qhidev /dev/hidraw1: report descriptor refused: collections do not balance\r\n"),
            std::string::npos)
      << log.text();
}

TEST_F(Qhidev, The65thCardIsNotListed) {
  for (unsigned i = 0; i < QHIDEV_MAX + 1; ++i) backend_.table.push_back(card(i));
  ASSERT_TRUE(qhidev_enum(list_));
  ASSERT_EQ(list_.count, QHIDEV_MAX);
  EXPECT_EQ(list_.items[QHIDEV_MAX - 1]->node, "/dev/hidraw63");
  for (const auto& r : list_.items) EXPECT_NE(r->node, "/dev/hidraw64");
}

TEST_F(Qhidev, EnumFailsOnlyWhenNothingCanBeListed) {
  backend_.listable = false;
  EXPECT_FALSE(qhidev_enum(list_));
  EXPECT_EQ(list_.count, 0u);
  platform::set_backend(nullptr);
  EXPECT_FALSE(qhidev_enum(list_));
}

TEST_F(Qhidev, OpenMakesThatEntryCurrentAndOnlyItsHandleValid) {
  enum_cards(3);
  const size_t sleeps = clock_.sleeps();
  ASSERT_TRUE(qhidev_open(list_, 0));
  EXPECT_EQ(list_.current, list_.items[0].get());
  EXPECT_EQ(list_.current_index, 0u);
  EXPECT_TRUE(list_.items[0]->handle);
  EXPECT_FALSE(list_.items[1]->handle);
  EXPECT_FALSE(list_.items[2]->handle);
  EXPECT_EQ(list_.items[0]->name, "USB Video - mi_02#0&1");
  EXPECT_EQ(list_.items[0]->caps.input_report_length, 265);
  // Built with read and write access, then opened once more for the reads.
  EXPECT_EQ(backend_.opens_of("/dev/hidraw0", Access::ReadWrite), 2u);
  EXPECT_EQ(clock_.sleeps(), sleeps + 1);
  EXPECT_EQ(backend_.last_handle_of("/dev/hidraw0")->input_buffers, QHIDEV_INPUT_BUFFERS);
}

TEST_F(Qhidev, OpeningTheCurrentEntryAgainDoesNothing) {
  enum_cards(2);
  ASSERT_TRUE(qhidev_open(list_, 1));
  const qhidev* current = list_.current;
  const size_t opens = backend_.handles.size();
  EXPECT_TRUE(qhidev_open(list_, 1));
  EXPECT_EQ(list_.current, current);
  EXPECT_TRUE(current->handle);
  EXPECT_EQ(backend_.handles.size(), opens);
}

TEST_F(Qhidev, OpeningAnotherEntryClosesTheCurrentOne) {
  enum_cards(2);
  ASSERT_TRUE(qhidev_open(list_, 0));
  HandleLog* first = backend_.last_handle_of("/dev/hidraw0");
  ASSERT_TRUE(qhidev_open(list_, 1));
  EXPECT_EQ(list_.current, list_.items[1].get());
  EXPECT_FALSE(list_.items[0]->handle);
  EXPECT_TRUE(list_.items[1]->handle);
  EXPECT_EQ(list_.items[0]->path, backend_.table[0].info.path) << "its description stays listed";
  EXPECT_GE(first->cancels, 1);
  EXPECT_FALSE(first->alive);
}

TEST_F(Qhidev, AFailedOpenLeavesNoCurrentDeviceAndTheListAsItWas) {
  enum_cards(2);
  ASSERT_TRUE(qhidev_open(list_, 0));
  backend_.table[1].rw_failure = OpenFailure::Other;
  const qhidev* entry = list_.items[1].get();
  EXPECT_FALSE(qhidev_open(list_, 1));
  EXPECT_EQ(list_.current, nullptr);
  EXPECT_EQ(list_.count, 2u);
  EXPECT_EQ(list_.items[1].get(), entry);
  EXPECT_FALSE(list_.items[0]->handle);
  EXPECT_FALSE(list_.items[1]->handle);
}

TEST_F(Qhidev, AnEntryOutOfRangeCannotBeOpened) {
  enum_cards(1);
  EXPECT_FALSE(qhidev_open(list_, 1));
  EXPECT_FALSE(qhidev_open(list_, QHIDEV_MAX));
}

TEST_F(Qhidev, AnEntryThatLeftCannotBeOpened) {
  enum_cards(2);
  backend_.table.erase(backend_.table.begin());
  EXPECT_FALSE(qhidev_open(list_, 0));
  EXPECT_EQ(list_.current, nullptr);
}

TEST_F(Qhidev, APermissionFailureNamesTheUdevRule) {
  test::LogCapture log;
  enum_cards(1);
  backend_.table[0].rw_failure = OpenFailure::Permission;
  EXPECT_FALSE(qhidev_open(list_, 0));
  const std::string text = log.text();
  EXPECT_NE(text.find(" war : qhidev /dev/hidraw0: permission denied"), std::string::npos) << text;
  EXPECT_NE(text.find("70-kestrel.rules"), std::string::npos) << text;
}

TEST_F(Qhidev, AnUnsupportedSystemIsLoggedWithTheBackendsReason) {
  test::LogCapture log;
  enum_cards(1);
  backend_.table[0].rw_failure = OpenFailure::Unsupported;
  EXPECT_FALSE(qhidev_open(list_, 0));
  EXPECT_NE(log.text().find(" err : qhidev /dev/hidraw0: refused\r\n"), std::string::npos) << log.text();
}

TEST_F(Qhidev, AFixedDriverQueueIsLoggedNotFatal) {
  test::LogCapture log;
  log_set_filter(true, 1u << 9, 0);
  enum_cards(1);
  ASSERT_TRUE(qhidev_open(list_, 0));
  EXPECT_NE(log.text().find(" *&* : qhidev input buffers(272) not set: the driver keeps a queue of its own\r\n"),
            std::string::npos);
}

TEST_F(Qhidev, CloneCopiesTheRecordSharesTheHandleAndLogs) {
  test::LogCapture log;
  log_set_filter(true, 1u << 9, 0);
  backend_.table = {card(0)};
  auto r = qhidev_build(list_, backend_.table[0].info, 1, 25, Access::ReadWrite);
  ASSERT_TRUE(r);
  auto c = qhidev_clone(*r);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->owner, r->owner);
  EXPECT_EQ(c->ops, r->ops);
  EXPECT_EQ(c->path, r->path);
  EXPECT_EQ(c->name, r->name);
  EXPECT_EQ(c->node, r->node);
  EXPECT_EQ(c->handle, r->handle);
  EXPECT_EQ(c->caps.input_report_length, r->caps.input_report_length);
  EXPECT_NE(c->name.data(), r->name.data()) << "the clone owns its strings";
  EXPECT_TRUE(std::regex_search(log.text(), std::regex(R"( \*&\* : qhidev\([0-9A-F]{8}\) clone\([0-9A-F]{8}\) stat\(1\)\r\n)")))
      << log.text();
}

TEST_F(Qhidev, BuildWaitsAfterTheOpen) {
  backend_.table = {card(0)};
  auto r = qhidev_build(list_, backend_.table[0].info, 1, 25, Access::QueryOnly);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->handle);
  EXPECT_EQ(clock_.sleeps(), 1u);
  EXPECT_EQ(clock_.now_ticks(), 100'000'000u);
  backend_.table[0].query_failure = OpenFailure::NotFound;
  EXPECT_FALSE(qhidev_build(list_, backend_.table[0].info, 1, 25, Access::QueryOnly));
  EXPECT_EQ(clock_.sleeps(), 1u) << "no wait after a failed open";
}

TEST_F(Qhidev, ReleaseAllEmptiesTheListAndClosesTheCurrentDevice) {
  enum_cards(3);
  ASSERT_TRUE(qhidev_open(list_, 2));
  HandleLog* h = backend_.last_handle_of("/dev/hidraw2");
  qhidev_release_all(list_);
  EXPECT_EQ(list_.count, 0u);
  EXPECT_EQ(list_.current, nullptr);
  for (const auto& r : list_.items) EXPECT_FALSE(r);
  EXPECT_FALSE(h->alive);
}

TEST_F(Qhidev, TheReaderSeesTheCurrentHandleAndItsFlags) {
  uint16_t flags = 0xFFFF;
  EXPECT_FALSE(qhidev_reader_handle(list_, &flags));
  EXPECT_EQ(flags, 0);
  enum_cards(1);
  ASSERT_TRUE(qhidev_open(list_, 0));
  qhidev_set_link_flags(*list_.current, QHIDEV_F_ASYNC_MASK);
  EXPECT_EQ(qhidev_reader_handle(list_, &flags), list_.current->handle);
  EXPECT_EQ(flags, QHIDEV_F_ASYNC_MASK);
}

// A release under a reader blocked in its read wakes it, and the device stays alive until the
// reader lets go of it.
TEST_F(Qhidev, AReleaseWakesABlockedReaderAndKeepsItsDeviceAlive) {
  enum_cards(1);
  ASSERT_TRUE(qhidev_open(list_, 0));
  HandleLog* h = backend_.last_handle_of("/dev/hidraw0");
  std::promise<void> holding, let_go;
  auto reader = std::async(std::launch::async, [&] {
    auto dev = qhidev_reader_handle(list_);
    holding.set_value();
    std::array<uint8_t, 264> buf{};
    size_t got = 0;
    const ReadStatus s = dev->read_interrupt(buf, -1, got);
    let_go.get_future().wait();
    return s;
  });
  holding.get_future().wait();
  qhidev_release_all(list_);
  EXPECT_TRUE(h->alive) << "the reader still holds it";
  EXPECT_FALSE(qhidev_reader_handle(list_));
  let_go.set_value();
  ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(reader.get(), ReadStatus::Cancelled);
  EXPECT_FALSE(h->alive);
}

TEST_F(Qhidev, AnOpenThatReplacesTheDeviceWakesTheReader) {
  enum_cards(2);
  ASSERT_TRUE(qhidev_open(list_, 0));
  std::promise<void> holding;
  auto reader = std::async(std::launch::async, [&] {
    auto dev = qhidev_reader_handle(list_);
    holding.set_value();
    std::array<uint8_t, 264> buf{};
    size_t got = 0;
    return dev->read_interrupt(buf, -1, got);
  });
  holding.get_future().wait();
  ASSERT_TRUE(qhidev_open(list_, 1));
  ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(reader.get(), ReadStatus::Cancelled);
  EXPECT_EQ(qhidev_reader_handle(list_), list_.items[1]->handle);
}

// The reader takes its reference on every pass while the GUI thread rescans and reopens; run
// under the tsan preset this checks the locking, under asan the lifetimes.
TEST_F(Qhidev, AReaderLoopSurvivesRescansAndOpens) {
  for (unsigned i = 0; i < 3; ++i) backend_.table.push_back(card(i));
  std::atomic<bool> stop{false};
  std::atomic<int> passes{0};
  std::thread reader([&] {
    std::array<uint8_t, 264> buf{};
    while (!stop) {
      uint16_t flags = 0;
      if (auto dev = qhidev_reader_handle(list_, &flags)) {
        size_t got = 0;
        dev->read_interrupt(buf, 1, got);
      }
      ++passes;
    }
  });
  for (int round = 0; round < 100; ++round) {
    // Each round starts after a pass of the reader, so that the two really interleave.
    for (const int seen = passes; passes == seen;) std::this_thread::yield();
    qhidev_release_all(list_);
    ASSERT_TRUE(qhidev_enum(list_));
    ASSERT_TRUE(qhidev_open(list_, round % 3));
    qhidev_set_link_flags(*list_.current, static_cast<uint16_t>(round));
    ASSERT_TRUE(qhidev_open(list_, (round + 1) % 3));
  }
  stop = true;
  reader.join();
  EXPECT_GE(passes, 100);
}

}  // namespace
}  // namespace kestrel
