// The uhid bridge's translation: struct uhid_event values in, the card calls and the replies out.
// No /dev/uhid is needed; the fd shell around the translator is not exercised here.
#include <gtest/gtest.h>

#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <future>
#include <random>

#include "devlink/frame.h"
#include "log/clock.h"
#include "sim/card.h"
#include "sim/download_channel.h"
#include "sim/flash_host.h"
#include "sim/sim_backend.h"
#include "sim/uhid.h"

namespace kestrel::sim {
namespace {

// A card stand-in that records every call and answers gets with a pattern.
class FakeCard : public platform::HidDevice {
 public:
  struct Call {
    char what;  // 'O' set output, 'I' get input, 'S' set feature, 'F' get feature
    std::vector<uint8_t> bytes;
  };
  std::vector<Call> calls;
  bool fail = false;

  bool set_output_report(std::span<const uint8_t> r) override {
    calls.push_back({'O', {r.begin(), r.end()}});
    return !fail;
  }
  bool get_input_report(std::span<uint8_t> r) override {
    calls.push_back({'I', {r.begin(), r.end()}});
    for (size_t i = 1; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i);
    return !fail;
  }
  bool set_feature_report(std::span<const uint8_t> r) override {
    calls.push_back({'S', {r.begin(), r.end()}});
    return !fail;
  }
  bool get_feature_report(std::span<uint8_t> r) override {
    calls.push_back({'F', {r.begin(), r.end()}});
    for (size_t i = 1; i < r.size(); ++i) r[i] = static_cast<uint8_t>(0xA0 + i);
    return !fail;
  }
  platform::ReadStatus read_interrupt(std::span<uint8_t>, int, size_t& got) override {
    got = 0;
    return platform::ReadStatus::Timeout;
  }
  void cancel_read() override {}
  bool set_input_buffers(uint32_t) override { return true; }
};

// A HidDevice over a list of channels (what the card does first with every host call).
class ChannelDevice : public FakeCard {
 public:
  test::Channels ch;
  bool set_output_report(std::span<const uint8_t> r) override { return ch.set_output(r) == Handled::Ok; }
  bool get_input_report(std::span<uint8_t> r) override { return ch.get_input(r) == Handled::Ok; }
  bool set_feature_report(std::span<const uint8_t> r) override { return ch.set_feature(r) == Handled::Ok; }
};

uhid_event get_report(uint32_t id, uint8_t rnum, uint8_t rtype) {
  uhid_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.type = UHID_GET_REPORT;
  ev.u.get_report.id = id;
  ev.u.get_report.rnum = rnum;
  ev.u.get_report.rtype = rtype;
  return ev;
}

uhid_event set_report(uint32_t id, uint8_t rtype, const std::vector<uint8_t>& data) {
  uhid_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.type = UHID_SET_REPORT;
  ev.u.set_report.id = id;
  ev.u.set_report.rnum = data.empty() ? 0 : data[0];
  ev.u.set_report.rtype = rtype;
  ev.u.set_report.size = static_cast<uint16_t>(data.size());
  std::memcpy(ev.u.set_report.data, data.data(), data.size());
  return ev;
}

uhid_event output(const std::vector<uint8_t>& data) {
  uhid_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.type = UHID_OUTPUT;
  ev.u.output.size = static_cast<uint16_t>(data.size());
  ev.u.output.rtype = UHID_OUTPUT_REPORT;
  std::memcpy(ev.u.output.data, data.data(), data.size());
  return ev;
}

uhid_event plain(uint32_t type) {
  uhid_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.type = type;
  return ev;
}

// ---- the report descriptor ------------------------------------------------------------------------

// A tiny HID descriptor walker: for each (kind, report ID), the bits its main items declare.
// 'I' input, 'O' output, 'F' feature.
struct Parsed {
  std::map<std::pair<char, uint8_t>, uint32_t> bits;
  int collections = 0;
  bool ok = true;
  uint16_t usage_page = 0;
};

Parsed parse(const std::vector<uint8_t>& d) {
  Parsed p;
  uint32_t size = 0, count = 0;
  uint8_t id = 0;
  int depth = 0;
  for (size_t i = 0; i < d.size();) {
    const uint8_t b = d[i];
    if (b == 0xFE) {  // long item
      p.ok = false;
      break;
    }
    const size_t n = (b & 3) == 3 ? 4 : (b & 3);
    if (i + 1 + n > d.size()) {
      p.ok = false;
      break;
    }
    uint32_t v = 0;
    for (size_t k = 0; k < n; ++k) v |= static_cast<uint32_t>(d[i + 1 + k]) << (8 * k);
    switch (b & 0xFC) {
      case 0x04: p.usage_page = static_cast<uint16_t>(v); break;
      case 0x74: size = v; break;
      case 0x94: count = v; break;
      case 0x84: id = static_cast<uint8_t>(v); break;
      case 0x80: p.bits[{'I', id}] += size * count; break;
      case 0x90: p.bits[{'O', id}] += size * count; break;
      case 0xB0: p.bits[{'F', id}] += size * count; break;
      case 0xA0: ++depth, ++p.collections; break;
      case 0xC0: --depth; break;
      default: break;
    }
    i += 1 + n;
  }
  if (depth != 0) p.ok = false;
  return p;
}

TEST(UhidDescriptorTest, TheCardsDescriptorDeclaresEveryReportOfTheTableAtItsSize) {
  const auto desc = SimCard::report_descriptor();
  ASSERT_LE(desc.size(), static_cast<size_t>(HID_MAX_DESCRIPTOR_SIZE));
  const Parsed p = parse(desc);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.usage_page, 0xFF00);
  EXPECT_EQ(p.collections, 1);
  const auto table = uhid_report_table();
  EXPECT_EQ(p.bits.size(), table.size());
  for (const auto& r : table) {
    const char k = r.kind == UhidReportKind::Input ? 'I' : r.kind == UhidReportKind::Output ? 'O' : 'F';
    const auto it = p.bits.find({k, r.id});
    ASSERT_NE(it, p.bits.end()) << k << int(r.id);
    // Bits after the report ID byte.
    EXPECT_EQ(it->second, (r.size - 1u) * 8u) << k << int(r.id);
    EXPECT_LE(r.get_size, r.size) << k << int(r.id);
  }
}

TEST(UhidDescriptorTest, TableHoldsEveryReportOfPart22) {
  // the framing's table, with the larger size where one ID and kind has two.
  const std::map<std::pair<char, uint8_t>, uint16_t> want = {
      {{'O', 11}, 265}, {{'O', 10}, 63},  {{'O', 5}, 261},  {{'O', 7}, 264},  {{'O', 4}, 261},
      {{'O', 12}, 261}, {{'I', 9}, 265},  {{'I', 6}, 264},  {{'I', 4}, 191},  {{'I', 8}, 264},
      {{'I', 2}, 264},  {{'I', 3}, 264},  {{'I', 12}, 264}, {{'I', 13}, 261}, {{'F', 1}, 261},
      {{'F', 7}, 261}};
  std::map<std::pair<char, uint8_t>, uint16_t> got;
  for (const auto& r : uhid_report_table()) {
    const char k = r.kind == UhidReportKind::Input ? 'I' : r.kind == UhidReportKind::Output ? 'O' : 'F';
    EXPECT_TRUE(got.emplace(std::make_pair(k, r.id), r.size).second) << "twice: " << k << int(r.id);
  }
  EXPECT_EQ(got, want);
}

// ---- create, destroy, input ---------------------------------------------------------------------

TEST(UhidTranslatorTest, CreateEventCarriesIdentityAndDescriptor) {
  UhidDeviceInfo info;
  info.name = "USB Video (kestrel-sim meadow)";
  info.vendor = 0x28E9;
  info.product = 0x6912;
  info.version = 0x0100;
  info.report_descriptor = SimCard::report_descriptor();
  const uhid_event ev = UhidTranslator::create_event(info, info.report_descriptor);
  EXPECT_EQ(ev.type, UHID_CREATE2);
  EXPECT_STREQ(reinterpret_cast<const char*>(ev.u.create2.name), "USB Video (kestrel-sim meadow)");
  EXPECT_STREQ(reinterpret_cast<const char*>(ev.u.create2.phys), "kestrel-sim");
  EXPECT_EQ(ev.u.create2.bus, BUS_USB);
  EXPECT_EQ(ev.u.create2.vendor, 0x28E9u);
  EXPECT_EQ(ev.u.create2.product, 0x6912u);
  EXPECT_EQ(ev.u.create2.version, 0x0100u);
  ASSERT_EQ(ev.u.create2.rd_size, info.report_descriptor.size());
  EXPECT_EQ(0, std::memcmp(ev.u.create2.rd_data, info.report_descriptor.data(), info.report_descriptor.size()));
  EXPECT_EQ(UhidTranslator::destroy_event().type, UHID_DESTROY);
}

TEST(UhidTranslatorTest, InterruptReportBecomesInput2WithItsIdInByteZero) {
  std::vector<uint8_t> r(264, 0);
  r[0] = 2;
  r[5] = 0x77;
  uhid_event ev;
  ASSERT_TRUE(UhidTranslator::input_event(r, ev));
  EXPECT_EQ(ev.type, UHID_INPUT2);
  EXPECT_EQ(ev.u.input2.size, 264);
  EXPECT_EQ(ev.u.input2.data[0], 2);
  EXPECT_EQ(ev.u.input2.data[5], 0x77);
  EXPECT_FALSE(UhidTranslator::input_event({}, ev));
}

TEST(UhidTranslatorTest, LifecycleEventsNeedNoReply) {
  FakeCard card;
  UhidTranslator t(card);
  std::vector<uhid_event> out;
  t.translate(plain(UHID_START), out);
  EXPECT_TRUE(t.started());
  t.translate(plain(UHID_OPEN), out);
  EXPECT_TRUE(t.opened());
  t.translate(plain(UHID_CLOSE), out);
  EXPECT_FALSE(t.opened());
  t.translate(plain(UHID_STOP), out);
  EXPECT_FALSE(t.started());
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(card.calls.empty());
}

// ---- get report ---------------------------------------------------------------------------------

TEST(UhidTranslatorTest, GetInputReportFetchesTheCardAtTheReportsSize) {
  FakeCard card;
  UhidTranslator t(card);
  std::vector<uhid_event> out;
  for (auto [rnum, size] : {std::pair<uint8_t, uint16_t>{9, 265}, {4, 191}, {6, 264}, {8, 248}, {13, 261}}) {
    out.clear();
    card.calls.clear();
    t.translate(get_report(100 + rnum, rnum, UHID_INPUT_REPORT), out);
    ASSERT_EQ(card.calls.size(), 1u);
    EXPECT_EQ(card.calls[0].what, 'I');
    ASSERT_EQ(card.calls[0].bytes.size(), size) << int(rnum);
    EXPECT_EQ(card.calls[0].bytes[0], rnum);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, UHID_GET_REPORT_REPLY);
    EXPECT_EQ(out[0].u.get_report_reply.id, 100u + rnum);
    EXPECT_EQ(out[0].u.get_report_reply.err, 0);
    EXPECT_EQ(out[0].u.get_report_reply.size, size);
    EXPECT_EQ(out[0].u.get_report_reply.data[0], rnum);  // the report ID in byte 0
    EXPECT_EQ(out[0].u.get_report_reply.data[size - 1], static_cast<uint8_t>(size - 1));
  }
}

