// Conversion and hand-off of one 1920x1080 frame to the display layout, in each capture layout:
// libyuv's SIMD rows beside a plain per-pixel loop doing the same arithmetic. Goal: at most 2 ms
// of CPU a frame with libyuv. After the usual table a summary prints the two side by side with
// their ratio.
//
//   build/default/bench/bench_picture [--benchmark_min_time=0.5]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "picture/convert.h"

namespace {

using namespace kestrel::picture;

constexpr int kW = 1920, kH = 1080;

std::vector<uint8_t> test_frame(PixelFormat f) {
  std::vector<uint8_t> b(frame_bytes(f, kW, kH));
  uint32_t x = 12345;
  for (uint8_t& v : b) v = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  return b;
}

uint8_t clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// BT.601 studio range in 8-bit fixed point, one pixel at a time.
void put_yuv(uint8_t* d, int y, int u, int v) {
  const int c = 298 * (y - 16), dd = u - 128, e = v - 128;
  d[0] = clamp((c + 516 * dd + 128) >> 8);
  d[1] = clamp((c - 100 * dd - 208 * e + 128) >> 8);
  d[2] = clamp((c + 409 * e + 128) >> 8);
  d[3] = 255;
}

void plain_loop(PixelFormat f, const uint8_t* s, uint8_t* d) {
  for (int y = 0; y < kH; ++y) {
    uint8_t* row = d + static_cast<size_t>(y) * kW * 4;
    for (int x = 0; x < kW; ++x) {
      switch (f) {
        case PixelFormat::YUYV: {
          const uint8_t* p = s + static_cast<size_t>(y) * kW * 2 + (x & ~1) * 2;
          put_yuv(row + x * 4, p[(x & 1) * 2], p[1], p[3]);
          break;
        }
        case PixelFormat::NV12: {
          const uint8_t* uv = s + static_cast<size_t>(kW) * kH + static_cast<size_t>(y / 2) * kW + (x & ~1);
          put_yuv(row + x * 4, s[static_cast<size_t>(y) * kW + x], uv[0], uv[1]);
          break;
        }
        default: {
          const uint8_t* p = s + (static_cast<size_t>(y) * kW + x) * 3;
          row[x * 4] = p[2], row[x * 4 + 1] = p[1], row[x * 4 + 2] = p[0], row[x * 4 + 3] = 255;
        }
      }
    }
  }
}

const PixelFormat kFormats[] = {PixelFormat::YUYV, PixelFormat::NV12, PixelFormat::RGB24};

void BM_libyuv(benchmark::State& st) {
  const PixelFormat f = kFormats[st.range(0)];
  const std::vector<uint8_t> src = test_frame(f);
  std::vector<uint8_t> dst(static_cast<size_t>(kW) * kH * 4);
  const FrameView v{.format = f, .width = kW, .height = kH, .stride = 0, .bytes = src};
  for (auto _ : st) {
    benchmark::DoNotOptimize(convert_to_bgra(v, dst.data(), kW * 4));
    benchmark::ClobberMemory();
  }
  st.SetLabel(format_name(f));
}

void BM_plain_loop(benchmark::State& st) {
  const PixelFormat f = kFormats[st.range(0)];
  const std::vector<uint8_t> src = test_frame(f);
  std::vector<uint8_t> dst(static_cast<size_t>(kW) * kH * 4);
  for (auto _ : st) {
    plain_loop(f, src.data(), dst.data());
    benchmark::ClobberMemory();
  }
  st.SetLabel(format_name(f));
}

BENCHMARK(BM_libyuv)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_plain_loop)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// Keeps each run's CPU time per frame to print the side-by-side summary.
class Collect : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, std::map<std::string, double>> ms;  // format -> kind -> CPU ms a frame
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      const std::string name = r.benchmark_name();
      const std::string kind = name.rfind("BM_libyuv", 0) == 0 ? "libyuv" : "loop";
      ms[r.report_label][kind] = r.GetAdjustedCPUTime();  // in the benchmark's unit, ms
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Collect collect;
  benchmark::RunSpecifiedBenchmarks(&collect);
  std::printf("\n1920x1080 to BGRA, CPU per frame   libyuv     plain loop   ratio   (goal: libyuv <= 2 ms)\n");
  for (auto& [format, m] : collect.ms) {
    const double a = m["libyuv"], b = m["loop"];
    std::printf("  %-6s                          %6.3f ms  %8.3f ms   %5.1fx  %s\n", format.c_str(), a, b,
                a > 0 ? b / a : 0, a <= 2.0 ? "ok" : "OVER");
  }
  benchmark::Shutdown();
  return 0;
}
