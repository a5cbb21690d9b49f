// Each fault of the plan reaches the host as the link says it should.
#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

#include "devlink/commands.h"
#include "devlink/hid_link.h"
#include "flash_host.h"
#include "sim/fifo_mutex.h"
#include "support/sim_fixture.h"

namespace kestrel {
namespace {

using sim::Fault;
using sim::StepKind;

sim::Scenario with_fault(const char* board, StepKind kind, uint32_t value, Fault fault, uint32_t times = 1) {
  auto s = *sim::make_scenario(board);
  s.faults.at(kind, value, fault, times);
  return s;
}

bool work_status(test::SimFixture& f, Answer& a) {
  const uint8_t one = 1;
  return f.link.transact_long(CMD_WORK_STATUS, 0, &one, 1, 160, f.page(), a);
}

TEST(SimFaults, RefuseSetsBitSevenWithTheFrameIntact) {
  test::SimFixture f(with_fault("meadow", StepKind::Command, CMD_WORK_STATUS, Fault::Refuse));
  Answer a;
  ASSERT_TRUE(work_status(f, a));  // accepted: byte 3 is no part of the acceptance test
  EXPECT_TRUE(a.refused());
  ASSERT_TRUE(work_status(f, a));  // the rule fired once
  EXPECT_FALSE(a.refused());
}

TEST(SimFaults, RefusedConfigurationWriteFailsTheHostsTest) {
  auto s = *sim::make_scenario("TB610R-1CH");
  s.faults.at(StepKind::Command, CMD_PROP_BLOCK, Fault::Refuse);
  test::SimFixture f(s);
  uint8_t blk[32] = {};
  Answer a;
  ASSERT_TRUE(f.link.transact_long(CMD_PROP_BLOCK, 0, blk, 32, 32, f.page(), a));
  EXPECT_TRUE(a.refused());
}

TEST(SimFaults, DropAnswerFailsTheFetch) {
  test::SimFixture f(with_fault("TB610R-1CH", StepKind::Command, CMD_CONTROL, Fault::DropAnswer));
  EXPECT_EQ(f.link.hid_send_command(0x31, f.page()), 0);  // sent, fetch failed
  EXPECT_EQ(f.link.hid_send_command(0x31, f.page()), 1);
}

TEST(SimFaults, CorruptChecksumIsRefusedByTheLink) {
  test::SimFixture f(with_fault("meadow", StepKind::Command, CMD_CONFIG_GET, Fault::CorruptChecksum));
  Answer a;
  EXPECT_FALSE(f.link.transact_long(CMD_CONFIG_GET, 0, nullptr, 0, 24, f.page(), a));
  EXPECT_NE(frame_csum(f.pages.data(), 8 + get_le16(f.pages.data() + 4)), 0xFFFF);
  EXPECT_TRUE(f.link.transact_long(CMD_CONFIG_GET, 0, nullptr, 0, 24, f.page(), a));
}

TEST(SimFaults, StaleSequenceIsRefusedByTheLink) {
  test::SimFixture f(with_fault("meadow", StepKind::Command, CMD_MONITOR, Fault::StaleSequence));
  uint8_t rq[16] = {};
  Answer a;
  EXPECT_FALSE(f.link.transact_long(CMD_MONITOR, 0, rq, 16, 16, f.page(), a));
  EXPECT_EQ(f.pages[1], static_cast<uint8_t>(f.link.last_seq() - 1));
  EXPECT_EQ(frame_csum(f.pages.data(), 8 + get_le16(f.pages.data() + 4)), 0xFFFF);
}

TEST(SimFaults, SlowAnswerTakesMoreThanASecondOfSimulatedTime) {
  test::SimFixture f(with_fault("meadow", StepKind::Command, CMD_WORK_STATUS, Fault::Slow));
  const uint64_t t0 = clock_now_ns();
  const auto real0 = std::chrono::steady_clock::now();
  Answer a;
  ASSERT_TRUE(work_status(f, a));
  EXPECT_GT(clock_now_ns() - t0, 1'000'000'000ULL);
  EXPECT_LT(std::chrono::steady_clock::now() - real0, std::chrono::milliseconds(500));
  // Only that answer was slow.
  const uint64_t t1 = clock_now_ns();
  ASSERT_TRUE(work_status(f, a));
  EXPECT_LT(clock_now_ns() - t1, 1'000'000ULL);
}

TEST(SimFaults, SlowRequestWithoutAnswerWaitsAtTheSend) {
  test::SimFixture f(with_fault("meadow", StepKind::Command, CMD_SEND_ASYNC, Fault::Slow));
  const uint64_t t0 = clock_now_ns();
  EXPECT_TRUE(f.link.send_async(8, f.page()));
  EXPECT_GT(clock_now_ns() - t0, 1'000'000'000ULL);
}

TEST(SimFaults, WrongReportIdIsRefusedByTheLink) {
  test::SimFixture f(with_fault("meadow", StepKind::Command, CMD_CONFIG_GET, Fault::WrongReportId));
  Answer a;
  EXPECT_FALSE(f.link.transact_long(CMD_CONFIG_GET, 0, nullptr, 0, 24, f.page(), a));
  EXPECT_EQ(f.pages[0], RID_FLASH_IN);  // the answer came under the qspi status's ID
  // Only the ID was changed: under its own ID the frame is intact.
  std::vector<uint8_t> r(f.pages.begin(), f.pages.begin() + ANSWER_REPORT_SIZE);
  r[0] = RID_ANSWER;
  EXPECT_EQ(frame_csum(r.data(), FRAME_HDR + get_le16(r.data() + FRAME_LEN)), 0xFFFF);
  EXPECT_TRUE(f.link.transact_long(CMD_CONFIG_GET, 0, nullptr, 0, 24, f.page(), a));
}

TEST(SimFaults, SlowFailFailsAfterMoreThanASecond) {
  // An answer fetch that times out late.
  test::SimFixture f(with_fault("meadow", StepKind::Command, CMD_WORK_STATUS, Fault::SlowFail));
  Answer a;
  uint64_t t0 = clock_now_ns();
  EXPECT_FALSE(work_status(f, a));
  EXPECT_GT(clock_now_ns() - t0, 1'000'000'000ULL);
  EXPECT_TRUE(work_status(f, a));
  // A request with nothing to fetch fails at the send, after the delay.
  test::SimFixture g(with_fault("meadow", StepKind::Command, CMD_SEND_ASYNC, Fault::SlowFail));
  t0 = clock_now_ns();
  EXPECT_FALSE(g.link.send_async(8, g.page()));
  EXPECT_GT(clock_now_ns() - t0, 1'000'000'000ULL);
  EXPECT_TRUE(g.link.send_async(8, g.page()));
}

// The qspi status stays fetchable until the next request, so the host can fetch it again; a rule
// with fetches = 2 spoils that refetch as well, and a new request drops what is still armed.
TEST(SimFaults, AnswerFaultSpoilsAsManyFetchesAsTheRuleSays) {
  auto s = *sim::make_scenario("meadow");
  s.faults.at(StepKind::Erase, 1, Fault::CorruptChecksum, 1, 1500, 2);
  s.faults.at(StepKind::Erase, 2, Fault::CorruptChecksum, 1, 1500, 5);
  test::SimFixture f(s);
  platform::HidDevice& h = *f.dev().handle;
  auto status_accepted = [&] {
    std::array<uint8_t, 264> a{};
    a[0] = 6;
    EXPECT_TRUE(h.get_input_report(a));
    return sim::test::qspi_answer_accepted(a.data());
  };
  ASSERT_TRUE(h.set_output_report(sim::test::open_request(1, 1, 0x1000, 0)));
  EXPECT_TRUE(status_accepted());
  ASSERT_TRUE(h.set_output_report(sim::test::erase_request(2, 1, 0x40000, 0x1000)));
  EXPECT_FALSE(status_accepted());
  EXPECT_FALSE(status_accepted());  // the refetch
  EXPECT_TRUE(status_accepted());
  ASSERT_TRUE(h.set_output_report(sim::test::erase_request(3, 1, 0x41000, 0x1000)));
  EXPECT_FALSE(status_accepted());
  ASSERT_TRUE(h.set_output_report(sim::test::control_request(4, 2, {})));  // close
  EXPECT_TRUE(status_accepted());
}

TEST(SimFaults, UnplugMakesEveryLaterCallFail) {
  test::SimFixture f(with_fault("meadow", StepKind::Command, CMD_BOARD_STATUS, Fault::Unplug));
  Answer a;
  ASSERT_TRUE(work_status(f, a));
  const uint8_t b = 0;
  EXPECT_FALSE(f.link.transact_long(CMD_BOARD_STATUS, 0, &b, 1, 64, f.page(), a));
  EXPECT_FALSE(f.card->plugged());
  EXPECT_FALSE(work_status(f, a));
  EXPECT_EQ(f.link.hid_send_command(0x31, f.page()), -1);
  EXPECT_FALSE(f.link.send_async(24, f.page()));
  uint8_t feat[24] = {1};
  EXPECT_FALSE(f.dev().handle->get_feature_report(feat));
  uint8_t buf[264];
  size_t got = 99;
  EXPECT_EQ(f.dev().handle->read_interrupt(buf, 0, got), platform::ReadStatus::Gone);
  EXPECT_EQ(got, 0u);
  // The backend saw the card leave.
  const auto ev = f.backend.drain_hotplug();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, platform::HotplugEvent::Kind::Removal);
  // Plugged in again, the old handle stays dead; a new one works.
  f.backend.plug(0);
  EXPECT_FALSE(work_status(f, a));
  ASSERT_TRUE(f.reopen());
  EXPECT_TRUE(work_status(f, a));
}

TEST(SimFaults, NthTransactionRule) {
  test::SimFixture f(with_fault("TB610R-1CH", StepKind::Transaction, 3, Fault::DropAnswer));
  Answer a;
  EXPECT_TRUE(work_status(f, a));   // request 1
  EXPECT_TRUE(work_status(f, a));   // request 2
  EXPECT_FALSE(work_status(f, a));  // request 3: answer dropped
  EXPECT_TRUE(work_status(f, a));
  EXPECT_EQ(f.card->step_count(StepKind::Transaction), 4u);
}

TEST(SimFaults, SlowRuleTellsItsDelay) {
  auto s = *sim::make_scenario("meadow");
  s.faults.at(StepKind::Erase, 2, Fault::Slow, 1, 2500);
  test::SimFixture f(s);
  EXPECT_EQ(f.card->step(StepKind::Erase), Fault::None);
  EXPECT_EQ(f.card->step(StepKind::Erase), Fault::Slow);
  EXPECT_EQ(f.card->armed_delay_ms(), 2500u);
  EXPECT_EQ(f.card->step_count(StepKind::Erase), 2u);
}

TEST(SimFaults, RuleThatFiresEveryTime) {
  test::SimFixture f(with_fault("meadow", StepKind::Command, CMD_MONITOR, Fault::CorruptChecksum, 0));
  uint8_t rq[16] = {};
  Answer a;
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(f.link.transact_long(CMD_MONITOR, 0, rq, 16, 16, f.page(), a));
}

// The card's lock serves threads in the order they came, as the kernel queues control transfers:
// a thread sending requests back to back cannot take the lock again ahead of one already
// waiting. (An ordinary mutex lets the sender go first again and again.)
TEST(SimLatency, TheCardsLockServesThreadsInTurn) {
  sim::FifoRecursiveMutex mu;
  std::vector<int> order;
  mu.lock();
  mu.lock();  // recursive
  std::thread other([&] {
    mu.lock();
    order.push_back(2);
    mu.unlock();
  });
  while (mu.waiting() == 0) std::this_thread::yield();
  mu.unlock();
  mu.unlock();
  mu.lock();  // the sender's next request: behind the waiting thread
  order.push_back(1);
  mu.unlock();
  other.join();
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
  EXPECT_EQ(mu.waiting(), 0u);
}

// A channel of the test's own (output 0x30 programs a page, input 0x31 answers): it counts its
// steps on the card; the card arms the fault and applies it to the channel's answer.
constexpr uint8_t kPageOut = 0x30, kPageIn = 0x31;

class PageChannel : public sim::SimChannel {
 public:
  explicit PageChannel(sim::SimCard& card) : card_(card) {}
  sim::Handled on_set_output(std::span<const uint8_t> r) override {
    if (r[0] != kPageOut) return sim::Handled::No;
    card_.step(StepKind::Page);
    sim::SimCard::delay_ms(card_.latency().per_page_ms);
    return sim::Handled::Ok;
  }
  sim::Handled on_get_input(std::span<uint8_t> r) override {
    if (r[0] != kPageIn) return sim::Handled::No;
    frame_build(r.data(), kPageIn, 0, 3, 0, nullptr, 0);
    return sim::Handled::Ok;
  }

 private:
  sim::SimCard& card_;
};

TEST(SimFaults, ChannelStepsAndLatency) {
  auto s = with_fault("meadow", StepKind::Page, 2, Fault::Refuse);
  s.latency.per_page_ms = 3;
  s.latency.per_transfer_ms = 1;
  test::SimFixture f(s);
  f.card->add_channel(std::make_shared<PageChannel>(*f.card));
  uint8_t out[264] = {kPageOut};
  uint8_t in[264] = {kPageIn};
  const uint64_t t0 = clock_now_ns();
  ASSERT_TRUE(f.dev().handle->set_output_report(out));
  ASSERT_TRUE(f.dev().handle->get_input_report(in));
  EXPECT_EQ(in[3], 0);
  EXPECT_EQ(clock_now_ns() - t0, 5'000'000ULL);  // two transfers and one page
  ASSERT_TRUE(f.dev().handle->set_output_report(out));
  ASSERT_TRUE(f.dev().handle->get_input_report(in));
  EXPECT_EQ(in[3], ANSWER_REFUSED);
  EXPECT_EQ(frame_csum(in, 8), 0xFFFF);
  EXPECT_EQ(f.card->step_count(StepKind::Page), 2u);
  // Framed commands still reach the card behind the channel.
  Answer a;
  EXPECT_TRUE(f.link.transact_long(CMD_CONFIG_GET, 0, nullptr, 0, 24, f.page(), a));
}

TEST(SimLatency, PartsOfAMillisecondAddUp) {
  auto s = *sim::make_scenario("meadow");
  s.latency.per_transfer_us = 250;
  test::SimFixture f(s);
  std::array<uint8_t, 24> event{};
  const uint64_t t0 = clock_now_ns();
  for (int i = 0; i < 3; ++i) {
    event[0] = RID_EVENT_FEAT;
    ASSERT_TRUE(f.dev().handle->get_feature_report(event));
  }
  EXPECT_EQ(clock_now_ns() - t0, 0u);  // 750 us owed
  for (int i = 0; i < 5; ++i) {
    event[0] = RID_EVENT_FEAT;
    ASSERT_TRUE(f.dev().handle->get_feature_report(event));
  }
  EXPECT_EQ(clock_now_ns() - t0, 2'000'000u);  // eight transfers: 2 ms
}

}  // namespace
}  // namespace kestrel