TEST(UhidTranslatorTest, GetFeatureReportFetchesEventRecordAndInputSelection) {
  FakeCard card;
  UhidTranslator t(card);
  std::vector<uhid_event> out;
  t.translate(get_report(1, 1, UHID_FEATURE_REPORT), out);
  t.translate(get_report(2, 7, UHID_FEATURE_REPORT), out);
  ASSERT_EQ(card.calls.size(), 2u);
  EXPECT_EQ(card.calls[0].what, 'F');
  EXPECT_EQ(card.calls[0].bytes.size(), 24u);
  EXPECT_EQ(card.calls[1].bytes.size(), 261u);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].u.get_report_reply.size, 24);
  EXPECT_EQ(out[0].u.get_report_reply.data[0], 1);
  EXPECT_EQ(out[0].u.get_report_reply.data[1], 0xA1);
  EXPECT_EQ(out[1].u.get_report_reply.id, 2u);
  EXPECT_EQ(out[1].u.get_report_reply.size, 261);
}

TEST(UhidTranslatorTest, FailedOrUnknownGetsAnswerEio) {
  FakeCard card;
  UhidTranslator t(card);
  std::vector<uhid_event> out;
  t.translate(get_report(5, 42, UHID_INPUT_REPORT), out);     // no such input report
  t.translate(get_report(6, 11, UHID_OUTPUT_REPORT), out);    // outputs are not fetched
  card.fail = true;
  t.translate(get_report(7, 9, UHID_INPUT_REPORT), out);      // the card fails the fetch
  ASSERT_EQ(out.size(), 3u);
  for (const auto& e : out) {
    EXPECT_EQ(e.type, UHID_GET_REPORT_REPLY);
    EXPECT_EQ(e.u.get_report_reply.err, EIO);
    EXPECT_EQ(e.u.get_report_reply.size, 0);
  }
  EXPECT_EQ(out[2].u.get_report_reply.id, 7u);
  EXPECT_EQ(card.calls.size(), 1u);
  EXPECT_EQ(t.counters().unknown, 2u);
  EXPECT_EQ(t.counters().failed, 1u);
}

