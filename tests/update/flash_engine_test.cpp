// the flash engine against the simulated card's flash channel (the bytes the card
// received, the flash it ended with), and qspi_get_status against scripted answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <cstring>
#include <vector>

#include "log/log_capture.h"
#include "support/recording_device.h"
#include "update/flash_engine.h"
#include "upgrade_fixture.h"

namespace kestrel {
namespace {

// The card's transaction count of the verify request in a run of the engine alone (no lock
// commands before it): open, the erase steps, the pages, then verify.
uint32_t verify_transaction(uint32_t erase_steps, uint32_t pages) { return 1 + erase_steps + pages + 1; }

sim::Scenario meadow_with(sim::StepKind kind, uint32_t value, sim::Fault fault) {
  sim::Scenario sc = *sim::make_scenario("meadow");
  sc.faults.at(kind, value, fault);
  return sc;
}

// Runs the engine on the test's thread over the rig's card; the block stays for inspection.
int32_t run_engine(test::UpgradeRig& rig, FlashJobBlock& block, const std::vector<uint8_t>& image, uint16_t kind) {
  EXPECT_TRUE(block.allocate(static_cast<uint32_t>(image.size())));
  FlashJob& job = *block.job();
  std::copy(image.begin(), image.end(), job.image);
  job.image_length = static_cast<uint32_t>(image.size());
  job.image[job.image_length] = 0;
  std::memset(job.image + job.image_length + 1, 0xFF, 255);
  job.image_kind = kind;
  job.link = &rig.fx.link;
  EXPECT_EQ(flash_job_run(&job), 0);
  EXPECT_EQ(job.done.load(std::memory_order_acquire), 1);
  return job.result;
}

bool frame_intact(const test::FlashRequest& r, size_t n) {
  return frame_csum(r.bytes.data(), std::min(n, r.bytes.size())) == 0xFFFF;
}

TEST(FlashEngine, ImageCrcIsTheComplementOfCrc32) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(crc32_register(abc, 3), 0xCADBBE3Du);
}

TEST(FlashEngine, EraseStepsFollow64KBoundaries) {
  EXPECT_EQ(flash_erase_step(0x1000, 0x30000), 0xF000u);
  EXPECT_EQ(flash_erase_step(0x10000, 0x21000), 0x10000u);
  EXPECT_EQ(flash_erase_step(0x30000, 0x1000), 0x1000u);
  EXPECT_EQ(flash_erase_step(0x30000, 0x5000), 0x4000u);   // a longer tail goes 16 KB at a time
  EXPECT_EQ(flash_erase_step(0x34000, 0x1000), 0x1000u);
  EXPECT_EQ(flash_erase_step(0x3F000, 0x1000), 0x1000u);
}

// The worked example: base 0x1000, erase block 4096, an image of 0x2F001 bytes.
TEST(FlashEngine, Base0x1000Image0x2F001) {
  test::UpgradeRig rig("meadow");
  ASSERT_TRUE(rig.flash.set_partition({"fx3", 2, 0x1000, 0x40000}));
  const auto image = test::fpga_bitstream(0x2F001);
  FlashJobBlock block;
  const uint8_t seq0 = static_cast<uint8_t>(rig.fx.link.hid_seq + 1);
  ASSERT_EQ(run_engine(rig, block, image, 2), FLASH_OK);
  const FlashJob& job = *block.job();
  EXPECT_EQ(job.partition_base, 0x1000u);
  EXPECT_EQ(job.partition_size, 0x40000u);
  EXPECT_EQ(job.erase_block, 4096u);
  EXPECT_EQ(job.erased.load(), 0x30000u);
  EXPECT_EQ(job.written.load(), 753u * 256);
  EXPECT_EQ(job.image_crc, crc32_register(image.data(), image.size()));

  const auto rq = rig.flash_requests();
  ASSERT_EQ(rq.size(), 1u + 4 + 753 + 1 + 1);
  for (size_t i = 0; i < rq.size(); ++i) {
    EXPECT_EQ(rq[i].bytes.size(), 264u);
    EXPECT_EQ(rq[i].seq, static_cast<uint8_t>(seq0 + i)) << i;
  }

  // Open.
  const auto& open = rq[0];
  EXPECT_EQ(open.op, 1);
  EXPECT_EQ(open.sub, 0);
  EXPECT_EQ(open.len, 64);
  EXPECT_TRUE(frame_intact(open, 72));
  EXPECT_EQ(get_le16(open.payload() + 0), 1);
  EXPECT_EQ(get_le16(open.payload() + 2), 2);
  EXPECT_EQ(get_le32(open.payload() + 4), 0x4848485Au);
  EXPECT_EQ(get_le64(open.payload() + 8), job.start_time);
  EXPECT_EQ(get_le32(open.payload() + 16), 0u);
  EXPECT_EQ(get_le32(open.payload() + 20), 0x2F001u);
  EXPECT_EQ(get_le32(open.payload() + 24), job.image_crc);
  EXPECT_EQ(std::memcmp(open.payload() + 40, "qzffs\0", 6), 0);
  EXPECT_TRUE(std::all_of(open.bytes.begin() + 72, open.bytes.end(), [](uint8_t b) { return b == 0; }));

  // Erase steps.
  const uint32_t addr[] = {0x1000, 0x10000, 0x20000, 0x30000};
  const uint32_t count[] = {0xF000, 0x10000, 0x10000, 0x1000};
  for (int i = 0; i < 4; ++i) {
    const auto& e = rq[1 + i];
    EXPECT_EQ(e.op, 3);
    EXPECT_EQ(e.len, 32);
    EXPECT_TRUE(frame_intact(e, 40));
    EXPECT_EQ(get_le16(e.payload()), 3);
    EXPECT_EQ(get_le16(e.payload() + 2), 2);
    EXPECT_EQ(get_le32(e.payload() + 4), 0x4848485Au);
    EXPECT_EQ(get_le32(e.payload() + 16), 0u);
    EXPECT_EQ(get_le32(e.payload() + 20), addr[i]) << i;
    EXPECT_EQ(get_le32(e.payload() + 24), count[i]) << i;
    EXPECT_TRUE(std::all_of(e.bytes.begin() + 40, e.bytes.end(), [](uint8_t b) { return b == 0; }));
  }

  // Pages 0x10 .. 0x300, back to back, the last one padded with 0xFF.
  for (uint32_t i = 0; i < 753; ++i) {
    const auto& p = rq[5 + i];
    ASSERT_EQ(p.op, 4);
    ASSERT_EQ(p.sub, 0x40);
    ASSERT_EQ(p.len, 0x10 + i) << i;
    ASSERT_TRUE(frame_intact(p, 8 + p.len)) << i;  // page index in the length position; zeros beyond 264
    const size_t off = static_cast<size_t>(i) * 256;
    const size_t n = std::min<size_t>(256, image.size() - off);
    ASSERT_EQ(std::memcmp(p.payload(), image.data() + off, n), 0) << i;
    for (size_t k = n; k < 256; ++k) ASSERT_EQ(p.payload()[k], 0xFF) << i << " " << k;
  }
  EXPECT_EQ(rq[5 + 752].len, 0x300);

  // Verify and close.
  const auto& v = rq[758];
  EXPECT_EQ(v.op, 6);
  EXPECT_EQ(v.len, 64);
  EXPECT_TRUE(frame_intact(v, 72));
  EXPECT_EQ(get_le64(v.payload() + 8), job.start_time);
  EXPECT_EQ(get_le32(v.payload() + 16), 0x1000u);
  EXPECT_EQ(get_le32(v.payload() + 20), 0x2F001u);
  EXPECT_EQ(get_le32(v.payload() + 24), job.image_crc);
  EXPECT_EQ(get_le16(v.payload() + 28), 72);
  EXPECT_EQ(get_le16(v.payload() + 30), 2);
  EXPECT_TRUE(std::all_of(v.payload() + 32, v.payload() + 64, [](uint8_t b) { return b == 0; }));
  const auto& c = rq[759];
  EXPECT_EQ(c.op, 2);
  EXPECT_EQ(get_le32(c.payload() + 16), 0x1000u);
  EXPECT_EQ(get_le16(c.payload() + 28), 0);

  // The flash holds the image and the padding; nothing outside the partition was touched.
  EXPECT_EQ(rig.flash.read(0x1000, 0x2F001), image);
  EXPECT_TRUE(rig.flash.is_erased(0x30001, 0xFF));
  EXPECT_EQ(rig.flash.counters().dirty_programs, 0u);
  EXPECT_EQ(rig.flash_ch.stats().pages_rejected, 0u);
  EXPECT_EQ(rig.flash_ch.stats().verify_matched, 1u);
}

TEST(FlashEngine, EraseBlockZeroIsTakenAs4096) {
  test::UpgradeRig rig("meadow");
  rig.flash_ch.config().report_zero_erase_block = true;
  ASSERT_TRUE(rig.flash.set_partition({"fx3", 2, 0x1000, 0x40000}));
  FlashJobBlock block;
  EXPECT_EQ(run_engine(rig, block, test::fpga_bitstream(0x2F001), 2), FLASH_OK);
  EXPECT_EQ(block.job()->erase_block, 4096u);
  const auto rq = rig.flash_requests();
  ASSERT_GE(rq.size(), 5u);
  EXPECT_EQ(get_le32(rq[1].payload() + 24), 0xF000u);  // base 0x1000 is aligned to 4096
}

TEST(FlashEngine, MisalignedBaseGoesToVerify) {
  test::UpgradeRig rig("meadow");
  rig.flash_ch.config().reported_erase_block = 0x10000;
  ASSERT_TRUE(rig.flash.set_partition({"fx3", 2, 0x1000, 0x40000}));
  test::LogCapture log;
  log_set_filter(true, 1u << 17, 0);
  FlashJobBlock block;
  EXPECT_EQ(run_engine(rig, block, test::fpga_bitstream(0x1000), 2), FLASH_PARTITION);
  std::vector<uint8_t> ops;
  for (auto& r : rig.flash_requests()) ops.push_back(r.op);
  EXPECT_EQ(ops, (std::vector<uint8_t>{1, 6, 2}));
  EXPECT_NE(log.text().find(" err : bdevif open failed for verify\r\n"), std::string::npos);
}

TEST(FlashEngine, ImageLargerThanPartitionSkipsEraseAndWriteAndVerifies) {
  test::UpgradeRig rig("meadow");
  const auto image = test::fpga_bitstream(0x40001);  // the fx3 partition is 0x40000
  // The card already holds the image, so its verify confirms.
  rig.flash.load(0, image);
  FlashJobBlock block;
  EXPECT_EQ(run_engine(rig, block, image, 2), FLASH_OK);
  std::vector<uint8_t> ops;
  for (auto& r : rig.flash_requests()) ops.push_back(r.op);
  EXPECT_EQ(ops, (std::vector<uint8_t>{1, 6, 2}));
  EXPECT_EQ(block.job()->erased.load(), 0u);
  EXPECT_EQ(block.job()->written.load(), 0u);

  // Not holding it: the card does not confirm and the partition result stays.
  test::UpgradeRig rig2("meadow");
  FlashJobBlock block2;
  EXPECT_EQ(run_engine(rig2, block2, image, 2), FLASH_PARTITION);
}

TEST(FlashEngine, VerifyAnswerWithAnotherSequenceByteLeavesResult1) {
  // 5000 bytes at 0x40000: one erase step of 8 KiB, 20 pages.
  test::UpgradeRig rig(meadow_with(sim::StepKind::Transaction, verify_transaction(1, 20), sim::Fault::StaleSequence));
  test::LogCapture log;
  log_set_filter(true, 1u << 17, 0);
  FlashJobBlock block;
  const auto image = test::fpga_bitstream(5000);
  EXPECT_EQ(run_engine(rig, block, image, 1), FLASH_UNCONFIRMED);
  EXPECT_EQ(rig.flash_ch.stats().verify_matched, 1u);  // the card matched; its answer was refused
  EXPECT_NE(log.text().find(" err : bdevif write flash(00040000:00001388) failed for verify\r\n"), std::string::npos);
}

TEST(FlashEngine, EmptyImageSkipsEraseAndWrite) {
  test::UpgradeRig rig("meadow");
  FlashJobBlock block;
  EXPECT_EQ(run_engine(rig, block, {}, 1), FLASH_OK);
  std::vector<uint8_t> ops;
  for (auto& r : rig.flash_requests()) ops.push_back(r.op);
  EXPECT_EQ(ops, (std::vector<uint8_t>{1, 6, 2}));
}

TEST(FlashEngine, FailedOpenRequestSkipsTheClose) {
  test::UpgradeRig rig("meadow");
  rig.fx.card->unplug();
  test::LogCapture log;
  log_set_filter(true, 1u << 17, 0);
  FlashJobBlock block;
  EXPECT_EQ(run_engine(rig, block, test::fpga_bitstream(3000), 1), FLASH_OPEN_FAILED);
  EXPECT_NE(log.text().find(" err : bdevif open failed for put control\r\n"), std::string::npos);
  EXPECT_TRUE(rig.flash_requests().empty());  // nothing reached the card, no close was tried
  EXPECT_NE(log.text().find("\r\n *&* : time "), std::string::npos);
}

TEST(FlashEngine, NoCurrentDeviceFailsAtOnce) {
  test::UpgradeRig rig("meadow");
  rig.fx.list.current = nullptr;
  FlashJobBlock block;
  EXPECT_EQ(run_engine(rig, block, test::fpga_bitstream(3000), 1), FLASH_OPEN_FAILED);
  EXPECT_TRUE(rig.flash_requests().empty());
}

TEST(FlashEngine, EraseLogLinesCarryAddressStepAndTime) {
  test::UpgradeRig rig("meadow");
  rig.flash_ch.config().erase_block_us = 9375;  // 150 ms per 64 KB
  test::LogCapture log;
  log_set_filter(true, 1u << 17, 0);
  FlashJobBlock block;
  EXPECT_EQ(run_engine(rig, block, test::fpga_bitstream(0x10000), 1), FLASH_OK);
  EXPECT_NE(log.text().find(" *&* : bdevif erase flash(00040000:00010000) allok time 0.150000000\r\n"), std::string::npos)
      << log.text();
}

// ---- qspi_get_status against scripted answers ------------------------------------------------

struct ScriptRig {
  ScriptRig() {
    auto d = std::make_unique<qhidev>();
    d->handle = dev;
    list.items[0] = std::move(d);
    list.count = 1;
    list.current = list.items[0].get();
  }
  std::shared_ptr<test::RecordingDevice> dev = std::make_shared<test::RecordingDevice>();
  qhidev_list list;
  HidLink link{list};
  uint8_t page[4096] = {};
};

std::vector<uint8_t> answer(uint8_t cmd, uint16_t len, size_t sum_over, uint8_t rid = 6) {
  std::vector<uint8_t> a(264, 0);
  for (size_t i = 8; i < 264; ++i) a[i] = static_cast<uint8_t>(i);
  a[0] = rid;
  a[1] = 3;
  a[2] = cmd;
  put_le16(a.data() + 4, len);
  put_le16(a.data() + 6, static_cast<uint16_t>(~frame_csum(a.data(), sum_over)));
  return a;
}

TEST(QspiGetStatus, AnswerLengthFollowsByteTwo) {
  ScriptRig r;
  // Byte 2 = 4: the checksum covers the 8 header bytes only, whatever the length field says.
  r.dev->answers.push_back(answer(4, 0x1234, 8));
  EXPECT_TRUE(qspi_get_status(r.link, r.page));
  // Byte 2 = 5: all 264 bytes.
  r.dev->answers.push_back(answer(5, 0, 264));
  EXPECT_TRUE(qspi_get_status(r.link, r.page));
  // Byte 2 = 5 with a sum over 72 bytes only is refused (twice: one retry).
  r.dev->answers.push_back(answer(5, 64, 72));
  r.dev->answers.push_back(answer(5, 64, 72));
  EXPECT_FALSE(qspi_get_status(r.link, r.page));
  // Otherwise 8 + len; more than 264 is refused.
  r.dev->answers.push_back(answer(1, 64, 72));
  EXPECT_TRUE(qspi_get_status(r.link, r.page));
  r.dev->answers.push_back(answer(1, 257, 264));
  r.dev->answers.push_back(answer(1, 257, 264));
  EXPECT_FALSE(qspi_get_status(r.link, r.page));
  // Every fetch asked for input report 6 as 264 bytes, with bytes 1.. cleared.
  for (auto& f : r.dev->fetched) {
    ASSERT_EQ(f.size(), 264u);
    EXPECT_EQ(f[0], 6);
    EXPECT_TRUE(std::all_of(f.begin() + 1, f.end(), [](uint8_t b) { return b == 0; }));
  }
}

TEST(QspiGetStatus, WrongReportIdIsRetriedOnce) {
  test::LogCapture log;
  log_set_filter(true, 1u << 17, 0);
  ScriptRig r;
  r.dev->answers.push_back(answer(1, 64, 72, 9));
  r.dev->answers.push_back(answer(1, 64, 72));
  EXPECT_TRUE(qspi_get_status(r.link, r.page));
  EXPECT_NE(log.text().find(" err : get qspi stat(1) idkey(9) failed and retry\r\n"), std::string::npos);

  r.dev->answers.push_back(answer(1, 64, 72, 9));
  r.dev->answers.push_back(answer(1, 64, 72, 8));
  r.dev->answers.push_back(answer(1, 64, 72));  // never fetched
  EXPECT_FALSE(qspi_get_status(r.link, r.page));
  EXPECT_NE(log.text().find(" err : get qspi stat(1) idkey(8) failed and retry failed\r\n"), std::string::npos);
  EXPECT_EQ(r.dev->answers.size(), 1u);
}

TEST(QspiGetStatus, BadChecksumLogsLengthAndSum) {
  test::LogCapture log;
  log_set_filter(true, 1u << 17, 0);
  ScriptRig r;
  auto bad = answer(1, 64, 72);
  bad[6] ^= 0x01;
  r.dev->answers.push_back(bad);
  r.dev->answers.push_back(bad);
  EXPECT_FALSE(qspi_get_status(r.link, r.page));
  const std::string t = log.text();
  EXPECT_NE(t.find("idkey(6) dlen(0048) xfcs("), std::string::npos) << t;
  EXPECT_NE(t.find(") failed and retry\r\n"), std::string::npos);
  EXPECT_NE(t.find(") failed and retry failed\r\n"), std::string::npos);
}

// A scripted device whose calls can take simulated time and fail: the one-second rule of
// qspi_put and qspi_get_status, which the simulated card does not play (its Slow fault holds an
// answer back and then delivers it).
struct SlowDevice : test::RecordingDevice {
  SimClock* clock = nullptr;
  std::deque<uint64_t> slow_gets, slow_puts;  // next calls: non-zero = take that long and fail
  bool get_input_report(std::span<uint8_t> r) override {
    if (!slow_gets.empty()) {
      const uint64_t ns = slow_gets.front();
      slow_gets.pop_front();
      if (ns) {
        fetched.emplace_back(r.begin(), r.end());
        clock->advance_ns(ns);
        return false;
      }
    }
    return RecordingDevice::get_input_report(r);
  }
  bool set_output_report(std::span<const uint8_t> r) override {
    if (!slow_puts.empty()) {
      const uint64_t ns = slow_puts.front();
      slow_puts.pop_front();
      if (ns) {
        clock->advance_ns(ns);
        return false;
      }
    }
    return RecordingDevice::set_output_report(r);
  }
};

struct SlowRig {
  SlowRig() {
    clock_set_source(&clock);
    clock_init();
    dev->clock = &clock;
    auto d = std::make_unique<qhidev>();
    d->handle = dev;
    list.items[0] = std::move(d);
    list.current = list.items[0].get();
    log_set_filter(true, 1u << 17, 0);
  }
  ~SlowRig() {
    clock_set_source(nullptr);
    clock_init();
  }
  test::LogCapture log;
  SimClock clock;
  std::shared_ptr<SlowDevice> dev = std::make_shared<SlowDevice>();
  qhidev_list list;
  HidLink link{list};
  uint8_t page[4096] = {};
};

TEST(QspiTiming, StatusFetchFailingAfter1200msIsRepeatedOnce) {
  SlowRig r;
  r.dev->slow_gets = {1'200'000'000};
  r.dev->answers.push_back(answer(1, 64, 72));
  EXPECT_TRUE(qspi_get_status(r.link, r.page));
  EXPECT_EQ(r.dev->fetched.size(), 2u);
  EXPECT_EQ(r.log.text(), " *&* : get qspi stat(1)  1.200000000\r\n");
}

TEST(QspiTiming, RepeatFailingTooIsFinal) {
  SlowRig r;
  r.dev->slow_gets = {1'200'000'000, 1'200'000'000};
  EXPECT_FALSE(qspi_get_status(r.link, r.page));
  EXPECT_EQ(r.dev->fetched.size(), 2u);
  EXPECT_EQ(r.log.text(), " *&* : get qspi stat(0)  1.200000000\r\n");
}

TEST(QspiTiming, FailureAfter300msIsFinal) {
  SlowRig r;
  r.dev->slow_gets = {300'000'000};
  r.dev->answers.push_back(answer(1, 64, 72));
  EXPECT_FALSE(qspi_get_status(r.link, r.page));
  EXPECT_EQ(r.dev->fetched.size(), 1u);
  EXPECT_EQ(r.log.text(), "");
}

TEST(QspiTiming, ExactlyOneSecondIsStillQuick) {
  SlowRig r;
  r.dev->slow_gets = {1'000'000'000};
  r.dev->answers.push_back(answer(1, 64, 72));
  EXPECT_FALSE(qspi_get_status(r.link, r.page));
  EXPECT_EQ(r.dev->fetched.size(), 1u);
}

TEST(QspiTiming, RetryIsSharedBetweenCauses) {
  // A slow failure used the one retry: a wrong report ID after it is final.
  SlowRig r;
  r.dev->slow_gets = {1'500'000'000};
  r.dev->answers.push_back(answer(1, 64, 72, 9));
  r.dev->answers.push_back(answer(1, 64, 72));
  EXPECT_FALSE(qspi_get_status(r.link, r.page));
  EXPECT_EQ(r.dev->fetched.size(), 2u);
  EXPECT_NE(r.log.text().find("idkey(9) failed and retry failed"), std::string::npos);
}

TEST(QspiTiming, PutFailingAfter1200msIsSentOnceMore) {
  SlowRig r;
  uint8_t req[264] = {7, 1, 2};
  r.dev->slow_puts = {1'200'000'000};
  EXPECT_TRUE(qspi_put(r.link, req));
  ASSERT_EQ(r.dev->sent.size(), 1u);
  EXPECT_EQ(r.dev->sent[0], std::vector<uint8_t>(req, req + 264));
  EXPECT_EQ(r.log.text(), " *&* : put qspi stat(1)  1.200000000\r\n");
  r.dev->slow_puts = {2'000'000'000, 1'200'000'000};
  EXPECT_FALSE(qspi_put(r.link, req));
  EXPECT_NE(r.log.text().find(" *&* : put qspi stat(0)  2.000000000\r\n"), std::string::npos);
  r.dev->slow_puts = {500'000'000};
  EXPECT_FALSE(qspi_put(r.link, req));
  EXPECT_TRUE(r.dev->slow_puts.empty());
}

TEST(QspiPut, QuickFailureIsFinalAndNoDeviceFailsAtOnce) {
  ScriptRig r;
  uint8_t req[264] = {7};
  r.dev->fail_send = true;
  EXPECT_FALSE(qspi_put(r.link, req));
  r.dev->fail_send = false;
  EXPECT_TRUE(qspi_put(r.link, req));
  ASSERT_EQ(r.dev->sent.size(), 1u);
  EXPECT_EQ(r.dev->sent[0].size(), 264u);
  r.list.current = nullptr;
  EXPECT_FALSE(qspi_put(r.link, req));
  uint8_t ans[264];
  EXPECT_FALSE(qspi_get_status(r.link, ans));
}

TEST(BdevFrame, HeaderAndChecksum) {
  uint8_t req[264] = {};
  req[8] = 2;
  EXPECT_EQ(bdev_frame(req, 0x42, 2, 64), 72u);
  EXPECT_EQ(req[0], 7);
  EXPECT_EQ(req[1], 0x42);
  EXPECT_EQ(req[2], 2);
  EXPECT_EQ(req[3], 0);
  EXPECT_EQ(get_le16(req + 4), 64);
  EXPECT_EQ(frame_csum(req, 72), 0xFFFF);
}

}  // namespace
}  // namespace kestrel
