// Eight simulated cards of mixed boards upgraded at once, one workflow and thread per card, under
// the latency model in real time (250 us per control transfer, 0.4 ms per page program, 150 ms
// per 64 KiB erased). Each card is first upgraded alone, then all together; printed:
//
//   wall_ratio        the parallel run's wall time over the slowest card's alone (goal <= 1.15)
//   cpu_ratio         CPU time per page (host and in-process cards), parallel over alone (~1)
//   host_allocs/page  heap allocations outside the cards per page written, alone and parallel
//   failures          cards whose flash did not end holding their image (goal 0)
//
// Usage: bench_parallel_upgrade [image KiB = 192; the USB-controller partition takes 256]
#include "alloc_count.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "card/card.h"
#include "log/log.h"
#include "support/test_images.h"
#include "update/image_check.h"
#include "platform/hid_backend.h"
#include "sim/download_channel.h"
#include "sim/sim_backend.h"

using bench::g_host_allocs;
using bench::t_in_card;

namespace {

using namespace kestrel;

constexpr uint32_t kTransferUs = 250;
constexpr uint32_t kPageUs = 400;
constexpr uint32_t kEraseBlockUs = 150'000 / 16;  // 4 KiB blocks

// Marks the calls into a card, so that its own allocations are not counted as the host's.
class MarkedDevice final : public platform::HidDevice {
 public:
  explicit MarkedDevice(std::unique_ptr<platform::HidDevice> inner) : inner_(std::move(inner)) {}
  bool set_output_report(std::span<const uint8_t> r) override { In i; return inner_->set_output_report(r); }
  bool get_input_report(std::span<uint8_t> r) override { In i; return inner_->get_input_report(r); }
  bool set_feature_report(std::span<const uint8_t> r) override { In i; return inner_->set_feature_report(r); }
  bool get_feature_report(std::span<uint8_t> r) override { In i; return inner_->get_feature_report(r); }
  platform::ReadStatus read_interrupt(std::span<uint8_t> b, int t, size_t& got) override {
    In i;
    return inner_->read_interrupt(b, t, got);
  }
  void cancel_read() override { inner_->cancel_read(); }
  bool set_input_buffers(uint32_t n) override { return inner_->set_input_buffers(n); }

 private:
  struct In {
    In() { ++t_in_card; }
    ~In() { --t_in_card; }
  };
  std::unique_ptr<platform::HidDevice> inner_;
};

class MarkedBackend final : public platform::HidBackend {
 public:
  explicit MarkedBackend(sim::SimBackend& inner) : inner_(inner) {}
  bool enumerate(std::vector<platform::HidInterfaceInfo>& out) override { return inner_.enumerate(out); }
  std::unique_ptr<platform::HidDevice> open(const std::string& node, platform::Access access,
                                            std::string* error) override {
    auto d = inner_.open(node, access, error);
    return d ? std::make_unique<MarkedDevice>(std::move(d)) : nullptr;
  }
  bool describe(const std::string& node, platform::HidInterfaceInfo& out) override { return inner_.describe(node, out); }
  int hotplug_fd() override { return inner_.hotplug_fd(); }
  std::vector<platform::HotplugEvent> drain_hotplug() override { return inner_.drain_hotplug(); }

