// The flash engine writing a 4 MiB FPGA image:
//
//  - BM_FlashUpgrade4MiB_LatencyModel: on the simulated card with a latency model in simulated
//    time (250 us per control transfer, 0.4 ms per page program, 150 ms per 64 KiB erase). The
//    model's ideal time is what the card needs if the host never keeps it waiting; the ratio of
//    that to the measured simulated time says how much the host's own pacing costs (goal >= 0.98).
//    "ratio_incl_cpu" also charges the engine thread's whole CPU time (host and the in-process
//    card) as if it were serial with the transfers.
//  - BM_FlashUpgrade4MiB_ZeroLatency_SimCard: CPU time per page with a zero-latency simulated
//    card. The card runs in the same thread, so its own work (recording every report, checking
//    frames, programming the modelled flash) is inside this figure.
//  - BM_FlashUpgrade4MiB_ZeroLatency_HostOnly: the same run against a loopback device that only
//    answers the status fetches: the host's own CPU time per page (goal <= 2 us).
//
// Heap allocations are counted with a replaced operator new, split into the host's and the
// simulated card's (those made while a call is inside the card); goal: 0 host allocations a page.
#include "alloc_count.h"

#include <benchmark/benchmark.h>

#include <time.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "devlink/frame.h"
#include "devlink/hid_link.h"
#include "log/clock.h"
#include "sim/download_channel.h"
#include "sim/flash_channel.h"
#include "sim/sim_backend.h"
#include "update/flash_engine.h"
#include "update/workflow.h"

using bench::g_host_allocs;
using bench::g_sim_allocs;
using bench::t_in_card;

namespace {

using namespace kestrel;

constexpr uint32_t kImageBytes = 4u << 20;
constexpr uint32_t kPages = kImageBytes / 256;
constexpr uint32_t kFpgaBase = 0x40000;

// Latency model.
constexpr uint64_t kTransferNs = 250'000;       // per control transfer (every set or get report)
constexpr uint32_t kPageUs = 400;               // per page program
constexpr uint64_t kErase64KNs = 150'000'000;   // per 64 KiB erased
constexpr uint32_t kEraseBlockUs = 150'000 / 16;  // the card's flash erases 4 KiB blocks

double thread_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Forwards to the card's device, marks the calls as the card's for the allocation count, and
// spends the per-transfer latency on the simulated clock before the card sees the call.
class MeteredDevice final : public platform::HidDevice {
 public:
  MeteredDevice(std::unique_ptr<platform::HidDevice> inner, SimClock& clock) : inner_(std::move(inner)), clock_(clock) {}
  uint64_t transfer_ns = 0;
  uint64_t transfers = 0;

  bool set_output_report(std::span<const uint8_t> r) override {
    Enter e(*this);
    return inner_->set_output_report(r);
  }
  bool get_input_report(std::span<uint8_t> r) override {
    Enter e(*this);
    return inner_->get_input_report(r);
  }
  bool set_feature_report(std::span<const uint8_t> r) override {
    Enter e(*this);
    return inner_->set_feature_report(r);
  }
  bool get_feature_report(std::span<uint8_t> r) override {
    Enter e(*this);
    return inner_->get_feature_report(r);
  }
  platform::ReadStatus read_interrupt(std::span<uint8_t> b, int t, size_t& got) override {
    return inner_->read_interrupt(b, t, got);
  }
  void cancel_read() override { inner_->cancel_read(); }
  bool set_input_buffers(uint32_t n) override { return inner_->set_input_buffers(n); }

 private:
  struct Enter {
    explicit Enter(MeteredDevice& d) {
      ++t_in_card;
      ++d.transfers;
      if (d.transfer_ns) d.clock_.advance_ns(d.transfer_ns);
    }
    ~Enter() { --t_in_card; }
  };
  std::unique_ptr<platform::HidDevice> inner_;
  SimClock& clock_;
};

// Answers only what the engine fetches (open, erase, verify, close status) with a prepared,
// intact answer: the host's work alone.
class LoopbackFlashDevice final : public platform::HidDevice {
 public:
  bool set_output_report(std::span<const uint8_t> r) override {
    if (r[2] != BDEV_WRITE) {
      seq_ = r[1];
      op_ = r[2];
    }
    return true;
  }
  bool get_input_report(std::span<uint8_t> r) override {
    std::memset(r.data(), 0, r.size());
    uint8_t* p = r.data() + 8;
    p[0] = op_;
    p[1] = 1;  // done / matched (report byte 9)
    put_le32(p + OPEN_ANS_BASE, kFpgaBase);
    put_le32(p + OPEN_ANS_SIZE, (16u << 20) - kFpgaBase);
    put_le32(p + OPEN_ANS_EBLOCK, 4096);
    frame_build(r.data(), QSPI_IN_RID, seq_, op_, 0, p, 64);
    return true;
  }
  bool set_feature_report(std::span<const uint8_t>) override { return true; }
  bool get_feature_report(std::span<uint8_t>) override { return true; }
  platform::ReadStatus read_interrupt(std::span<uint8_t>, int, size_t&) override { return platform::ReadStatus::Timeout; }
  void cancel_read() override {}
  bool set_input_buffers(uint32_t) override { return true; }

