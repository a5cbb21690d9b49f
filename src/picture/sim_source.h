// The simulated card's picture: a test pattern that shows the card's state — its input and signal
// format, resolution and colour format as text, and its picture properties applied to colour bars
// — delivered through the same seam as a V4L2 node, at the signal's frame rate.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "picture/convert.h"
#include "picture/frame_source.h"

namespace kestrel::sim {
class SimCard;
}

namespace kestrel::picture {

// What the pattern shows; two equal states give the same picture (apart from the frame count).
struct PatternState {
  std::string board;
  std::string input;        // the input's name, "" when the board has none for it
  bool scanning = false;
  int width = 0;
  int height = 0;
  int frame_rate = 0;
  bool interlaced = false;
  uint8_t color_format = 1; // 0 RGB24, 1 YUV2, 2 NV12
  std::array<uint8_t, 32> props{};  // the property block in effect
  bool operator==(const PatternState&) const = default;
};

PatternState pattern_state_of(const sim::SimCard& card);
// The text lines the pattern carries.
std::string signal_text(const PatternState& s);   // "1920X1080P60"
const char* color_format_text(uint8_t code);       // "RGB24", "YUV2", "NV12"

// Draws the pattern into `img` (resized to the state's size).
void draw_pattern(const PatternState& s, Image& img);

// The simulated card as a frame source. Fails to open while the card is unplugged (no node) or
// has no input signal; stops with an error when the card leaves the bus. Paced by kestrel's
// clock, so tests under a simulated clock take no real time.
OpenResult open_sim(std::shared_ptr<sim::SimCard> card);

}  // namespace kestrel::picture
