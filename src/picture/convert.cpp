#include "picture/convert.h"

#include <libyuv.h>

namespace kestrel::picture {

const char* format_name(PixelFormat f) {
  switch (f) {
    case PixelFormat::YUYV: return "YUYV";
    case PixelFormat::NV12: return "NV12";
    case PixelFormat::RGB24: return "RGB24";
    case PixelFormat::BGR24: return "BGR24";
    case PixelFormat::BGRA: return "BGRA";
  }
  return "?";
}

PixelFormat format_of_card_code(uint8_t code) {
  switch (code) {
    case 0: return PixelFormat::RGB24;
    case 2: return PixelFormat::NV12;
    default: return PixelFormat::YUYV;
  }
}

int min_stride(PixelFormat f, int width) {
  switch (f) {
    case PixelFormat::YUYV: return width * 2;
    case PixelFormat::NV12: return width;
    case PixelFormat::RGB24:
    case PixelFormat::BGR24: return width * 3;
    case PixelFormat::BGRA: return width * 4;
  }
  return 0;
}

size_t frame_bytes(PixelFormat f, int width, int height, int stride) {
  if (width <= 0 || height <= 0) return 0;
  const size_t s = static_cast<size_t>(stride > 0 ? stride : min_stride(f, width));
  const size_t h = static_cast<size_t>(height);
  // NV12's chroma plane: one line of interleaved U V for every two lines of Y.
  return f == PixelFormat::NV12 ? s * h + s * ((h + 1) / 2) : s * h;
}

bool convert_to_bgra(const FrameView& in, uint8_t* dst, int dst_stride) {
  const int w = in.width, h = in.height;
  if (w <= 0 || h <= 0 || !dst || dst_stride < w * 4) return false;
  const int stride = in.stride > 0 ? in.stride : min_stride(in.format, w);
  if (stride < min_stride(in.format, w) || in.bytes.size() < frame_bytes(in.format, w, h, stride)) return false;
  // 4:2:x layouts share a chroma sample between two pixels (and NV12 between two lines).
  if ((in.format == PixelFormat::YUYV || in.format == PixelFormat::NV12) && (w % 2 != 0)) return false;
  if (in.format == PixelFormat::NV12 && h % 2 != 0) return false;
  const uint8_t* src = in.bytes.data();
  int r = -1;
  switch (in.format) {
    case PixelFormat::YUYV: r = libyuv::YUY2ToARGB(src, stride, dst, dst_stride, w, h); break;
    case PixelFormat::NV12:
      r = libyuv::NV12ToARGB(src, stride, src + static_cast<size_t>(stride) * h, stride, dst, dst_stride, w, h);
      break;
    // libyuv names layouts by their little-endian word: its "RAW" is R G B in memory, its
    // "RGB24" is B G R.
    case PixelFormat::RGB24: r = libyuv::RAWToARGB(src, stride, dst, dst_stride, w, h); break;
    case PixelFormat::BGR24: r = libyuv::RGB24ToARGB(src, stride, dst, dst_stride, w, h); break;
    case PixelFormat::BGRA: r = libyuv::ARGBCopy(src, stride, dst, dst_stride, w, h); break;
  }
  return r == 0;
}

Image to_image(const FrameView& in) {
  Image img;
  if (in.width <= 0 || in.height <= 0) return img;
  img.bgra.resize(static_cast<size_t>(in.width) * in.height * 4);
  img.width = in.width;
  img.height = in.height;
  if (!convert_to_bgra(in, img.bgra.data(), in.width * 4)) return Image{};
  return img;
}

double mean_luma(const Image& img) {
  if (img.width <= 0 || img.height <= 0) return 0;
  std::vector<uint8_t> y(static_cast<size_t>(img.width) * img.height);
  libyuv::ARGBToJ400(img.bgra.data(), img.width * 4, y.data(), img.width, img.width, img.height);
  uint64_t sum = 0;
  for (uint8_t v : y) sum += v;
  return static_cast<double>(sum) / static_cast<double>(y.size());
}

}  // namespace kestrel::picture
