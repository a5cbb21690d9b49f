#include "picture/sim_source.h"

#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "boards/board.h"
#include "boards/board_table.h"
#include "log/clock.h"
#include "picture/pattern_font.h"
#include "sim/card.h"

namespace kestrel::picture {

namespace {

struct Rgb {
  int r, g, b;
};

constexpr Rgb kBars[] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                         {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {16, 16, 16}};
constexpr int kDefaultRate = 60;

uint8_t clamp8(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// The card's picture processing as the pattern models it: brightness adds to luma, contrast
// scales it about mid grey, saturation scales the colour difference and hue turns it. 128 is
// neutral for contrast and saturation, 0 for brightness and hue (a full turn over -128..127).
Rgb adjust(Rgb c, const std::array<uint8_t, 32>& p) {
  const double brightness = static_cast<int8_t>(p[2]);
  const double contrast = p[3] / 128.0;
  const double hue = static_cast<int8_t>(p[4]) * M_PI / 128.0;
  const double saturation = p[5] / 128.0;
  double y = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b;
  double u = -0.168736 * c.r - 0.331264 * c.g + 0.5 * c.b;
  double v = 0.5 * c.r - 0.418688 * c.g - 0.081312 * c.b;
  y = (y - 128.0) * contrast + 128.0 + brightness;
  const double u2 = (u * std::cos(hue) - v * std::sin(hue)) * saturation;
  const double v2 = (u * std::sin(hue) + v * std::cos(hue)) * saturation;
  return {clamp8(y + 1.402 * v2), clamp8(y - 0.344136 * u2 - 0.714136 * v2), clamp8(y + 1.772 * u2)};
}

void fill(Image& img, int x0, int y0, int w, int h, Rgb c) {
  x0 = std::max(0, x0), y0 = std::max(0, y0);
  w = std::min(w, img.width - x0), h = std::min(h, img.height - y0);
  if (w <= 0 || h <= 0) return;
  const uint8_t px[4] = {static_cast<uint8_t>(c.b), static_cast<uint8_t>(c.g), static_cast<uint8_t>(c.r), 255};
  uint8_t* row0 = img.bgra.data() + (static_cast<size_t>(y0) * img.width + x0) * 4;
  for (int x = 0; x < w; ++x) std::memcpy(row0 + x * 4, px, 4);
  for (int y = 1; y < h; ++y) std::memcpy(row0 + static_cast<size_t>(y) * img.width * 4, row0, static_cast<size_t>(w) * 4);
}

// Large enough to be read in the preview pane, where a 1080-line picture shows some 240 lines high.
int text_scale(const Image& img) { return std::max(1, img.height / 180); }

// White text on a black band; returns the band's height.
void draw_text(Image& img, int x0, int y0, const std::string& text, int scale) {
  const int cell = (kGlyphWidth + 1) * scale;
  for (size_t i = 0; i < text.size(); ++i) {
    for (int r = 0; r < kGlyphHeight; ++r) {
      const uint8_t bits = glyph_row(text[i], r);
      for (int c = 0; c < kGlyphWidth; ++c)
        if (bits & (0x10 >> c))
          fill(img, x0 + static_cast<int>(i) * cell + c * scale, y0 + r * scale, scale, scale, {255, 255, 255});
    }
  }
}

std::vector<std::string> caption_lines(const PatternState& s) {
  char props[96];
  std::snprintf(props, sizeof props, "BRIGHTNESS %d CONTRAST %u", static_cast<int8_t>(s.props[2]), s.props[3]);
  char props2[96];
  std::snprintf(props2, sizeof props2, "SATURATION %u HUE %d", s.props[5], static_cast<int8_t>(s.props[4]));
  std::string input = s.input.empty() ? "-" : s.input;
  if (s.scanning) input += " (SCAN)";
  return {"KESTREL SIM " + s.board, "INPUT " + input + "  " + signal_text(s),
          std::to_string(s.width) + "X" + std::to_string(s.height) + "  " + color_format_text(s.color_format),
          props, props2};
}

// Where the frame counter goes: bottom right, aligned to even pixels so that a 4:2:x layout can
// be re-encoded there alone.
struct Box {
  int x, y, w, h;
};
Box counter_box(const Image& img) {
  const int scale = text_scale(img);
  const int w = std::min(img.width, 12 * (kGlyphWidth + 1) * scale + 2 * scale) & ~1;
  const int h = std::min(img.height, (kGlyphHeight + 2) * scale) & ~1;
  return {(img.width - w) & ~1, (img.height - h) & ~1, w, h};
}

void draw_counter(Image& img, uint64_t n) {
  const Box b = counter_box(img);
  fill(img, b.x, b.y, b.w, b.h, {0, 0, 0});
  char text[24];
  std::snprintf(text, sizeof text, "FRAME %06llu", static_cast<unsigned long long>(n % 1000000));
  const int scale = text_scale(img);
  draw_text(img, b.x + scale, b.y + scale, text, scale);
}

// Encodes a rectangle of the BGRA picture (even position and size) into the frame's layout.
void encode(const Image& img, PixelFormat f, std::vector<uint8_t>& out, int stride, Box b) {
  const uint8_t* src = img.pixel(b.x, b.y);
  const int src_stride = img.width * 4;
  uint8_t* row = out.data() + static_cast<size_t>(b.y) * stride;
  switch (f) {
    case PixelFormat::YUYV: libyuv::ARGBToYUY2(src, src_stride, row + b.x * 2, stride, b.w, b.h); break;
    case PixelFormat::NV12: {
      uint8_t* uv = out.data() + static_cast<size_t>(img.height) * stride + static_cast<size_t>(b.y / 2) * stride + b.x;
      libyuv::ARGBToNV12(src, src_stride, row + b.x, stride, uv, stride, b.w, b.h);
      break;
    }
    case PixelFormat::RGB24: libyuv::ARGBToRAW(src, src_stride, row + b.x * 3, stride, b.w, b.h); break;
    default: break;
  }
}

class SimSource final : public FrameSource {
 public:
  explicit SimSource(std::shared_ptr<sim::SimCard> card)
      : card_(std::move(card)), generation_(card_->generation()), name_("simulated " + std::string(card_->name())) {}

  std::string name() const override { return name_; }

  NextResult next(int timeout_ms) override {
    NextResult r;
    const uint32_t wait_ms = static_cast<uint32_t>(std::max(0, timeout_ms));
    if (!card_->alive(generation_)) {
      r.status = NextStatus::Error;
      r.error = name_ + ": the video device is gone";
      return r;
    }
    const sim::Scenario st = card_->state();
    if (!st.signal) {
      sleep_ms(wait_ms);
      return r;
    }
    const uint64_t period = 1'000'000'000ULL / static_cast<uint64_t>(st.frame_rate ? st.frame_rate : kDefaultRate);
    uint64_t now = clock_now_ns();
    if (due_ns_ == 0 || now > due_ns_ + period) due_ns_ = now;  // first frame, or fallen behind
    if (now < due_ns_) {
      const uint64_t wait = due_ns_ - now;
      if (wait > static_cast<uint64_t>(wait_ms) * 1'000'000ULL) {
        sleep_ms(wait_ms);
        return r;
      }
      sleep_ms(static_cast<uint32_t>((wait + 999'999) / 1'000'000));
    }
    due_ns_ += period;
    render(pattern_state_of(*card_));
    r.status = NextStatus::Frame;
    r.frame.format = format_;
    r.frame.width = picture_.width;
    r.frame.height = picture_.height;
    r.frame.stride = stride_;
    r.frame.bytes = frame_;
    r.frame.sequence = sequence_++;
    return r;
  }

 private:
  void render(const PatternState& s) {
    if (!(s == drawn_) || frame_.empty()) {
      drawn_ = s;
      draw_pattern(s, picture_);
      format_ = format_of_card_code(s.color_format);
      stride_ = min_stride(format_, picture_.width);
      frame_.assign(frame_bytes(format_, picture_.width, picture_.height), 0);
      encode(picture_, format_, frame_, stride_, {0, 0, picture_.width & ~1, picture_.height & ~1});
    }
    draw_counter(picture_, sequence_);
    encode(picture_, format_, frame_, stride_, counter_box(picture_));
  }

  std::shared_ptr<sim::SimCard> card_;
  uint32_t generation_;
  std::string name_;
  uint64_t due_ns_ = 0;
  uint64_t sequence_ = 0;
  PatternState drawn_;
  Image picture_;
  PixelFormat format_ = PixelFormat::YUYV;
  int stride_ = 0;
  std::vector<uint8_t> frame_;
};

}  // namespace

const char* color_format_text(uint8_t code) {
  switch (code) {
    case 0: return "RGB24";
    case 1: return "YUV2";
    case 2: return "NV12";
    default: return "?";
  }
}

std::string signal_text(const PatternState& s) {
  return std::to_string(s.width) + "X" + std::to_string(s.height) + (s.interlaced ? "I" : "P") +
         std::to_string(s.frame_rate);
}

PatternState pattern_state_of(const sim::SimCard& card) {
  const sim::Scenario st = card.state();
  PatternState s;
  s.board = std::string(card.name());
  for (const BoardDescriptor* d : board_table()) {
    if (d->name != s.board || !d->input_names) continue;
    for (int i = 0; d->input_names[i]; ++i)
      if (i == st.input) s.input = d->input_names[i];
  }
  s.scanning = st.scanning;
  // The frame's size is even: a 4:2:x layout shares chroma between pixel pairs.
  s.width = std::max(2, st.width & ~1);
  s.height = std::max(2, st.height & ~1);
  s.frame_rate = st.frame_rate;
  s.interlaced = st.interlaced;
  s.color_format = st.color_format;
  s.props = card.properties();
  return s;
}

void draw_pattern(const PatternState& s, Image& img) {
  img.width = s.width;
  img.height = s.height;
  img.bgra.assign(static_cast<size_t>(s.width) * s.height * 4, 0);
  const int bars_h = s.height * 3 / 4;
  const int n = static_cast<int>(std::size(kBars));
  for (int i = 0; i < n; ++i) {
    const int x0 = s.width * i / n, x1 = s.width * (i + 1) / n;
    fill(img, x0, 0, x1 - x0, bars_h, adjust(kBars[i], s.props));
  }
  // A grey ramp below the bars: contrast and brightness show along it.
  for (int x = 0; x < s.width; ++x) {
    const int g = s.width > 1 ? x * 255 / (s.width - 1) : 0;
    fill(img, x, bars_h, 1, s.height - bars_h, adjust({g, g, g}, s.props));
  }
  const int scale = text_scale(img);
  const std::vector<std::string> lines = caption_lines(s);
  size_t longest = 0;
  for (const std::string& l : lines) longest = std::max(longest, l.size());
  const int line_h = (kGlyphHeight + 3) * scale;
  fill(img, 0, 0, static_cast<int>(longest) * (kGlyphWidth + 1) * scale + 4 * scale,
       static_cast<int>(lines.size()) * line_h + 2 * scale, {0, 0, 0});
  for (size_t i = 0; i < lines.size(); ++i)
    draw_text(img, 2 * scale, 2 * scale + static_cast<int>(i) * line_h, lines[i], scale);
}

OpenResult open_sim(std::shared_ptr<sim::SimCard> card) {
  OpenResult r;
  if (!card || !card->plugged()) {
    r.failure = OpenFailure::NoNode;
    r.error = "no video node: the simulated card is not plugged in";
    return r;
  }
  if (!card->state().signal) {
    r.failure = OpenFailure::NoSignal;
    r.error = "simulated " + std::string(card->name()) + ": no signal on the card's input";
    return r;
  }
  r.source = std::make_unique<SimSource>(std::move(card));
  return r;
}

}  // namespace kestrel::picture
