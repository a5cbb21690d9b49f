#include "picture/capture_check.h"

#include <algorithm>

#include "log/clock.h"

namespace kestrel::picture {

CaptureCheck check_capture(const SourceOpener& open, uint32_t seconds, const std::function<bool()>& stop) {
  CaptureCheck c;
  const uint64_t end = clock_now_ns() + static_cast<uint64_t>(seconds) * 1'000'000'000ULL;
  std::string why;
  std::unique_ptr<FrameSource> source;
  for (uint64_t now = clock_now_ns(); now < end; now = clock_now_ns()) {
    if (stop && stop()) {
      c.text = "stopped";
      return c;
    }
    const int left_ms = std::min(kCheckSliceMs, static_cast<int>((end - now + 999'999) / 1'000'000));
    if (!source) {
      OpenResult o = open();
      if (!o.source) {
        why = o.error;
        sleep_ms(static_cast<uint32_t>(std::min<int>(left_ms, kReopenWaitMs)));
        continue;
      }
      source = std::move(o.source);
    }
    const NextResult n = source->next(left_ms);
    if (n.status == NextStatus::Frame && ++c.frames >= kCaptureOkFrames) {
      c.ok = true;
      c.text = "capture ok";
      return c;
    }
    if (n.status == NextStatus::Error) {
      why = n.error;
      source.reset();
    }
  }
  c.text = "no frames in " + std::to_string(seconds) + " s";
  if (c.frames > 0) c.text += ": only " + std::to_string(c.frames) + " arrived";
  else if (!why.empty()) c.text += ": " + why;
  return c;
}

}  // namespace kestrel::picture