// ---- set report and output ------------------------------------------------------------------------

TEST(UhidTranslatorTest, SetReportsReachTheCardWithTheirSizeAndAreAnswered) {
  FakeCard card;
  UhidTranslator t(card);
  std::vector<uhid_event> out;
  std::vector<uint8_t> notify(63, 0);
  notify[0] = 5;
  notify[2] = 14;
  t.translate(set_report(11, UHID_OUTPUT_REPORT, notify), out);
  std::vector<uint8_t> feat(261, 0);
  feat[0] = 1;
  feat[1] = 1;
  t.translate(set_report(12, UHID_FEATURE_REPORT, feat), out);
  ASSERT_EQ(card.calls.size(), 2u);
  EXPECT_EQ(card.calls[0].what, 'O');
  EXPECT_EQ(card.calls[0].bytes, notify);
  EXPECT_EQ(card.calls[1].what, 'S');
  EXPECT_EQ(card.calls[1].bytes, feat);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].type, UHID_SET_REPORT_REPLY);
  EXPECT_EQ(out[0].u.set_report_reply.id, 11u);
  EXPECT_EQ(out[0].u.set_report_reply.err, 0);
  EXPECT_EQ(out[1].u.set_report_reply.id, 12u);

  card.fail = true;
  out.clear();
  t.translate(set_report(13, UHID_OUTPUT_REPORT, notify), out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].u.set_report_reply.err, EIO);
}

