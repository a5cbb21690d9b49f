// The card side of the flash channel: hand-built host frames in, the card's answers and the
// modelled flash checked byte for byte.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "devlink/frame.h"
#include "log/clock.h"
#include "sim/flash_channel.h"
#include "sim/qspi_flash.h"
#include "sim/flash_host.h"

namespace kestrel::sim {
namespace {

using test::close_request;
using test::erase_request;
using test::erase_steps;
using test::open_request;
using test::page_request;
using test::qspi_answer_accepted;
using test::verify_request;

std::vector<uint8_t> make_image(size_t n, uint32_t seed = 7) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

class FlashChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_set_source(&clock_);
    clock_init();
  }
  void TearDown() override {
    clock_set_source(nullptr);
    clock_init();
  }

  bool put(FlashChannel& ch, const std::vector<uint8_t>& r) { return ch.on_set_output(r) == Handled::Ok; }
  // Fetches input 6 (264 bytes, bytes 0..3 = 6, 0, 0, 0 and zeros after, as qspi_get_status
  // prepares it); false when the fetch fails.
  bool get(FlashChannel& ch, std::vector<uint8_t>& a) {
    a.assign(264, 0);
    a[0] = 6;
    return ch.on_get_input(a) == Handled::Ok;
  }
  uint8_t seq() { return ++seq_; }

  // The whole engine run of the flash engine against the channel; returns the engine's result code.
  int run_engine(FlashChannel& ch, const std::vector<uint8_t>& image, uint16_t kind = 2, bool erase = true) {
    const uint32_t len = static_cast<uint32_t>(image.size());
    const uint32_t crc = crc32_register(image.data(), image.size());
    std::vector<uint8_t> a;
    if (!put(ch, open_request(seq(), kind, len, crc))) return -1;
    int result = -1;
    uint32_t base = 0;
    if (get(ch, a) && qspi_answer_accepted(a.data())) {
      base = get_le32(a.data() + 8 + 16);
      const uint32_t size = get_le32(a.data() + 8 + 20);
      uint32_t eb = get_le32(a.data() + 8 + 32);
      if (eb == 0) eb = 4096;
      if (base % eb || len > size) {
        result = -2;
      } else {
        bool ok = true;
        if (erase) {
          for (const auto& s : erase_steps(base, len, eb)) {
            if (!put(ch, erase_request(seq(), kind, s.addr, s.count))) {
              ok = false;
              break;
            }
            ok = get(ch, a) && qspi_answer_accepted(a.data());
          }
        }
        if (!ok) {
          result = -3;
        } else {
          std::vector<uint8_t> padded = image;
          padded.resize((image.size() + 255) / 256 * 256, 0xFF);
          result = 1;
          for (uint32_t off = 0; off < padded.size(); off += 256) {
            if (!put(ch, page_request(seq(), base + off, padded.data() + off))) {
              result = -3;
              break;
            }
          }
        }
      }
      if (result != -3) {
        const uint8_t s = seq();
        if (put(ch, verify_request(s, kind, base, len, crc)) && get(ch, a) && qspi_answer_accepted(a.data()) &&
            a[2] == 6 && a[1] == s && !(a[3] & 0x80) && a[9] != 0)
          result = 0;
      }
    }
    put(ch, close_request(seq(), kind, base, len, crc));
    get(ch, a);
    return result;
  }

  SimClock clock_;
  uint8_t seq_ = 0;
};

QspiFlash small_flash() {
  QspiFlash f(1u << 20, 4096);
  f.set_partition({"fx3", 2, 0x1000, 0x3F000});
  f.set_partition({"fpga", 1, 0x40000, 0xC0000});
  return f;
}

// ---- the flash model ---------------------------------------------------------------------------

TEST(QspiFlashTest, ErasedIsFFAndProgramOnlyClearsBits) {
  QspiFlash f(1u << 16, 4096);
  EXPECT_TRUE(f.is_erased(0, f.size()));
  const uint8_t a[4] = {0xF0, 0x0F, 0xAA, 0x55};
  const uint8_t b[4] = {0xCC, 0xCC, 0xFF, 0x00};
  ASSERT_TRUE(f.program(0x100, a));
  ASSERT_TRUE(f.program(0x100, b));
  const auto got = f.read(0x100, 4);
  EXPECT_EQ(got, (std::vector<uint8_t>{0xC0, 0x0C, 0xAA, 0x00}));
  EXPECT_EQ(f.counters().page_programs, 2u);
  EXPECT_EQ(f.counters().dirty_programs, 1u);
  EXPECT_GT(f.counters().lost_bits, 0u);
}

