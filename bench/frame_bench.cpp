// Cost of one full-size transaction on the host: build and checksum a 265-byte request, then
// accept a 257-byte answer. A high-speed USB link needs at least 125 us per report, so the host
// side must stay far below that (target: 2 million frames a second on one core) and must not
// touch the heap.
#include "alloc_count.h"

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "devlink/hid_link.h"
#include "platform/hid_backend.h"

using bench::g_host_allocs;

namespace {

using namespace kestrel;

// A device that takes every report and answers every fetch with one prepared frame, so the
// figure is the host's own work.
class LoopbackDevice final : public platform::HidDevice {
 public:
  std::array<uint8_t, LONG_REPORT_SIZE> answer{};
  bool set_output_report(std::span<const uint8_t> r) override {
    // Echo the sequence byte into the prepared answer, as a card does.
    if (answer[FRAME_SEQ] != r[FRAME_SEQ]) {
      answer[FRAME_SEQ] = r[FRAME_SEQ];
      put_le16(answer.data() + FRAME_CSUM, 0);
      put_le16(answer.data() + FRAME_CSUM, static_cast<uint16_t>(~frame_csum(answer.data(), FRAME_HDR + 257)));
    }
    return true;
  }
  bool get_input_report(std::span<uint8_t> r) override {
    std::memcpy(r.data(), answer.data(), r.size());
    return true;
  }
  bool set_feature_report(std::span<const uint8_t>) override { return true; }
  bool get_feature_report(std::span<uint8_t>) override { return true; }
  platform::ReadStatus read_interrupt(std::span<uint8_t>, int, size_t&) override { return platform::ReadStatus::Timeout; }
  void cancel_read() override {}
  bool set_input_buffers(uint32_t) override { return true; }
};

// A device list whose current card is a loopback device, and the link over it.
struct LoopbackLink {
  qhidev_list list;
  std::shared_ptr<LoopbackDevice> dev = std::make_shared<LoopbackDevice>();
  HidLink link{list};
  LoopbackLink() {
    auto rec = std::make_unique<qhidev>();
    rec->handle = dev;
    rec->link_flags = QHIDEV_F_ECHO2;
    list.items[0] = std::move(rec);
    list.count = 1;
    list.current = list.items[0].get();
  }
};

void BM_BuildChecksumFrame(benchmark::State& state) {
  alignas(64) std::array<uint8_t, LONG_REPORT_SIZE> report{};
  std::array<uint8_t, LONG_PAYLOAD_MAX> payload{};
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  uint8_t seq = 0;
  for (auto _ : state) {
    std::memset(report.data() + FRAME_CSUM, 0, LONG_REPORT_SIZE - FRAME_CSUM);
    frame_build(report.data(), RID_LONG_REQ, ++seq, 15, 0, payload.data(), LONG_PAYLOAD_MAX);
    benchmark::DoNotOptimize(report);
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BuildChecksumFrame);

void BM_AcceptFullAnswer(benchmark::State& state) {
  LoopbackLink l;
  auto& dev = l.dev;
  HidLink& link = l.link;
  std::array<uint8_t, 257> payload{};
  frame_build(dev->answer.data(), RID_ANSWER, 1, 5, 0, payload.data(), 257);
  const uint8_t* a = dev->answer.data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(link.frame_check(a, 5, 1, 176));
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AcceptFullAnswer);

// The whole transaction through the link: counter, build, send, fetch, accept, payload out.
void BM_Transaction(benchmark::State& state) {
  LoopbackLink l;
  auto& dev = l.dev;
  HidLink& link = l.link;
  std::array<uint8_t, 257> payload{};
  frame_build(dev->answer.data(), RID_ANSWER, 0, 5, 0, payload.data(), 257);
  alignas(64) std::array<uint8_t, 4096> page{};
  std::array<uint8_t, LONG_PAYLOAD_MAX> request{};
  uint64_t failures = 0;
  const uint64_t allocs_before = g_host_allocs.load();
  for (auto _ : state) {
    Answer out;
    if (!link.transact_long(5, 0, request.data(), LONG_PAYLOAD_MAX, 176, page, out)) ++failures;
    benchmark::DoNotOptimize(out);
  }
  const uint64_t allocs = g_host_allocs.load() - allocs_before;
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["allocs/transaction"] = static_cast<double>(allocs) / static_cast<double>(state.iterations());
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_Transaction);

}  // namespace

BENCHMARK_MAIN();