TEST(UhidTranslatorTest, OutputEventIsForwardedWithoutReply) {
  FakeCard card;
  UhidTranslator t(card);
  std::vector<uhid_event> out;
  std::vector<uint8_t> req(265, 0);
  req[0] = 11;
  req[1] = 5;
  req[2] = 7;
  t.translate(output(req), out);
  EXPECT_TRUE(out.empty());
  ASSERT_EQ(card.calls.size(), 1u);
  EXPECT_EQ(card.calls[0].what, 'O');
  EXPECT_EQ(card.calls[0].bytes, req);
}

TEST(UhidTranslatorTest, InputSixIsFetchedAt257WhileALegacyDownloadRuns) {
  FakeCard card;
  UhidTranslator t(card);
  std::vector<uhid_event> out;
  std::vector<uint8_t> start(261, 0), end(261, 0);
  start[0] = end[0] = 1;
  start[1] = 1;
  EXPECT_EQ(t.get_size(UhidReportKind::Input, 6), 264);
  t.translate(set_report(1, UHID_FEATURE_REPORT, start), out);
  EXPECT_TRUE(t.legacy_download_active());
  out.clear();
  card.calls.clear();
  t.translate(get_report(2, 6, UHID_INPUT_REPORT), out);
  ASSERT_EQ(card.calls.size(), 1u);
  EXPECT_EQ(card.calls[0].bytes.size(), 257u);
  EXPECT_EQ(out[0].u.get_report_reply.size, 257);
  t.translate(set_report(3, UHID_FEATURE_REPORT, end), out);
  EXPECT_FALSE(t.legacy_download_active());
  EXPECT_EQ(t.get_size(UhidReportKind::Input, 6), 264);
  // A refused start does not switch.
  card.fail = true;
  t.translate(set_report(4, UHID_FEATURE_REPORT, start), out);
  EXPECT_FALSE(t.legacy_download_active());
}