TEST(QspiFlashTest, ProgramRefusesPageCrossingAndEraseRefusesMisalignment) {
  QspiFlash f(1u << 16, 4096);
  std::vector<uint8_t> d(256, 0);
  EXPECT_FALSE(f.program(0x180, d));  // crosses into the next page
  EXPECT_TRUE(f.is_erased(0, f.size()));
  EXPECT_FALSE(f.erase(0x800, 4096));
  EXPECT_FALSE(f.erase(0, 100));
  EXPECT_FALSE(f.erase(0xF000, 0x2000));  // past the end
  EXPECT_EQ(f.counters().refused, 4u);
  EXPECT_TRUE(f.erase(0, 0x2000));
  EXPECT_EQ(f.counters().erased_blocks, 2u);
}

TEST(QspiFlashTest, UntouchedFlashReadsErasedWithoutItsBytes) {
  QspiFlash f(1u << 20, 4096);
  EXPECT_TRUE(f.is_erased(0, f.size()));
  EXPECT_EQ(f.read(0xFFFFE, 8), (std::vector<uint8_t>{0xFF, 0xFF}));  // clipped at the end
  const std::vector<uint8_t> ff(10000, 0xFF);
  EXPECT_EQ(f.crc(0x1234, 10000), crc32_register(ff.data(), ff.size()));
  EXPECT_TRUE(f.erase(0, 4096));
  EXPECT_TRUE(f.is_erased(0, f.size()));
  const uint8_t one[1] = {0x12};
  ASSERT_TRUE(f.program(0x80000, one));
  EXPECT_EQ(f.bytes().size(), f.size());
  EXPECT_EQ(f.bytes()[0x80000], 0x12);
  EXPECT_EQ(f.crc(0x1234, 10000), crc32_register(ff.data(), ff.size()));
  f.reset();
  EXPECT_TRUE(f.is_erased(0, f.size()));
  EXPECT_EQ(f.counters().page_programs, 0u);
}

TEST(QspiFlashTest, CardDefaultLayout) {
  const QspiFlash f = QspiFlash::card_default();
  EXPECT_EQ(f.size(), 16u << 20);
  ASSERT_NE(f.partition(IMAGE_KIND_USB), nullptr);
  ASSERT_NE(f.partition(IMAGE_KIND_FPGA), nullptr);
  EXPECT_EQ(f.partition(IMAGE_KIND_USB)->base, 0u);
  EXPECT_EQ(f.partition(IMAGE_KIND_FPGA)->base, 0x40000u);
}

// ---- open ----------------------------------------------------------------------------------------

TEST_F(FlashChannelTest, OpenAnswerCarriesPartitionBaseSizeAndEraseBlock) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  ASSERT_TRUE(put(ch, open_request(0x21, 2, 1000, 0x12345678)));
  std::vector<uint8_t> a;
  ASSERT_TRUE(get(ch, a));
  EXPECT_TRUE(qspi_answer_accepted(a.data()));
  EXPECT_EQ(a[0], 6);
  EXPECT_EQ(a[1], 0x21);
  EXPECT_EQ(a[2], 1);
  EXPECT_EQ(a[3], 0);
  EXPECT_EQ(get_le16(a.data() + 4), 64);
  EXPECT_EQ(get_le32(a.data() + 8 + 16), 0x1000u);
  EXPECT_EQ(get_le32(a.data() + 8 + 20), 0x3F000u);
  EXPECT_EQ(get_le32(a.data() + 8 + 32), 4096u);
  EXPECT_TRUE(ch.is_open());
  EXPECT_EQ(ch.open_kind(), 2);
  // The same answer again on a second fetch: the status stays until the next request.
  std::vector<uint8_t> b;
  ASSERT_TRUE(get(ch, b));
  EXPECT_EQ(a, b);
  // Bytes past the frame are zero.
  for (size_t i = 8 + 64; i < 264; ++i) ASSERT_EQ(a[i], 0) << i;
}

