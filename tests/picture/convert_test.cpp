// Conversion of each capture layout to the display layout: colours land in the right bytes,
// strides are honoured, and frames that do not fit their size are refused.
#include <gtest/gtest.h>

#include <vector>

#include "picture/convert.h"

namespace kestrel::picture {
namespace {

struct Bgra {
  int b, g, r;
};

// A 4 x 2 frame of one colour, built byte by byte in the layout, with `pad` spare bytes a line.
std::vector<uint8_t> solid(PixelFormat f, int pad) {
  const int w = 4, h = 2;
  const int stride = min_stride(f, w) + pad;
  std::vector<uint8_t> b(frame_bytes(f, w, h, stride), 0xEE);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b.data() + y * stride;
    for (int x = 0; x < w; ++x) {
      switch (f) {
        // Pure red in BT.601 studio range: Y 81, U 90, V 240.
        case PixelFormat::YUYV:
          row[x * 2] = 81;
          row[x * 2 + 1] = x % 2 == 0 ? 90 : 240;
          break;
        case PixelFormat::NV12: row[x] = 81; break;
        case PixelFormat::RGB24: row[x * 3] = 255, row[x * 3 + 1] = 0, row[x * 3 + 2] = 0; break;
        case PixelFormat::BGR24: row[x * 3] = 0, row[x * 3 + 1] = 0, row[x * 3 + 2] = 255; break;
        default: break;
      }
    }
  }
  if (f == PixelFormat::NV12) {
    uint8_t* uv = b.data() + h * stride;
    for (int x = 0; x < w; x += 2) uv[x] = 90, uv[x + 1] = 240;
  }
  return b;
}

struct LayoutCase {
  PixelFormat format;
  int pad;
};

class ConvertLayouts : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ConvertLayouts, RedArrivesAsRedInEveryPixel) {
  const auto [f, pad] = GetParam();
  const std::vector<uint8_t> bytes = solid(f, pad);
  FrameView v{.format = f, .width = 4, .height = 2, .stride = min_stride(f, 4) + pad, .bytes = bytes};
  const Image img = to_image(v);
  ASSERT_EQ(img.width, 4);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) {
      const uint8_t* p = img.pixel(x, y);
      EXPECT_GE(p[2], 240) << format_name(f) << " red at " << x << "," << y;
      EXPECT_LE(p[1], 12) << format_name(f) << " green";
      EXPECT_LE(p[0], 12) << format_name(f) << " blue";
      EXPECT_EQ(p[3], 255);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ConvertLayouts,
                         ::testing::Values(LayoutCase{PixelFormat::YUYV, 0}, LayoutCase{PixelFormat::YUYV, 8},
                                           LayoutCase{PixelFormat::NV12, 0}, LayoutCase{PixelFormat::NV12, 4},
                                           LayoutCase{PixelFormat::RGB24, 0}, LayoutCase{PixelFormat::RGB24, 4},
                                           LayoutCase{PixelFormat::BGR24, 0}));

TEST(Convert, RefusesFramesThatDoNotFitTheirSize) {
  std::vector<uint8_t> bytes = solid(PixelFormat::NV12, 0);
  std::vector<uint8_t> dst(4 * 2 * 4, 0x55);
  FrameView v{.format = PixelFormat::NV12, .width = 4, .height = 2, .stride = 4, .bytes = bytes};
  // One byte short of the chroma plane.
  v.bytes = std::span<const uint8_t>(bytes).first(bytes.size() - 1);
  EXPECT_FALSE(convert_to_bgra(v, dst.data(), 16));
  // 4:2:x layouts need an even width; a stride below a line's bytes is nonsense.
  v.bytes = bytes;
  v.width = 3;
  EXPECT_FALSE(convert_to_bgra(v, dst.data(), 16));
  v.width = 4;
  v.stride = 3;
  EXPECT_FALSE(convert_to_bgra(v, dst.data(), 16));
  EXPECT_EQ(dst, std::vector<uint8_t>(32, 0x55)) << "a refused frame leaves the target as it was";
  EXPECT_EQ(to_image(FrameView{.format = PixelFormat::YUYV, .width = 4, .height = 2, .stride = 0, .bytes = {}}).width, 0);
}

TEST(Convert, MeanLumaFollowsThePicture) {
  Image img{.width = 2, .height = 1, .bgra = {0, 0, 0, 255, 255, 255, 255, 255}};
  EXPECT_NEAR(mean_luma(img), 127.5, 1.0);
  img.bgra = {255, 255, 255, 255, 255, 255, 255, 255};
  EXPECT_NEAR(mean_luma(img), 255, 1.0);
  EXPECT_EQ(mean_luma(Image{}), 0);
}

}  // namespace
}  // namespace kestrel::picture