// ---- through the translator to the channels ------------------------------------------------------

class UhidChannelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_set_source(&clock_);
    clock_init();
  }
  void TearDown() override {
    clock_set_source(nullptr);
    clock_init();
  }
  SimClock clock_;
};

TEST_F(UhidChannelsTest, LegacyDownloadAndFlashChannelThroughUhidEvents) {
  QspiFlash flash = QspiFlash::card_default();
  DownloadChannel dl(flash, {.erase_ms = 20});
  FlashChannel fc(flash);
  ChannelDevice dev;
  dev.ch.list = {&dl, &fc};
  UhidTranslator t(dev);
  std::vector<uhid_event> out;
  uint32_t id = 1;

  // A USB image of 600 bytes through the legacy protocol, as hidraw would hand it to the kernel.
  std::vector<uint8_t> image(600);
  std::mt19937 rng(5);
  for (auto& b : image) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> f1(261, 0);
  f1[0] = 1;
  f1[1] = 1;
  t.translate(set_report(id++, UHID_FEATURE_REPORT, f1), out);
  std::vector<uint8_t> er(261, 0);
  er[0] = 5;
  t.translate(output(er), out);
  int polls = 0;
  for (;;) {
    out.clear();
    t.translate(get_report(id++, 6, UHID_INPUT_REPORT), out);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].u.get_report_reply.err, 0);
    ASSERT_EQ(out[0].u.get_report_reply.size, 257);
    ++polls;
    if (out[0].u.get_report_reply.data[0] == 0) break;
    sleep_ms(10);
  }
  EXPECT_EQ(polls, 3);
  for (uint32_t off = 0; off < image.size(); off += 256) {
    const uint16_t n = static_cast<uint16_t>(std::min<size_t>(256, image.size() - off));
    std::vector<uint8_t> pg(261, 0);
    pg[0] = 4;
    pg[2] = static_cast<uint8_t>(off / 256);
    pg[3] = static_cast<uint8_t>(n >> 8);
    pg[4] = static_cast<uint8_t>(n);
    std::memcpy(pg.data() + 5, image.data() + off, n);
    t.translate(output(pg), out);
  }
  f1[1] = 0;
  t.translate(set_report(id++, UHID_FEATURE_REPORT, f1), out);
  EXPECT_TRUE(dl.start_seen());
  EXPECT_TRUE(dl.end_seen());
  EXPECT_EQ(dl.usb_image(600), image);

  // Afterwards input 6 is the qspi status again: an open over the flash channel.
  t.translate(output(test::open_request(9, 1, 1000, 0)), out);
  out.clear();
  t.translate(get_report(id++, 6, UHID_INPUT_REPORT), out);
  ASSERT_EQ(out.size(), 1u);
  ASSERT_EQ(out[0].u.get_report_reply.size, 264);
  const uint8_t* a = out[0].u.get_report_reply.data;
  EXPECT_TRUE(test::qspi_answer_accepted(a));
  EXPECT_EQ(a[1], 9);
  EXPECT_EQ(get_le32(a + 8 + 16), 0x40000u);
  EXPECT_EQ(t.counters().failed, 0u);
}

// ---- the fd shell, with a socket pair standing in for /dev/uhid ----------------------------------

class UhidBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv_), 0);
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    card_ = backend_.add_card(make_scenario(BoardModel::Meadow));
    dev_ = backend_.open(SimBackend::node_of(0), platform::Access::ReadWrite);
    info_.vendor = 0x28E9;
    info_.product = 0x6912;
    info_.report_descriptor = SimCard::report_descriptor();
  }
  void TearDown() override {
    if (sv_[1] >= 0) ::close(sv_[1]);
    ::close(stop_);
  }
  // The kernel's side: the next event the bridge wrote, waiting up to two seconds.
  bool next(uhid_event& ev) {
    pollfd p{sv_[1], POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return false;
    std::memset(&ev, 0, sizeof ev);
    return ::read(sv_[1], &ev, sizeof ev) > 0;
  }
  void send(const uhid_event& ev) { ASSERT_EQ(::write(sv_[1], &ev, sizeof ev), static_cast<ssize_t>(sizeof ev)); }
  void stop() {
    const uint64_t one = 1;
    ASSERT_EQ(::write(stop_, &one, sizeof one), 8);
  }

  int sv_[2] = {-1, -1};
  int stop_ = -1;
  SimBackend backend_;
  std::shared_ptr<SimCard> card_;
  std::unique_ptr<platform::HidDevice> dev_;
  UhidDeviceInfo info_;
};

TEST_F(UhidBridgeTest, ServesTheKernelsEventsUntilStopped) {
  UhidBridge bridge(*dev_, info_);
  ASSERT_TRUE(bridge.adopt(sv_[0]));
  uhid_event ev;
  ASSERT_TRUE(next(ev));
  ASSERT_EQ(ev.type, UHID_CREATE2);
  EXPECT_EQ(ev.u.create2.vendor, 0x28E9u);
  EXPECT_EQ(ev.u.create2.rd_size, info_.report_descriptor.size());

  auto done = std::async(std::launch::async, [&] { return bridge.run(stop_); });
  send(plain(UHID_START));
  send(plain(UHID_OPEN));
  // The status block, input report 4 of 191 bytes, as a HIDIOCGINPUT would ask for it.
  send(get_report(77, 4, UHID_INPUT_REPORT));
  ASSERT_TRUE(next(ev));
  ASSERT_EQ(ev.type, UHID_GET_REPORT_REPLY);
  EXPECT_EQ(ev.u.get_report_reply.id, 77u);
  EXPECT_EQ(ev.u.get_report_reply.err, 0);
  EXPECT_EQ(ev.u.get_report_reply.size, 191);
  EXPECT_EQ(ev.u.get_report_reply.data[0], 4);
  // An interrupt report of the card becomes UHID_INPUT2.
  card_->send_event(1);
  ASSERT_TRUE(next(ev));
  ASSERT_EQ(ev.type, UHID_INPUT2);
  EXPECT_EQ(ev.u.input2.size, 264);
  EXPECT_EQ(ev.u.input2.data[0], 2);

  stop();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(done.get(), 0);
  ASSERT_TRUE(next(ev));
  EXPECT_EQ(ev.type, UHID_DESTROY);  // the device leaves
  EXPECT_TRUE(bridge.translator().started());
}

TEST_F(UhidBridgeTest, UnpluggedCardLeavesTheBus) {
  UhidBridge bridge(*dev_, info_);
  ASSERT_TRUE(bridge.adopt(sv_[0]));
  uhid_event ev;
  ASSERT_TRUE(next(ev));
  auto done = std::async(std::launch::async, [&] { return bridge.run(stop_); });
  card_->unplug();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(done.get(), 1);
  ASSERT_TRUE(next(ev));
  EXPECT_EQ(ev.type, UHID_DESTROY);
}

TEST_F(UhidBridgeTest, ClosedKernelSideEndsTheRun) {
  UhidBridge bridge(*dev_, info_);
  ASSERT_TRUE(bridge.adopt(sv_[0]));
  ::close(sv_[1]);
  sv_[1] = -1;
  EXPECT_EQ(bridge.run(-1), 2);
}

TEST(UhidBridgeCreate, MissingDeviceIsReported) {
  FakeCard card;
  UhidBridge bridge(card, UhidDeviceInfo{});
  std::string error;
  EXPECT_FALSE(bridge.create(&error, "/nonexistent/uhid"));
  EXPECT_NE(error.find("/nonexistent/uhid"), std::string::npos);
}

}  // namespace
}  // namespace kestrel::sim