TEST_F(FlashChannelTest, OpenCanReportEraseBlockZero) {
  QspiFlash f = small_flash();
  FlashChannel::Config cfg;
  cfg.report_zero_erase_block = true;
  FlashChannel ch(f, cfg);
  ASSERT_TRUE(put(ch, open_request(1, 1, 1000, 0)));
  std::vector<uint8_t> a;
  ASSERT_TRUE(get(ch, a));
  EXPECT_TRUE(qspi_answer_accepted(a.data()));
  EXPECT_EQ(get_le32(a.data() + 8 + 32), 0u);
  EXPECT_EQ(get_le32(a.data() + 8 + 16), 0x40000u);
}

TEST_F(FlashChannelTest, OpenOfUnknownKindOrDeviceIsRefused) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  std::vector<uint8_t> a;
  ASSERT_TRUE(put(ch, open_request(1, 9, 1000, 0)));
  ASSERT_TRUE(get(ch, a));
  EXPECT_TRUE(qspi_answer_accepted(a.data()));
  EXPECT_EQ(a[3] & 0x80, 0x80);
  EXPECT_EQ(get_le32(a.data() + 8 + 20), 0u);  // no partition: size 0
  EXPECT_FALSE(ch.is_open());

  auto r = open_request(2, 2, 1000, 0);
  r[8 + 40] = 'x';  // not "qzffs"
  put_le16(r.data() + 6, 0);
  put_le16(r.data() + 6, static_cast<uint16_t>(~frame_csum(r.data(), 72)));
  ASSERT_TRUE(put(ch, r));
  ASSERT_TRUE(get(ch, a));
  EXPECT_EQ(a[3] & 0x80, 0x80);
  EXPECT_FALSE(ch.is_open());
}

TEST_F(FlashChannelTest, ControlFrameWithBadChecksumOrMagicIsRefused) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  std::vector<uint8_t> a;
  auto r = open_request(3, 2, 1000, 0);
  r[6] ^= 1;  // broken checksum
  ASSERT_TRUE(put(ch, r));
  ASSERT_TRUE(get(ch, a));
  EXPECT_TRUE(qspi_answer_accepted(a.data()));  // the answer itself is intact
  EXPECT_EQ(a[1], 3);
  EXPECT_EQ(a[3] & 0x80, 0x80);
  EXPECT_FALSE(ch.is_open());
  EXPECT_EQ(ch.stats().bad_requests, 1u);

  auto m = open_request(4, 2, 1000, 0);
  put_le32(m.data() + 8 + 4, 0x11111111);
  put_le16(m.data() + 6, 0);
  put_le16(m.data() + 6, static_cast<uint16_t>(~frame_csum(m.data(), 72)));
  ASSERT_TRUE(put(ch, m));
  ASSERT_TRUE(get(ch, a));
  EXPECT_EQ(a[3] & 0x80, 0x80);
  EXPECT_EQ(ch.stats().bad_requests, 2u);
}

TEST_F(FlashChannelTest, ReportsOfOtherIdsAndSizesAreLeftAlone) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  std::vector<uint8_t> out11(265, 0);
  out11[0] = 11;
  EXPECT_EQ(ch.on_set_output(out11), Handled::No);
  std::vector<uint8_t> in6(257, 0);
  in6[0] = 6;
  EXPECT_EQ(ch.on_get_input(in6), Handled::No);  // the download handshake
  std::vector<uint8_t> in9(265, 0);
  in9[0] = 9;
  EXPECT_EQ(ch.on_get_input(in9), Handled::No);
  // Output 7 of another size is stalled.
  auto r = open_request(1, 2, 10, 0);
  r.resize(265);
  EXPECT_EQ(ch.on_set_output(r), Handled::Fail);
}

