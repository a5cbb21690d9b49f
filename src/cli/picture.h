// The card's picture for kestrelctl: the frame source of the attached card (its V4L2 node, found
// on its USB device, or the simulated card's pattern), or of a node given with --video.
#pragma once

#include <cstdint>
#include <string>

#include "cli/session.h"
#include "picture/frame_source.h"

namespace kestrel::cli {

// Opens the picture of the session's current card, or `video_node` when it is not empty.
picture::OpenResult open_card_picture(Session& s, const std::string& video_node);

// The exit code of a source that would not open: busy 5, no node 3, anything else 6 (no frames).
int open_failure_exit(picture::OpenFailure why);

// After an upgrade: waits up to `seconds` for frames of the card; prints "capture ok" or
// "no frames in N s" and fills "capture" of the JSON document. EXIT_OK or EXIT_NO_FRAME.
int check_capture_after_upgrade(Session& s, uint32_t seconds, const std::string& video_node);

}  // namespace kestrel::cli
