// The card side of the legacy HID download protocol: a host written after the upgrade workflow drives the
// channel in simulated time; the flash then holds the image.
#include <gtest/gtest.h>

#include <random>

#include "devlink/frame.h"
#include "log/clock.h"
#include "sim/download_channel.h"
#include "sim/flash_channel.h"
#include "sim/flash_host.h"

namespace kestrel::sim {
namespace {

std::vector<uint8_t> make_image(size_t n, uint32_t seed = 11) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint8_t> feature1(uint8_t start) {
  std::vector<uint8_t> r(261, 0);
  r[0] = 1;
  r[1] = start;
  return r;
}
std::vector<uint8_t> erase_report(uint8_t block) {
  std::vector<uint8_t> r(261, 0);
  r[0] = 5;
  r[1] = block;
  return r;
}
std::vector<uint8_t> page_report(uint16_t page, const uint8_t* data, uint16_t n) {
  std::vector<uint8_t> r(261, 0);
  r[0] = 4;
  r[1] = static_cast<uint8_t>(page >> 8);
  r[2] = static_cast<uint8_t>(page);
  r[3] = static_cast<uint8_t>(n >> 8);
  r[4] = static_cast<uint8_t>(n);
  std::memcpy(r.data() + 5, data, n);
  return r;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_set_source(&clock_);
    clock_init();
  }
  void TearDown() override {
    clock_set_source(nullptr);
    clock_init();
  }

  bool send(Handled h) { return h == Handled::Ok; }

  // Polls input 6 (257 bytes) until byte 0 is 0; false when a fetch fails.
  bool poll(test::Channels& card, uint32_t sleep, uint32_t* polls = nullptr) {
    for (;;) {
      std::vector<uint8_t> h(257, 0);
      h[0] = 6;
      if (polls) ++*polls;
      if (card.get_input(h) != Handled::Ok) return false;
      if (h[0] == 0) return true;
      sleep_ms(sleep);
    }
  }

  // download_usb_image of the upgrade workflow: 0 or -1.
  int download_usb(test::Channels& card, const std::vector<uint8_t>& file) {
    const uint32_t size = static_cast<uint32_t>(file.size());
    if (!send(card.set_feature(feature1(1)))) return -1;
    const uint32_t blocks = (size + 0xFFFF) / 0x10000;
    for (uint32_t i = 0; i < blocks; ++i) {
      if (!send(card.set_output(erase_report(static_cast<uint8_t>(i))))) return -1;
      if (!poll(card, 10)) return -1;
    }
    for (uint32_t off = 0; off < size; off += 256) {
      const uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(256, size - off));
      if (!send(card.set_output(page_report(static_cast<uint16_t>(off / 256), file.data() + off, n)))) return -1;
    }
    if (!send(card.set_feature(feature1(0)))) return -1;
    return 0;
  }

  // download_fpga_image of the upgrade workflow.
  int download_fpga(test::Channels& card, const std::vector<uint8_t>& file, bool wait = true) {
    const uint32_t size = static_cast<uint32_t>(file.size());
    if (!send(card.set_feature(feature1(1)))) return -1;
    const uint32_t blocks = (size + 256 + 0xFFFF) / 0x10000;
    for (uint32_t i = 4; i < blocks + 4; ++i) {
      if (!send(card.set_output(erase_report(static_cast<uint8_t>(i))))) return -1;
      if (wait && !poll(card, 1)) return -1;
    }
    uint8_t hdr[8];
    put_le32(hdr, size);
    put_le32(hdr + 4, ~size);
    if (!send(card.set_output(page_report(0x400, hdr, 8)))) return -1;
    for (uint32_t off = 0; off < size; off += 256) {
      const uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(256, size - off));
      if (!send(card.set_output(page_report(static_cast<uint16_t>(0x401 + off / 256), file.data() + off, n))))
        return -1;
    }
    if (!send(card.set_feature(feature1(0)))) return -1;
    return 0;
  }

  SimClock clock_;
};