TEST_F(FlashChannelTest, UnknownOperationsAndTheirStatusAreLeftToTheCard) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  std::vector<uint8_t> a;
  EXPECT_FALSE(get(ch, a));  // nothing asked yet: not ours to answer
  EXPECT_EQ(ch.on_get_input(a), Handled::No);
  std::vector<uint8_t> odd(264, 0);
  odd[0] = 7;
  odd[2] = 9;
  EXPECT_EQ(ch.on_set_output(odd), Handled::No);
  ASSERT_TRUE(put(ch, open_request(1, 2, 100, 0)));
  EXPECT_TRUE(get(ch, a));
  EXPECT_EQ(ch.on_set_output(odd), Handled::No);
  EXPECT_EQ(ch.on_get_input(a), Handled::No);  // the status after it is not ours either
  EXPECT_EQ(ch.stats().requests, 1u);
}

// ---- erase ---------------------------------------------------------------------------------------

TEST_F(FlashChannelTest, EraseClearsItsRangeAndLeavesNeighboursIntact) {
  QspiFlash f = small_flash();
  const std::vector<uint8_t> zeros(f.size(), 0x00);
  f.load(0, zeros);
  FlashChannel ch(f);
  std::vector<uint8_t> a;
  ASSERT_TRUE(put(ch, open_request(1, 2, 0x3000, 0)));
  ASSERT_TRUE(get(ch, a));
  ASSERT_TRUE(put(ch, erase_request(2, 2, 0x2000, 0x2000)));
  ASSERT_TRUE(get(ch, a));
  EXPECT_TRUE(qspi_answer_accepted(a.data()));
  EXPECT_EQ(a[1], 2);
  EXPECT_EQ(a[2], 3);
  EXPECT_EQ(a[3], 0);
  EXPECT_TRUE(f.is_erased(0x2000, 0x2000));
  EXPECT_EQ(f.read(0x1FFF, 1)[0], 0x00);
  EXPECT_EQ(f.read(0x4000, 1)[0], 0x00);
  EXPECT_EQ(f.counters().erased_blocks, 2u);
}

TEST_F(FlashChannelTest, EraseOutsideThePartitionOrMisalignedIsRefused) {
  QspiFlash f = small_flash();
  f.load(0, std::vector<uint8_t>(f.size(), 0x00));
  FlashChannel ch(f);
  std::vector<uint8_t> a;
  // Not open yet.
  ASSERT_TRUE(put(ch, erase_request(1, 2, 0x1000, 0x1000)));
  ASSERT_TRUE(get(ch, a));
  EXPECT_EQ(a[3] & 0x80, 0x80);
  ASSERT_TRUE(put(ch, open_request(2, 2, 0x3000, 0)));
  ASSERT_TRUE(get(ch, a));
  for (auto [addr, count] : {std::pair<uint32_t, uint32_t>{0x0000, 0x1000},   // below the partition
                             {0x3F000, 0x2000},                               // past its end
                             {0x1800, 0x1000}}) {                             // misaligned
    ASSERT_TRUE(put(ch, erase_request(3, 2, addr, count)));
    ASSERT_TRUE(get(ch, a));
    EXPECT_TRUE(qspi_answer_accepted(a.data()));
    EXPECT_EQ(a[3] & 0x80, 0x80) << std::hex << addr;
  }
  EXPECT_EQ(f.counters().erase_ops, 0u);
  EXPECT_FALSE(f.is_erased(0x1000, 1));
}

// ---- pages and verify --------------------------------------------------------------------------

TEST_F(FlashChannelTest, WholeRunWritesTheImageAndVerifiesByCrc) {
  // the flash engine's example: base 0x1000, erase block 4096, image 0x2F001 bytes.
  QspiFlash f = small_flash();
  f.load(0, std::vector<uint8_t>(f.size(), 0x3C));  // old content everywhere
  FlashChannel ch(f);
  const auto image = make_image(0x2F001);
  EXPECT_EQ(run_engine(ch, image), 0);

  const auto steps = erase_steps(0x1000, 0x2F001, 4096);
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[0].count, 0xF000u);
  EXPECT_EQ(steps[3].count, 0x1000u);
  EXPECT_EQ(ch.stats().erase_steps, 4u);
  EXPECT_EQ(ch.stats().pages, 753u);
  EXPECT_EQ(ch.stats().pages_programmed, 753u);
  EXPECT_EQ(ch.stats().verify_matched, 1u);
  EXPECT_EQ(ch.stats().last_verify_crc, crc32_register(image.data(), image.size()));
  EXPECT_EQ(f.counters().dirty_programs, 0u);

  // Byte for byte: the image, 0xFF padding to the page end, the erased tail of the last erase
  // block, and the old content outside.
  const auto got = f.read(0x1000, 0x2F001);
  EXPECT_EQ(got, image);
  EXPECT_TRUE(f.is_erased(0x1000 + 0x2F001, 0x30000 - 0x2F001));
  EXPECT_EQ(f.read(0x0FFF, 1)[0], 0x3C);
  EXPECT_EQ(f.read(0x31000, 1)[0], 0x3C);
  EXPECT_FALSE(ch.is_open());  // closed
}

