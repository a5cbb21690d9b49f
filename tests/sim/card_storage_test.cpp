// The flash channel and the download protocol plugged into a simulated card of the SimBackend:
// host calls through the platform's HidDevice, the card's own fault plan and latency model.
#include <gtest/gtest.h>

#include <random>

#include "devlink/frame.h"
#include "log/clock.h"
#include "sim/card.h"
#include "sim/download_channel.h"
#include "sim/flash_host.h"
#include "sim/sim_backend.h"

namespace kestrel::sim {
namespace {

std::vector<uint8_t> make_image(size_t n, uint32_t seed = 21) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

class CardStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_set_source(&clock_);
    clock_init();
  }
  void TearDown() override {
    dev_.reset();
    clock_set_source(nullptr);
    clock_init();
  }

  std::shared_ptr<SimCard> make(Scenario s) {
    auto card = backend_.add_card(s);
    dev_ = backend_.open(SimBackend::node_of(backend_.card_count() - 1), platform::Access::ReadWrite);
    return card;
  }
  bool put(const std::vector<uint8_t>& r) { return dev_->set_output_report(r); }
  bool get(std::vector<uint8_t>& a) {
    a.assign(264, 0);
    a[0] = 6;
    return dev_->get_input_report(a);
  }
  // qspi_get_status: one retry for a bad answer.
  bool status(std::vector<uint8_t>& a) {
    for (int i = 0; i < 2; ++i) {
      if (!get(a)) return false;
      if (test::qspi_answer_accepted(a.data())) return true;
    }
    return false;
  }
  uint8_t seq() { return ++seq_; }

  // the flash engine's engine over the device; its result code.
  int flash(const std::vector<uint8_t>& image, uint16_t kind) {
    const uint32_t len = static_cast<uint32_t>(image.size());
    const uint32_t crc = crc32_register(image.data(), image.size());
    std::vector<uint8_t> a;
    if (!put(test::open_request(seq(), kind, len, crc))) return -1;
    int result = -1;
    uint32_t base = 0;
    if (status(a)) {
      base = get_le32(a.data() + 8 + 16);
      const uint32_t eb = get_le32(a.data() + 8 + 32) ? get_le32(a.data() + 8 + 32) : 4096;
      bool ok = true;
      for (const auto& s : test::erase_steps(base, len, eb)) {
        if (!put(test::erase_request(seq(), kind, s.addr, s.count))) {
          ok = false;
          break;
        }
        ok = status(a);
      }
      if (!ok) {
        result = -3;
      } else {
        result = 1;
        std::vector<uint8_t> padded = image;
        padded.resize((image.size() + 255) / 256 * 256, 0xFF);
        for (uint32_t off = 0; off < padded.size(); off += 256)
          if (!put(test::page_request(seq(), base + off, padded.data() + off))) {
            result = -3;
            break;
          }
      }
      if (result == 1) {
        const uint8_t s = seq();
        if (put(test::verify_request(s, kind, base, len, crc)) && status(a) && a[1] == s && a[2] == 6 &&
            !(a[3] & 0x80) && a[9])
          result = 0;
      }
    }
    put(test::close_request(seq(), kind, base, len, crc));
    status(a);
    return result;
  }

  SimClock clock_;
  SimBackend backend_;
  std::unique_ptr<platform::HidDevice> dev_;
  uint8_t seq_ = 0;
};

TEST_F(CardStorageTest, BackendCardsCarryStorageAndTheFlashChannelWhenOffered) {
  auto r = make(make_scenario(BoardModel::TB610R_1CH));
  auto st = storage_of(*r);
  ASSERT_NE(st, nullptr);
  const auto image = make_image(0x12345);
  EXPECT_EQ(flash(image, IMAGE_KIND_FPGA), 0);
  EXPECT_EQ(st->flash.read(0x40000, 0x12345), image);
  EXPECT_EQ(st->flash_channel.stats().verify_matched, 1u);
  // The card's report log holds the host's requests byte for byte.
  const auto outs = r->reports_of(ReportKind::Output);
  ASSERT_FALSE(outs.empty());
  EXPECT_EQ(outs.front(), test::open_request(1, IMAGE_KIND_FPGA, 0x12345, crc32_register(image.data(), image.size())));

  // A model without the flash channel does not take output report 7.
  auto k = make(make_scenario(BoardModel::TB610K_1CH));
  ASSERT_NE(storage_of(*k), nullptr);
  EXPECT_FALSE(put(test::open_request(1, 2, 100, 0)));
  EXPECT_EQ(storage_of(*k)->flash_channel.stats().requests, 0u);
}

