// The search for the info text in a USB-controller image, on the image that costs it most: "CY"
// and then nothing but "key-", one string to the end of a 64 MiB file (the largest image Kestrel
// reads). Every "key-" is a candidate whose ':' would lie in the rest of the file, so a search
// that reads from each candidate to the string's end reads the file once per candidate. The
// figure to watch is the time per image (and bytes_per_second); a real image takes about as
// long as the same size of plain bytes (BM_ImageInfo_Plain).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "update/image_check.h"
#include "update/image_file.h"

namespace {

using namespace kestrel;

// An image of `bytes` bytes: "CY", then `fill` repeated, then the zero byte callers put after it.
std::vector<uint8_t> image_of(size_t bytes, const char* fill) {
  std::vector<uint8_t> img(bytes + 1, 0);
  img[0] = 'C';
  img[1] = 'Y';
  const size_t n = std::strlen(fill);
  for (size_t i = 2; i < bytes; ++i) img[i] = static_cast<uint8_t>(fill[(i - 2) % n]);
  return img;
}

void run(benchmark::State& state, const char* fill) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  const std::vector<uint8_t> img = image_of(bytes, fill);
  for (auto _ : state) {
    const char* info = find_image_info(img.data(), img.data() + bytes);
    benchmark::DoNotOptimize(info);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

void BM_ImageInfo_AllKeys(benchmark::State& state) { run(state, "key-"); }
void BM_ImageInfo_Plain(benchmark::State& state) { run(state, "\x1c\xb0 firmware data "); }

}  // namespace

BENCHMARK(BM_ImageInfo_AllKeys)->Arg(4 << 20)->Arg(static_cast<int64_t>(IMAGE_FILE_MAX))->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImageInfo_Plain)->Arg(static_cast<int64_t>(IMAGE_FILE_MAX))->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