TEST_F(FlashChannelTest, VerifyAnswerMatchesOnlyWhenTheCrcDoes) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  const auto image = make_image(1000);
  const uint32_t crc = crc32_register(image.data(), image.size());
  std::vector<uint8_t> a;
  ASSERT_TRUE(put(ch, open_request(1, 2, 1000, crc)));
  ASSERT_TRUE(get(ch, a));
  ASSERT_TRUE(put(ch, erase_request(2, 2, 0x1000, 0x1000)));
  ASSERT_TRUE(get(ch, a));
  std::vector<uint8_t> padded = image;
  padded.resize(1024, 0xFF);
  for (uint32_t off = 0; off < 1024; off += 256) ASSERT_TRUE(put(ch, page_request(3, 0x1000 + off, padded.data() + off)));
  ASSERT_TRUE(put(ch, verify_request(0x44, 2, 0x1000, 1000, crc)));
  ASSERT_TRUE(get(ch, a));
  EXPECT_TRUE(qspi_answer_accepted(a.data()));
  EXPECT_EQ(a[1], 0x44);
  EXPECT_EQ(a[2], 6);
  EXPECT_EQ(a[3] & 0x80, 0);
  EXPECT_NE(a[9], 0);
  EXPECT_EQ(get_le32(a.data() + 8 + 24), crc);
  // A host CRC that is off by one bit: no match.
  ASSERT_TRUE(put(ch, verify_request(0x45, 2, 0x1000, 1000, crc ^ 1)));
  ASSERT_TRUE(get(ch, a));
  EXPECT_TRUE(qspi_answer_accepted(a.data()));
  EXPECT_EQ(a[9], 0);
  EXPECT_EQ(a[3] & 0x80, 0);
}

TEST_F(FlashChannelTest, AWriteWithoutEraseIsCaught) {
  QspiFlash f = small_flash();
  const auto old = make_image(f.size(), 99);
  f.load(0, old);
  FlashChannel ch(f);
  const auto image = make_image(0x1800, 3);
  EXPECT_EQ(run_engine(ch, image, 2, /*erase=*/false), 1);  // written, not confirmed
  EXPECT_EQ(ch.stats().verify_matched, 0u);
  EXPECT_GT(f.counters().dirty_programs, 0u);
  EXPECT_GT(f.counters().lost_bits, 0u);
  // What the flash holds is the AND of old and new.
  const auto got = f.read(0x1000, 0x1800);
  for (size_t i = 0; i < image.size(); ++i) ASSERT_EQ(got[i], image[i] & old[0x1000 + i]) << i;
}

TEST_F(FlashChannelTest, ImageLargerThanThePartitionSkipsToVerify) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  const auto image = make_image(0x40000);
  EXPECT_EQ(run_engine(ch, image), -2);
  EXPECT_EQ(ch.stats().erase_steps, 0u);
  EXPECT_EQ(ch.stats().pages, 0u);
  EXPECT_EQ(ch.stats().verifies, 1u);
  EXPECT_EQ(ch.stats().closes, 1u);
}