TEST_F(DownloadTest, UsbImageIsWrittenFromAddressZero) {
  QspiFlash f = QspiFlash::card_default();
  DownloadChannel dl(f);  // 40 ms per block erase
  test::Channels card{{&dl}};
  const auto image = make_image(70000);
  const uint64_t t0 = clock_now_ns();
  ASSERT_EQ(download_usb(card, image), 0);
  EXPECT_TRUE(dl.start_seen());
  EXPECT_TRUE(dl.end_seen());
  EXPECT_FALSE(dl.active());
  EXPECT_EQ(dl.stats().erased_blocks, (std::vector<uint32_t>{0, 1}));
  // Polled every 10 ms while each 40 ms erase ran.
  EXPECT_EQ(dl.stats().busy_polls, 8u);
  EXPECT_EQ(dl.stats().polls, 10u);
  EXPECT_GE(clock_now_ns() - t0, 80'000'000u);
  EXPECT_EQ(dl.stats().writes_while_busy, 0u);
  EXPECT_EQ(dl.stats().pages, 274u);
  EXPECT_EQ(dl.stats().bytes, 70000u);
  EXPECT_EQ(dl.usb_image(70000), image);
  EXPECT_TRUE(f.is_erased(70000, 0x20000 - 70000));
  EXPECT_EQ(dl.high_water(), 70000u);
}

TEST_F(DownloadTest, UsbImageOfExactly64KiBErasesBlockZeroOnly) {
  QspiFlash f = QspiFlash::card_default();
  DownloadChannel dl(f);
  test::Channels card{{&dl}};
  const auto image = make_image(65536);
  ASSERT_EQ(download_usb(card, image), 0);
  EXPECT_EQ(dl.stats().erased_blocks, (std::vector<uint32_t>{0}));
  ASSERT_EQ(dl.page_log().size(), 256u);
  EXPECT_EQ(dl.page_log().front(), 0);
  EXPECT_EQ(dl.page_log().back(), 255);
  EXPECT_EQ(dl.usb_image(65536), image);
}

TEST_F(DownloadTest, FpgaImageOf1000BytesLandsBehindItsHeader) {
  QspiFlash f = QspiFlash::card_default();
  f.load(0, std::vector<uint8_t>(0x80000, 0x00));  // old content: a host that skips an erase shows
  DownloadChannel dl(f);
  test::Channels card{{&dl}};
  const auto image = make_image(1000);
  ASSERT_EQ(download_fpga(card, image), 0);
  EXPECT_EQ(dl.stats().erased_blocks, (std::vector<uint32_t>{4}));
  EXPECT_EQ(dl.page_log(), (std::vector<uint16_t>{0x400, 0x401, 0x402, 0x403, 0x404}));
  const auto hdr = f.read(0x40000, 8);
  EXPECT_EQ(get_le32(hdr.data()), 1000u);
  EXPECT_EQ(get_le32(hdr.data() + 4), ~1000u);
  EXPECT_TRUE(f.is_erased(0x40008, 0xF8));
  ASSERT_TRUE(dl.fpga_image().has_value());
  EXPECT_EQ(*dl.fpga_image(), image);
  EXPECT_EQ(f.read(0x3FFFF, 1)[0], 0x00);  // block 3 untouched
  EXPECT_EQ(f.read(0x50000, 1)[0], 0x00);  // block 5 untouched
  EXPECT_EQ(f.counters().dirty_programs, 0u);
}

TEST_F(DownloadTest, PagesSentWhileTheEraseRunsAreLost) {
  QspiFlash f = QspiFlash::card_default();
  DownloadChannel dl(f);
  test::Channels card{{&dl}};
  const auto image = make_image(1000);
  ASSERT_EQ(download_fpga(card, image, /*wait=*/false), 0);
  EXPECT_EQ(dl.stats().writes_while_busy, 5u);
  EXPECT_FALSE(dl.fpga_image().has_value());
}

TEST_F(DownloadTest, ErasePollingFollowsTheSimulatedClock) {
  QspiFlash f = QspiFlash::card_default();
  DownloadChannel dl(f, {.erase_ms = 25});
  test::Channels card{{&dl}};
  ASSERT_EQ(card.set_output(erase_report(0)), Handled::Ok);
  std::vector<uint8_t> h(257, 0);
  h[0] = 6;
  ASSERT_EQ(card.get_input(h), Handled::Ok);
  EXPECT_EQ(h[0], DL_BUSY);
  clock_.advance_ns(24'000'000);
  h[0] = 6;
  ASSERT_EQ(card.get_input(h), Handled::Ok);
  EXPECT_NE(h[0], 0);
  clock_.advance_ns(1'000'000);
  h[0] = 6;
  ASSERT_EQ(card.get_input(h), Handled::Ok);
  EXPECT_EQ(h[0], 0);
  EXPECT_EQ(dl.stats().outside_session, 1u);  // no start was sent
}