 private:
  sim::SimBackend& inner_;
};

struct FileFront : UpgradeFront {
  void transfer_ends(int32_t r) override { result = r; }
  int lock = 0;
  int32_t result = -1;
};

double process_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Run {
  double wall_s = 0;
  double cpu_s = 0;
  uint64_t host_allocs = 0;
  uint64_t pages = 0;
  int failures = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const uint32_t kib = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 192;
  const std::vector<std::string> boards = {"meadow",     "TB610R-1CH", "TB610M-1CH", "TB720V-2CH",
                                           "TB830R-1CH", "TB850V-1CH", "rw820c",     "meadow"};
  std::vector<std::string> paths;
  std::vector<std::vector<uint8_t>> images;
  char dir_template[] = "/tmp/kestrel-bench-XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (!dir) return 1;
  for (size_t i = 0; i < boards.size(); ++i) {
    images.push_back(test::with_trailer(test::usb_image(test::tagged(boards[i], kib * 1024))));
    paths.push_back(std::string(dir) + "/card" + std::to_string(i) + ".img");
    FILE* f = std::fopen(paths.back().c_str(), "wb");
    if (!f || std::fwrite(images.back().data(), 1, images.back().size(), f) != images.back().size()) return 1;
    std::fclose(f);
  }
  log_set_filter(false, 0, 0);

  // A fresh set of cards for each phase: a card restarts after its upgrade.
  std::unique_ptr<sim::SimBackend> backend;
  std::unique_ptr<MarkedBackend> marked;
  std::vector<std::unique_ptr<Card>> cards;
  auto plug_cards = [&] {
    cards.clear();
    platform::set_backend(nullptr);
    backend = std::make_unique<sim::SimBackend>();
    marked = std::make_unique<MarkedBackend>(*backend);
    for (size_t i = 0; i < boards.size(); ++i) {
      sim::Scenario s = *sim::make_scenario(boards[i]);
      s.latency.per_transfer_us = kTransferUs;
      auto card = backend->add_card(s);
      auto storage = sim::storage_of(*card);
      storage->flash_channel.config().page_us = kPageUs;
      storage->flash_channel.config().erase_block_us = kEraseBlockUs;
    }
    backend->drain_hotplug();
    platform::set_backend(marked.get());
    cards = Card::attach_all();
    if (cards.size() == boards.size()) return true;
    std::fprintf(stderr, "attached %zu of %zu cards\n", cards.size(), boards.size());
    return false;
  };
  if (!plug_cards()) return 1;

  auto upgrade = [&](size_t i) {
    FileFront front;
    UpgradeHooks hooks;
    hooks.show_alert = [](const AlertRequest& r) { return r.verdict.value_or("") != VERDICT_MISMATCH; };
    UpgradeCard card = cards[i]->upgrade_card();
    card.download_lock = [&front](int mode) { return std::exchange(front.lock, mode); };
    UpgradeWorkflow wf(card, front, hooks);
    wf.upgrade(UPGRADE_KIND_USB, paths[i], ImageFile::load_shared(paths[i]));
    const auto stored = sim::storage_of(*backend->card(i))->flash.read(0, static_cast<uint32_t>(images[i].size()));
    const UpgradeOutcome& o = wf.last();
    const bool ok = o.ok && front.result == 0 && stored == images[i];
    if (!ok)
      std::fprintf(stderr, "%s: path %d accepted %d transferred %d result %d flash %s\n", boards[i].c_str(),
                   static_cast<int>(o.path), o.accepted, o.transferred, o.result,
                   stored == images[i] ? "holds the image" : "differs");
    return ok;
  };
  auto measure = [&](auto body) {
    Run r;
    const uint64_t a0 = g_host_allocs.load();
    const double c0 = process_cpu_s();
    const auto t0 = std::chrono::steady_clock::now();
    r.failures = body();
    r.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.cpu_s = process_cpu_s() - c0;
    r.host_allocs = g_host_allocs.load() - a0;
    return r;
  };

  std::vector<Run> alone;
  Run alone_sum;
  for (size_t i = 0; i < cards.size(); ++i) {
    Run r = measure([&] { return upgrade(i) ? 0 : 1; });
    r.pages = images[i].size() / 256;
    std::printf("alone    %-11s %7.3f s wall %7.3f s cpu %6llu host allocs\n", boards[i].c_str(), r.wall_s, r.cpu_s,
                static_cast<unsigned long long>(r.host_allocs));
    alone.push_back(r);
    alone_sum.cpu_s += r.cpu_s;
    alone_sum.host_allocs += r.host_allocs;
    alone_sum.pages += r.pages;
    alone_sum.failures += r.failures;
    alone_sum.wall_s = std::max(alone_sum.wall_s, r.wall_s);
  }
  if (!plug_cards()) return 1;
  Run par = measure([&] {
    std::vector<std::thread> t;
    std::atomic<int> failed{0};
    for (size_t i = 0; i < cards.size(); ++i)
      t.emplace_back([&, i] {
        if (!upgrade(i)) failed.fetch_add(1);
      });
    for (auto& x : t) x.join();
    return failed.load();
  });
  par.pages = alone_sum.pages;
  std::printf("parallel %zu cards    %7.3f s wall %7.3f s cpu %6llu host allocs\n", cards.size(), par.wall_s, par.cpu_s,
              static_cast<unsigned long long>(par.host_allocs));

  const double wall_ratio = par.wall_s / alone_sum.wall_s;
  const double cpu_ratio = (par.cpu_s / par.pages) / (alone_sum.cpu_s / alone_sum.pages);
  std::printf("wall_ratio %.3f (goal <= 1.15) %s\n", wall_ratio, wall_ratio <= 1.15 ? "ok" : "MISSED");
  std::printf("cpu_us/page alone %.2f parallel %.2f cpu_ratio %.3f\n", 1e6 * alone_sum.cpu_s / alone_sum.pages,
              1e6 * par.cpu_s / par.pages, cpu_ratio);
  std::printf("host_allocs/page alone %.4f parallel %.4f (per upgrade %.1f / %.1f)\n",
              static_cast<double>(alone_sum.host_allocs) / alone_sum.pages,
              static_cast<double>(par.host_allocs) / par.pages,
              static_cast<double>(alone_sum.host_allocs) / cards.size(), static_cast<double>(par.host_allocs) / cards.size());
  std::printf("failures alone %d parallel %d (goal 0) %s\n", alone_sum.failures, par.failures,
              alone_sum.failures + par.failures == 0 ? "ok" : "MISSED");

  cards.clear();
  platform::set_backend(nullptr);
  backend.reset();
  for (auto& p : paths) std::remove(p.c_str());
  rmdir(dir);
  return alone_sum.failures + par.failures == 0 ? 0 : 1;
}