TEST_F(FlashChannelTest, PageChecksumIsCheckedZeroExtended) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  std::vector<uint8_t> a;
  ASSERT_TRUE(put(ch, open_request(1, 1, 0x40000, 0)));
  ASSERT_TRUE(get(ch, a));
  const auto data = make_image(256);
  // Page index 0x400 (above 256): the sum runs past the 264 bytes sent, over zeros.
  auto good = page_request(5, 0x40000, data.data());
  ASSERT_TRUE(put(ch, good));
  EXPECT_EQ(f.read(0x40000, 256), data);
  auto bad = page_request(6, 0x40100, data.data());
  bad[6] ^= 0x01;
  ASSERT_TRUE(put(ch, bad));  // taken, not programmed
  EXPECT_TRUE(f.is_erased(0x40100, 256));
  EXPECT_EQ(ch.stats().pages_rejected, 1u);
  // Page index 0x0F (below 256): the sum covers only 8 + 15 bytes of the request.
  QspiFlash g(1u << 16, 4096);
  g.set_partition({"x", 2, 0, 0x10000});
  FlashChannel ch2(g);
  ASSERT_TRUE(put(ch2, open_request(1, 2, 0x1000, 0)));
  auto low = page_request(7, 0x0F00, data.data());
  low[8 + 100] ^= 0xFF;  // outside the summed bytes: still accepted
  ASSERT_TRUE(put(ch2, low));
  EXPECT_EQ(ch2.stats().pages_programmed, 1u);
  // With the check off a broken checksum is programmed anyway.
  ch.config().page_check = FlashChannel::PageCheck::Ignore;
  ASSERT_TRUE(put(ch, bad));
  EXPECT_EQ(f.read(0x40100, 256), data);
}

TEST_F(FlashChannelTest, PageOutsideTheOpenPartitionIsNotProgrammed) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  const auto data = make_image(256);
  ASSERT_TRUE(put(ch, page_request(1, 0x2000, data.data())));  // not open
  std::vector<uint8_t> a;
  ASSERT_TRUE(put(ch, open_request(2, 2, 0x1000, 0)));
  ASSERT_TRUE(get(ch, a));
  ASSERT_TRUE(put(ch, page_request(3, 0x40000, data.data())));  // the FPGA partition
  EXPECT_EQ(ch.stats().pages_rejected, 2u);
  EXPECT_TRUE(f.is_erased(0, f.size()));
}

// ---- latency ---------------------------------------------------------------------------------------

TEST_F(FlashChannelTest, LatencyRunsInSimulatedTime) {
  QspiFlash f = small_flash();
  FlashChannel::Config cfg;
  cfg.erase_block_us = 2500;  // per 4 KiB block
  cfg.page_us = 700;
  FlashChannel ch(f, cfg);
  std::vector<uint8_t> a;
  ASSERT_TRUE(put(ch, open_request(1, 2, 0x10000, 0)));
  ASSERT_TRUE(get(ch, a));
  uint64_t t0 = clock_now_ns();
  ASSERT_TRUE(put(ch, erase_request(2, 2, 0x10000, 0x10000)));  // 16 blocks
  ASSERT_TRUE(get(ch, a));
  EXPECT_GE(clock_now_ns() - t0, 40'000'000u);
  EXPECT_LT(clock_now_ns() - t0, 42'000'000u);
  const auto data = make_image(256);
  t0 = clock_now_ns();
  for (uint32_t i = 0; i < 10; ++i) ASSERT_TRUE(put(ch, page_request(3, 0x10000 + i * 256, data.data())));
  EXPECT_EQ(clock_now_ns() - t0, 7'000'000u);
}

// ---- faults (the channel's own plan; a card applies the answer faults itself) ----------------------

class FlashFaultTest : public FlashChannelTest {
 protected:
  void open_and_erase_steps(FlashChannel& ch, int steps, std::vector<bool>& fetched, std::vector<bool>& accepted,
                            std::vector<std::vector<uint8_t>>& answers) {
    std::vector<uint8_t> a;
    ASSERT_TRUE(put(ch, open_request(seq(), 2, 0x10000, 0)));
    ASSERT_TRUE(get(ch, a));
    for (int i = 0; i < steps; ++i) {
      const bool p = put(ch, erase_request(seq(), 2, 0x1000 + 0x1000 * i, 0x1000));
      ASSERT_TRUE(p);
      const bool g = get(ch, a);
      fetched.push_back(g);
      accepted.push_back(g && qspi_answer_accepted(a.data()));
      answers.push_back(a);
    }
  }
};

