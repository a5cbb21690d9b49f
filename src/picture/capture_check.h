// The capture check after an upgrade: does the card deliver frames again?
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "picture/frame_source.h"

namespace kestrel::picture {

using SourceOpener = std::function<OpenResult()>;

struct CaptureCheck {
  bool ok = false;
  uint32_t frames = 0;   // frames seen before the check ended
  std::string text;      // "capture ok", or "no frames in N s" with the last reason after a colon
};

// Opens the source (again and again: a card back from its restart brings its video node a little
// after its HID interface) and waits for frames, all within `seconds` on kestrel's clock. Ok once
// kCaptureOkFrames frames arrived. `stop` (optional) is asked between waits of at most
// kCheckSliceMs; when it answers true the check ends at once, not ok, with "stopped".
constexpr uint32_t kCaptureOkFrames = 3;
constexpr uint32_t kReopenWaitMs = 200;  // between attempts to open the node
constexpr int kCheckSliceMs = 200;
CaptureCheck check_capture(const SourceOpener& open, uint32_t seconds, const std::function<bool()>& stop = {});

}  // namespace kestrel::picture
