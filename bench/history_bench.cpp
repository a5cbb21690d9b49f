// What recording an upgrade in the history costs the upgrade, on the disk under
// $KESTREL_BENCH_DIR (default: the current folder; a tmpfs would hide the fsync of each commit):
//
//  - BM_HistoryBeginFinish: begin() and finish() of one attempt on an open store, as the upgrade
//    calls them around its transfer; "ms/attempt" the mean, "max_ms" the worst (goal <= 5 ms).
//  - BM_HistoryOpenBeginFinish: the same with the open (schema check, interrupted-row sweep)
//    that an upgrade pays once (goal <= 5 ms).
//  - BM_HistoryParallel/threads:8: eight upgrades recording at once, each with its own store;
//    "max_ms", the threads' worst begin+finish on average, says how long one waited for another's
//    commit.
//
// Nothing is recorded per page: the transfer itself never calls the store.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "history/history_store.h"

namespace {

using namespace kestrel::history;
using Clock = std::chrono::steady_clock;

// A fresh database folder for the whole run, removed at exit.
const std::string& bench_db() {
  static const std::string path = [] {
    const char* base = std::getenv("KESTREL_BENCH_DIR");
    std::string tmpl = std::string(base && *base ? base : ".") + "/history-bench-XXXXXX";
    if (!mkdtemp(tmpl.data())) return std::string();
    static const std::string dir = tmpl;
    std::atexit([] { std::filesystem::remove_all(dir); });
    return tmpl + "/history.db";
  }();
  return path;
}

Attempt sample_attempt(int n) {
  Attempt a;
  a.card = {"TB610M-1CH", "SN0042", "1-2." + std::to_string(n % 8), "/dev/hidraw3"};
  a.file_name = "TB610M-1CH_v2.img";
  a.file_size = 262144;
  a.sha256 = std::string(64, 'a');
  a.info_text = "TB610M-1CH:v2 build 2024-12-25 10:01:06 GCC:12";
  a.verdict = " 固件信息与目标板适合, 可以升级";
  a.path = TransferPath::FlashChannel;
  a.version_before = "TB610M-1CH:v1";
  return a;
}

Outcome ok_outcome() {
  Outcome o;
  o.result = Result::Ok;
  o.engine_result = 0;
  o.version_after = "TB610M-1CH:v2";
  o.verified = true;
  return o;
}

// Times `record` per iteration into the counters; counts failed writes.
template <typename F>
void run(benchmark::State& state, F record) {
  double total_ms = 0, max_ms = 0;
  int failures = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    if (!record()) ++failures;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    total_ms += ms;
    max_ms = std::max(max_ms, ms);
  }
  state.counters["ms/attempt"] =
      benchmark::Counter(total_ms / static_cast<double>(state.iterations()), benchmark::Counter::kAvgThreads);
  state.counters["max_ms"] = benchmark::Counter(max_ms, benchmark::Counter::kAvgThreads);
  state.counters["failures"] = failures;
}

void BM_HistoryBeginFinish(benchmark::State& state) {
  HistoryStore store = HistoryStore::open(bench_db());
  const Attempt a = sample_attempt(0);
  const Outcome o = ok_outcome();
  run(state, [&] { return store.finish(store.begin(a).id, o).ok; });
}
BENCHMARK(BM_HistoryBeginFinish)->Iterations(200)->UseRealTime();

void BM_HistoryOpenBeginFinish(benchmark::State& state) {
  const Attempt a = sample_attempt(1);
  const Outcome o = ok_outcome();
  run(state, [&] {
    HistoryStore store = HistoryStore::open(bench_db());
    return store.finish(store.begin(a).id, o).ok;
  });
}
BENCHMARK(BM_HistoryOpenBeginFinish)->Iterations(100)->UseRealTime();

void BM_HistoryParallel(benchmark::State& state) {
  HistoryStore store = HistoryStore::open(bench_db());
  const Attempt a = sample_attempt(state.thread_index());
  const Outcome o = ok_outcome();
  run(state, [&] { return store.finish(store.begin(a).id, o).ok; });
}
BENCHMARK(BM_HistoryParallel)->Threads(8)->Iterations(50)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