TEST_F(FlashFaultTest, DropAnswerFailsTheNextFetchOnly) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  ch.faults().set_plan(FaultPlan{}.at(StepKind::Erase, 2, Fault::DropAnswer));
  std::vector<bool> fetched, accepted;
  std::vector<std::vector<uint8_t>> answers;
  open_and_erase_steps(ch, 3, fetched, accepted, answers);
  EXPECT_EQ(fetched, (std::vector<bool>{true, false, true}));
  EXPECT_TRUE(f.is_erased(0x2000, 0x1000));  // the erase itself was done
  // A retry fetch after the dropped one gets the answer.
  std::vector<uint8_t> a;
  EXPECT_TRUE(get(ch, a));
}

TEST_F(FlashFaultTest, CorruptChecksumIsRefusedByTheHostAndTheRetryIsIntact) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  ch.faults().set_plan(FaultPlan{}.at(StepKind::Erase, 1, Fault::CorruptChecksum));
  std::vector<uint8_t> a;
  ASSERT_TRUE(put(ch, open_request(1, 2, 0x10000, 0)));
  ASSERT_TRUE(get(ch, a));
  ASSERT_TRUE(put(ch, erase_request(2, 2, 0x1000, 0x1000)));
  ASSERT_TRUE(get(ch, a));
  EXPECT_FALSE(qspi_answer_accepted(a.data()));
  EXPECT_EQ(a[1], 2);
  ASSERT_TRUE(get(ch, a));  // qspi_get_status fetches once more
  EXPECT_TRUE(qspi_answer_accepted(a.data()));
}

TEST_F(FlashFaultTest, StaleSequenceOnTheVerifyRepeatsThePreviousByte) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  // Transactions: open 1, erase 2, page 3, verify 4.
  ch.faults().set_plan(FaultPlan{}.at(StepKind::Transaction, 4, Fault::StaleSequence));
  std::vector<uint8_t> a;
  const auto data = make_image(256);
  const uint32_t crc = crc32_register(data.data(), 256);
  ASSERT_TRUE(put(ch, open_request(10, 2, 256, crc)));
  ASSERT_TRUE(get(ch, a));
  ASSERT_TRUE(put(ch, erase_request(11, 2, 0x1000, 0x1000)));
  ASSERT_TRUE(get(ch, a));
  ASSERT_TRUE(put(ch, page_request(12, 0x1000, data.data())));
  ASSERT_TRUE(put(ch, verify_request(13, 2, 0x1000, 256, crc)));
  ASSERT_TRUE(get(ch, a));
  EXPECT_TRUE(qspi_answer_accepted(a.data()));  // checksum intact
  EXPECT_EQ(a[1], 11);                           // the erase's byte (the page has no answer)
  EXPECT_NE(a[9], 0);                            // the card did match; the host refuses on byte 1
}

TEST_F(FlashFaultTest, RefusedEraseStepIsNotCarriedOut) {
  QspiFlash f = small_flash();
  f.load(0, std::vector<uint8_t>(f.size(), 0));
  FlashChannel ch(f);
  ch.faults().set_plan(FaultPlan{}.at(StepKind::Erase, 1, Fault::Refuse));
  std::vector<bool> fetched, accepted;
  std::vector<std::vector<uint8_t>> answers;
  open_and_erase_steps(ch, 2, fetched, accepted, answers);
  EXPECT_EQ(accepted, (std::vector<bool>{true, true}));
  EXPECT_EQ(answers[0][3] & 0x80, 0x80);
  EXPECT_EQ(answers[1][3] & 0x80, 0);
  EXPECT_FALSE(f.is_erased(0x1000, 1));
  EXPECT_TRUE(f.is_erased(0x2000, 0x1000));
}

TEST_F(FlashFaultTest, SlowAnswerTakesLongerThanOneSecond) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  ch.faults().set_plan(FaultPlan{}.at(StepKind::Erase, 1, Fault::Slow, 1, 1200));
  std::vector<uint8_t> a;
  ASSERT_TRUE(put(ch, open_request(1, 2, 0x10000, 0)));
  ASSERT_TRUE(get(ch, a));
  ASSERT_TRUE(put(ch, erase_request(2, 2, 0x1000, 0x1000)));
  const uint64_t t0 = clock_now_ns();
  ASSERT_TRUE(get(ch, a));
  EXPECT_EQ(clock_now_ns() - t0, 1'200'000'000u);
  EXPECT_TRUE(qspi_answer_accepted(a.data()));
}