 private:
  uint8_t seq_ = 0, op_ = 0;
};

// One link over one device, and the job block with the image.
struct Rig {
  explicit Rig(std::shared_ptr<platform::HidDevice> dev) {
    auto d = std::make_unique<qhidev>();
    d->handle = std::move(dev);
    list.items[0] = std::move(d);
    list.count = 1;
    list.current = list.items[0].get();
    block.allocate(kImageBytes);
    FlashJob& job = *block.job();
    for (uint32_t i = 0; i < kImageBytes; ++i) job.image[i] = static_cast<uint8_t>((i * 29u) ^ (i >> 9));
    job.image_length = kImageBytes;
    job.image_kind = UPGRADE_KIND_FPGA;
    job.link = &link;
  }
  // One run of the engine; false when it did not end verified.
  bool run() {
    FlashJob& job = *block.job();
    job.image[kImageBytes] = 0;
    job.done.store(0, std::memory_order_relaxed);
    flash_job_run(&job);
    return job.done.load(std::memory_order_acquire) == 1 && job.result == FLASH_OK;
  }
  qhidev_list list;
  HidLink link{list};
  FlashJobBlock block;
};

// The simulated card behind a SimBackend, on simulated time.
struct SimRig {
  explicit SimRig(bool latency) {
    clock_set_source(&clock);
    clock_init();
    card = backend.add_card(*sim::make_scenario("meadow"));
    storage = sim::storage_of(*card);
    if (latency) {
      storage->flash_channel.config().page_us = kPageUs;
      storage->flash_channel.config().erase_block_us = kEraseBlockUs;
    }
    metered = std::make_shared<MeteredDevice>(backend.open(sim::SimBackend::node_of(0), platform::Access::ReadWrite), clock);
    if (latency) metered->transfer_ns = kTransferNs;
    rig = std::make_unique<Rig>(metered);
  }
  ~SimRig() {
    rig.reset();
    clock_set_source(nullptr);
    clock_init();
  }
  SimClock clock;
  sim::SimBackend backend;
  std::shared_ptr<sim::SimCard> card;
  std::shared_ptr<sim::CardStorage> storage;
  std::shared_ptr<MeteredDevice> metered;
  std::unique_ptr<Rig> rig;
};

void BM_FlashUpgrade4MiB_LatencyModel(benchmark::State& state) {
  SimRig s(true);
  double ideal = 0, measured = 0, cpu = 0;
  uint64_t failures = 0;
  for (auto _ : state) {
    state.PauseTiming();
    s.card->clear_reports();
    const uint64_t transfers0 = s.metered->transfers;
    state.ResumeTiming();
    const uint64_t t0 = clock_now_ns();
    const double c0 = thread_cpu_s();
    if (!s.rig->run()) ++failures;
    cpu = thread_cpu_s() - c0;
    measured = static_cast<double>(clock_now_ns() - t0) * 1e-9;
    // The model's ideal: every transfer, every page program and every erase, back to back. An
    // erase step's status fetch is answered when the erase is done, so its transfer overlaps
    // the erase.
    const uint64_t transfers = s.metered->transfers - transfers0;
    const uint64_t erase_steps = kImageBytes / 0x10000;  // 64 KiB-aligned base: whole 64 KiB steps
    ideal = (static_cast<double>(transfers - erase_steps) * kTransferNs + static_cast<double>(kPages) * kPageUs * 1000.0 +
             static_cast<double>(erase_steps) * kErase64KNs) * 1e-9;
  }
  state.counters["ideal_s"] = ideal;
  state.counters["measured_s"] = measured;
  state.counters["ratio"] = measured > 0 ? ideal / measured : 0;
  state.counters["ratio_incl_cpu"] = ideal / (measured + cpu);
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_FlashUpgrade4MiB_LatencyModel)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FlashUpgrade4MiB_ZeroLatency_SimCard(benchmark::State& state) {
  SimRig s(false);
  uint64_t failures = 0, runs = 0, host = 0, card = 0;
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    s.card->clear_reports();
    state.ResumeTiming();
    const uint64_t h0 = g_host_allocs.load(), s0 = g_sim_allocs.load();
    const double c0 = thread_cpu_s();
    if (!s.rig->run()) ++failures;
    cpu += thread_cpu_s() - c0;
    host += g_host_allocs.load() - h0;
    card += g_sim_allocs.load() - s0;
    ++runs;
  }
  const double pages = static_cast<double>(runs) * kPages;
  state.counters["cpu_us/page"] = cpu * 1e6 / pages;
  state.counters["host_allocs/page"] = static_cast<double>(host) / pages;
  state.counters["card_allocs/page"] = static_cast<double>(card) / pages;
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_FlashUpgrade4MiB_ZeroLatency_SimCard)->Unit(benchmark::kMillisecond);

void BM_FlashUpgrade4MiB_ZeroLatency_HostOnly(benchmark::State& state) {
  Rig rig(std::make_shared<LoopbackFlashDevice>());
  uint64_t failures = 0, runs = 0, allocs = 0;
  double cpu = 0;
  for (auto _ : state) {
    const uint64_t a0 = g_host_allocs.load();
    const double c0 = thread_cpu_s();
    if (!rig.run()) ++failures;
    cpu += thread_cpu_s() - c0;
    allocs += g_host_allocs.load() - a0;
    ++runs;
  }
  const double pages = static_cast<double>(runs) * kPages;
  state.counters["cpu_us/page"] = cpu * 1e6 / pages;
  state.counters["host_allocs/page"] = static_cast<double>(allocs) / pages;
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_FlashUpgrade4MiB_ZeroLatency_HostOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
