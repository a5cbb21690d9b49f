// The card's picture from its V4L2 capture node: memory-mapped buffers, streamed.
#pragma once

#include <optional>
#include <string>

#include "picture/frame_source.h"

namespace kestrel::picture {

struct V4l2Request {
  std::string node;                   // "/dev/video2"
  // The layout to ask for; the node's current one when empty. A node that answers with a
  // layout Kestrel cannot convert is refused.
  std::optional<PixelFormat> format;
  int width = 0;                      // 0: the node's current size
  int height = 0;
};

// Opens the node and starts streaming. Failures say which: no such node, another program holds
// it (EBUSY at open, format or buffer request), no input signal, not a capture node.
OpenResult open_v4l2(const V4l2Request& request);

}  // namespace kestrel::picture
