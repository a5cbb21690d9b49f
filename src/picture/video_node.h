// Which /dev/videoN shows a card's picture: the V4L2 capture node on the same USB device as the
// card's HID interface.
#pragma once

#include <string>

namespace kestrel::picture {

struct VideoNodeResult {
  std::string node;   // root/dev/videoN; empty when none was found
  std::string error;  // why not, one line
};

// Looks below `root` ("/" on a running system, a fixture tree in tests) for the video4linux class
// devices whose USB device is the one `hid_node` (root/dev/hidrawN) sits on, and picks the capture
// node among them: index 0 (a UVC camera's second node, index 1, carries metadata only), lowest
// number first.
VideoNodeResult find_video_node(const std::string& root, const std::string& hid_node);

}  // namespace kestrel::picture