TEST_F(FlashFaultTest, UnplugAtAPageFailsThatPutAndEverythingAfter) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  int unplugs = 0;
  ch.set_unplug_hook([&] { ++unplugs; });
  ch.faults().set_plan(FaultPlan{}.at(StepKind::Page, 3, Fault::Unplug));
  const auto image = make_image(0x1000);
  EXPECT_EQ(run_engine(ch, image), -3);
  EXPECT_EQ(unplugs, 1);
  EXPECT_TRUE(ch.gone());
  EXPECT_EQ(ch.stats().pages_programmed, 2u);
  std::vector<uint8_t> a;
  EXPECT_FALSE(get(ch, a));
  ch.replug();
  ASSERT_TRUE(put(ch, open_request(1, 2, 0x10, 0)));
}

TEST_F(FlashFaultTest, PageFaultsSpoilOnlyTheirPage) {
  const auto image = make_image(0x1000);
  {
    QspiFlash f = small_flash();
    FlashChannel ch(f);
    ch.faults().set_plan(FaultPlan{}.at(StepKind::Page, 2, Fault::DropAnswer));
    EXPECT_EQ(run_engine(ch, image), 1);  // written, verify does not confirm
    EXPECT_TRUE(f.is_erased(0x1100, 256));
    EXPECT_EQ(ch.stats().pages_programmed, 15u);
  }
  {
    QspiFlash f = small_flash();
    FlashChannel ch(f);
    ch.faults().set_plan(FaultPlan{}.at(StepKind::Page, 2, Fault::CorruptChecksum));
    EXPECT_EQ(run_engine(ch, image), 1);
    EXPECT_EQ(ch.stats().pages_rejected, 1u);
  }
  {
    QspiFlash f = small_flash();
    FlashChannel ch(f);
    ch.faults().set_plan(FaultPlan{}.at(StepKind::Page, 2, Fault::Refuse));
    EXPECT_EQ(run_engine(ch, image), -3);  // the put fails: "failed for write data"
    EXPECT_EQ(ch.stats().closes, 1u);      // the close is still sent
  }
  {
    QspiFlash f = small_flash();
    FlashChannel ch(f);
    ch.faults().set_plan(FaultPlan{}.at(StepKind::Page, 2, Fault::Slow, 1, 1100));
    const uint64_t t0 = clock_now_ns();
    EXPECT_EQ(run_engine(ch, image), 0);  // held back, then taken
    EXPECT_GE(clock_now_ns() - t0, 1'100'000'000u);
  }
}

TEST_F(FlashFaultTest, UnplugAtOpenFailsTheOpenRequest) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  ch.faults().set_plan(FaultPlan{}.at(StepKind::Transaction, 1, Fault::Unplug));
  EXPECT_EQ(run_engine(ch, make_image(100)), -1);
  EXPECT_TRUE(ch.gone());
  EXPECT_EQ(ch.stats().opens, 0u);
}

TEST_F(FlashFaultTest, BoundToACardTheCardCountsAndAppliesAnswerFaults) {
  QspiFlash f = small_flash();
  FlashChannel ch(f);
  std::vector<StepKind> asked;
  ch.faults().bind_card([&](StepKind k, uint32_t&) {
    asked.push_back(k);
    return k == StepKind::Erase ? Fault::CorruptChecksum : Fault::None;
  });
  std::vector<uint8_t> a;
  ASSERT_TRUE(put(ch, open_request(1, 2, 0x10000, 0)));
  ASSERT_TRUE(get(ch, a));
  ASSERT_TRUE(put(ch, erase_request(2, 2, 0x1000, 0x1000)));
  ASSERT_TRUE(get(ch, a));
  EXPECT_TRUE(qspi_answer_accepted(a.data()));  // left to the card
  const auto data = make_image(256);
  ASSERT_TRUE(put(ch, page_request(3, 0x1000, data.data())));
  EXPECT_EQ(asked, (std::vector<StepKind>{StepKind::Erase, StepKind::Page}));  // no Transaction
}

}  // namespace
}  // namespace kestrel::sim
