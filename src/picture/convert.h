// Conversion of a captured frame to the display layout (BGRA), and the measures taken of it.
// The work is libyuv's: its row functions use the machine's SIMD units.
#pragma once

#include <cstdint>
#include <vector>

#include "picture/frame_source.h"

namespace kestrel::picture {

// Converts `in` into `dst` (BGRA, dst_stride bytes a line, in.width x in.height pixels). False,
// with dst untouched, when the frame is shorter than its size needs, its size is odd where the
// layout needs it even, or its layout is unknown.
bool convert_to_bgra(const FrameView& in, uint8_t* dst, int dst_stride);

// An owned BGRA image: what the snapshot writes and what tests look at.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgra;  // width * 4 bytes a line
  const uint8_t* pixel(int x, int y) const { return bgra.data() + (static_cast<size_t>(y) * width + x) * 4; }
};

// The frame as an owned BGRA image; an empty image when it cannot be converted.
Image to_image(const FrameView& in);

// Mean full-range luma (0..255) of a BGRA image; 0 for an empty one.
double mean_luma(const Image& img);

}  // namespace kestrel::picture