TEST_F(CardStorageTest, CardFaultPlanReachesTheFlashChannelSteps) {
  Scenario s = make_scenario(BoardModel::TB830R_1CH);
  s.faults.at(StepKind::Erase, 2, Fault::CorruptChecksum).at(StepKind::Page, 3, Fault::DropAnswer);
  auto card = make(s);
  auto st = storage_of(*card);
  const auto image = make_image(0x30000);
  EXPECT_EQ(flash(image, IMAGE_KIND_FPGA), 1);  // page 3 lost: the verify does not confirm
  EXPECT_EQ(card->step_count(StepKind::Erase), 3u);
  EXPECT_EQ(card->step_count(StepKind::Page), 0x300u);
  EXPECT_TRUE(st->flash.is_erased(0x40000 + 2 * 256, 256));
  // The corrupted erase answer was fetched twice (qspi_get_status's retry).
  EXPECT_EQ(st->flash_channel.stats().fetches, 1u + 3u + 1u + 1u + 1u);  // open, erases, retry, verify, close
}

TEST_F(CardStorageTest, UnplugAtAnEraseStepUnplugsTheCard) {
  Scenario s = make_scenario(BoardModel::TB850V_1CH);
  s.faults.at(StepKind::Erase, 1, Fault::Unplug);
  auto card = make(s);
  EXPECT_EQ(flash(make_image(5000), IMAGE_KIND_USB), -3);
  EXPECT_FALSE(card->plugged());
  const auto ev = backend_.drain_hotplug();
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(ev.back().kind, platform::HotplugEvent::Kind::Removal);
}

TEST_F(CardStorageTest, SlowPageIsHeldBackForTheRulesDelay) {
  Scenario s = make_scenario(BoardModel::Meadow);
  s.faults.at(StepKind::Page, 2, Fault::Slow, 1, 1250);
  make(s);
  const uint64_t t0 = clock_now_ns();
  EXPECT_EQ(flash(make_image(1000), IMAGE_KIND_USB), 0);
  EXPECT_EQ(clock_now_ns() - t0, 1'250'000'000u);
}

TEST_F(CardStorageTest, LatencyModelOfTheScenarioPacesEraseAndPages) {
  Scenario s = make_scenario(BoardModel::Rw820c);
  s.latency.per_erase_block_ms = 3;  // per 4 KiB block
  s.latency.per_page_ms = 1;
  auto card = make(s);
  const uint64_t t0 = clock_now_ns();
  EXPECT_EQ(flash(make_image(0x10000), IMAGE_KIND_USB), 0);
  // 16 blocks erased at 3 ms, 256 pages at 1 ms.
  EXPECT_EQ(clock_now_ns() - t0, 16u * 3'000'000u + 256u * 1'000'000u);
  EXPECT_EQ(storage_of(*card)->download.config().erase_ms, 48u);
}

TEST_F(CardStorageTest, LegacyDownloadThroughTheDevice) {
  auto card = make(make_scenario(BoardModel::TB610M_1CH));
  auto st = storage_of(*card);
  const auto image = make_image(3000);
  std::vector<uint8_t> r(261, 0);
  r[0] = 1;
  r[1] = 1;
  ASSERT_TRUE(dev_->set_feature_report(r));
  std::fill(r.begin(), r.end(), 0);
  r[0] = 5;
  ASSERT_TRUE(dev_->set_output_report(r));
  int polls = 0;
  for (;;) {
    std::vector<uint8_t> h(257, 0);
    h[0] = 6;
    ASSERT_TRUE(dev_->get_input_report(h));
    ++polls;
    if (h[0] == 0) break;
    sleep_ms(10);
  }
  EXPECT_EQ(polls, 5);  // the default 40 ms erase, polled every 10 ms
  for (uint32_t off = 0; off < image.size(); off += 256) {
    const uint16_t n = static_cast<uint16_t>(std::min<size_t>(256, image.size() - off));
    std::fill(r.begin(), r.end(), 0);
    r[0] = 4;
    r[2] = static_cast<uint8_t>(off / 256);
    r[4] = static_cast<uint8_t>(n);
    r[3] = static_cast<uint8_t>(n >> 8);
    std::memcpy(r.data() + 5, image.data() + off, n);
    ASSERT_TRUE(dev_->set_output_report(r));
  }
  std::fill(r.begin(), r.end(), 0);
  r[0] = 1;
  ASSERT_TRUE(dev_->set_feature_report(r));
  EXPECT_TRUE(st->download.start_seen());
  EXPECT_TRUE(st->download.end_seen());
  EXPECT_EQ(st->download.usb_image(3000), image);
  // The card's own reports still work beside the channels: the 63-byte notification on output 5.
  std::vector<uint8_t> note(63, 0);
  uint8_t p[16] = {};
  put_le32(p, MAGIC_ZHHH);
  frame_build(note.data(), 5, 1, 14, 0, p, 16);
  EXPECT_TRUE(dev_->set_output_report(note));
  EXPECT_EQ(card->notifications().size(), 1u);
}

}  // namespace
}  // namespace kestrel::sim
