// The guest's picture helper for the VM test:
//   kestrel-vm-picture png FILE           decodes FILE: prints "WIDTHxHEIGHT luma L", exit 0
//   kestrel-vm-picture hold NODE SECONDS  streams from NODE for SECONDS, holding it as another
//                                         capture program would; prints "holding" once it does
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "log/clock.h"
#include "picture/convert.h"
#include "picture/png_file.h"
#include "picture/v4l2_source.h"

using namespace kestrel::picture;

int main(int argc, char** argv) {
  const std::string what = argc > 2 ? argv[1] : "";
  if (what == "png") {
    std::string error;
    const auto img = read_png(argv[2], &error);
    if (!img) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    std::printf("%dx%d luma %.2f\n", img->width, img->height, mean_luma(*img));
    return 0;
  }
  if (what == "hold" && argc > 3) {
    OpenResult o = open_v4l2({.node = argv[2], .format = std::nullopt});
    if (!o.source) {
      std::fprintf(stderr, "%s\n", o.error.c_str());
      return 1;
    }
    if (o.source->next(5000).status != NextStatus::Frame) {
      std::fprintf(stderr, "no frame from %s\n", argv[2]);
      return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    const uint64_t end = kestrel::clock_now_ns() + std::strtoull(argv[3], nullptr, 10) * 1'000'000'000ULL;
    while (kestrel::clock_now_ns() < end) o.source->next(100);
    return 0;
  }
  std::fprintf(stderr, "usage: kestrel-vm-picture png FILE | hold NODE SECONDS\n");
  return 2;
}