TEST_F(DownloadTest, SharedReportIdsAreToldApartBySize) {
  QspiFlash f = QspiFlash::card_default();
  DownloadChannel dl(f);
  FlashChannel fc(f);
  test::Channels card{{&dl, &fc}};
  // Input 6 at 264 is the qspi status, at 257 the handshake.
  ASSERT_EQ(card.set_output(test::open_request(1, 2, 100, 0)), Handled::Ok);
  std::vector<uint8_t> q(264, 0);
  q[0] = 6;
  EXPECT_EQ(dl.on_get_input(q), Handled::No);
  ASSERT_EQ(card.get_input(q), Handled::Ok);
  EXPECT_EQ(fc.stats().fetches, 1u);
  std::vector<uint8_t> h(257, 0);
  h[0] = 6;
  ASSERT_EQ(card.get_input(h), Handled::Ok);
  EXPECT_EQ(dl.stats().polls, 1u);
  EXPECT_EQ(fc.stats().fetches, 1u);
  // Output 5 at 63 bytes is the framed notification: not the download's.
  std::vector<uint8_t> n(63, 0);
  n[0] = 5;
  EXPECT_EQ(card.set_output(n), Handled::No);
  // Feature 1 gets belong to the card's event record.
  std::vector<uint8_t> ev(24, 0);
  ev[0] = 1;
  EXPECT_EQ(dl.on_get_feature(ev), Handled::No);
  // Wrong sizes of the download's own reports are stalled.
  std::vector<uint8_t> p(200, 0);
  p[0] = 4;
  EXPECT_EQ(card.set_output(p), Handled::Fail);
  std::vector<uint8_t> s(24, 0);
  s[0] = 1;
  s[1] = 1;
  EXPECT_EQ(card.set_feature(s), Handled::Fail);
}

TEST_F(DownloadTest, PageCountAbove256IsStalled) {
  QspiFlash f = QspiFlash::card_default();
  DownloadChannel dl(f);
  test::Channels card{{&dl}};
  auto r = page_report(0, make_image(256).data(), 256);
  r[3] = 0x01;
  r[4] = 0x01;  // 257
  EXPECT_EQ(card.set_output(r), Handled::Fail);
  EXPECT_EQ(dl.stats().bad_reports, 1u);
}

TEST_F(DownloadTest, FaultsReachTheHostAsFailedCallsOrBadContent) {
  const auto image = make_image(70000);
  {
    QspiFlash f = QspiFlash::card_default();
    DownloadChannel dl(f);
    test::Channels card{{&dl}};
    dl.faults().set_plan(FaultPlan{}.at(StepKind::Erase, 2, Fault::Refuse));
    EXPECT_EQ(download_usb(card, image), -1);
    EXPECT_FALSE(dl.end_seen());
  }
  {
    QspiFlash f = QspiFlash::card_default();
    DownloadChannel dl(f);
    test::Channels card{{&dl}};
    dl.faults().set_plan(FaultPlan{}.at(StepKind::Erase, 1, Fault::DropAnswer));
    EXPECT_EQ(download_usb(card, image), -1);  // the first poll fails
    EXPECT_EQ(dl.stats().polls, 1u);
  }
  {
    QspiFlash f = QspiFlash::card_default();
    DownloadChannel dl(f);
    test::Channels card{{&dl}};
    dl.faults().set_plan(FaultPlan{}.at(StepKind::Page, 7, Fault::DropAnswer));
    EXPECT_EQ(download_usb(card, image), 0);
    EXPECT_NE(dl.usb_image(70000), image);
    EXPECT_TRUE(f.is_erased(6 * 256, 256));
  }
  {
    QspiFlash f = QspiFlash::card_default();
    DownloadChannel dl(f);
    test::Channels card{{&dl}};
    int unplugs = 0;
    dl.set_unplug_hook([&] { ++unplugs; });
    dl.faults().set_plan(FaultPlan{}.at(StepKind::Page, 3, Fault::Unplug));
    EXPECT_EQ(download_usb(card, image), -1);
    EXPECT_EQ(unplugs, 1);
    EXPECT_TRUE(dl.gone());
    EXPECT_EQ(card.set_feature(feature1(0)), Handled::Fail);
  }
  {
    QspiFlash f = QspiFlash::card_default();
    DownloadChannel dl(f);
    test::Channels card{{&dl}};
    dl.faults().set_plan(FaultPlan{}.at(StepKind::Erase, 1, Fault::Slow, 1, 1300));
    const uint64_t t0 = clock_now_ns();
    EXPECT_EQ(download_usb(card, image), 0);
    EXPECT_GE(clock_now_ns() - t0, 1'300'000'000u);
    EXPECT_EQ(dl.usb_image(70000), image);
  }
}

}  // namespace
}  // namespace kestrel::sim
