// The seam between Kestrel and the card's picture. Two sources stand behind it: the card's V4L2
// capture node, and the simulated card's test pattern. Everything above it (the preview pane,
// kestrelctl snapshot, the capture check) sees the same calls.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace kestrel::picture {

// Pixel layouts a source may deliver, and the display layout everything is converted to.
enum class PixelFormat : uint8_t {
  YUYV,   // packed 4:2:2, Y0 U Y1 V; the card's "YUV2"
  NV12,   // Y plane, then one interleaved U V plane at half height
  RGB24,  // R G B bytes
  BGR24,  // B G R bytes (what a UVC "RGB24" format arrives as)
  BGRA,   // the display layout: B G R A bytes, a 32-bit 0xAARRGGBB word on little-endian
};

// "YUYV", "NV12", "RGB24", "BGR24", "BGRA".
const char* format_name(PixelFormat f);
// The card's colour format code (0 RGB24, 1 YUV2, 2 NV12) as the layout it delivers; YUYV for an
// unknown code, as the card starts in YUV2.
PixelFormat format_of_card_code(uint8_t code);

// One frame as the source holds it. The bytes belong to the source and stay valid until the next
// call of next() or the source's end: a consumer converts from them once, without a copy.
struct FrameView {
  PixelFormat format = PixelFormat::YUYV;
  int width = 0;
  int height = 0;
  int stride = 0;                   // bytes per line of the first (or only) plane
  std::span<const uint8_t> bytes;   // all planes; NV12's UV plane follows the Y plane at stride*height
  uint64_t sequence = 0;            // counts frames from the source's start
};

// Bytes a frame of this layout needs with the given line stride (0: the tightest stride).
size_t frame_bytes(PixelFormat f, int width, int height, int stride = 0);
int min_stride(PixelFormat f, int width);

enum class NextStatus : uint8_t {
  Frame,  // a frame arrived; `frame` holds it
  None,   // nothing arrived within the time given
  Error,  // the source failed (device gone, stream stopped); `error` says why
};

struct NextResult {
  NextStatus status = NextStatus::None;
  FrameView frame;
  std::string error;
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Waits up to timeout_ms for the next frame. A frame returned before stays valid until this
  // is called again. After an Error the source delivers nothing more; open it again.
  virtual NextResult next(int timeout_ms) = 0;
  // What the source is, for messages: "/dev/video2", "simulated meadow".
  virtual std::string name() const = 0;
};

// Why a source could not be opened, for callers that tell the user what to do.
enum class OpenFailure : uint8_t {
  None,
  NoNode,      // no video node (none on the card's USB device, or the path does not exist)
  Busy,        // another program holds the node (EBUSY)
  NoSignal,    // the node is there but the card sees no input signal
  Permission,  // this user may not open the node
  Unsupported, // not a capture node, or no layout Kestrel can convert
  Other,
};

struct OpenResult {
  std::unique_ptr<FrameSource> source;  // null on failure
  OpenFailure failure = OpenFailure::None;
  std::string error;                    // one line: what failed and why
};

}  // namespace kestrel::picture
