#include "picture/v4l2_source.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "log/clock.h"

namespace kestrel::picture {

namespace {

// Four buffers: one with the consumer, one being filled, two spare so that a slow paint does not
// make the driver drop frames at once.
constexpr uint32_t kBufferCount = 4;

int xioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ::ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR);
  return r;
}

std::optional<PixelFormat> from_fourcc(uint32_t f) {
  switch (f) {
    case V4L2_PIX_FMT_YUYV: return PixelFormat::YUYV;
    case V4L2_PIX_FMT_NV12: return PixelFormat::NV12;
    case V4L2_PIX_FMT_RGB24: return PixelFormat::RGB24;
    case V4L2_PIX_FMT_BGR24: return PixelFormat::BGR24;
    default: return std::nullopt;
  }
}

uint32_t to_fourcc(PixelFormat f) {
  switch (f) {
    case PixelFormat::YUYV: return V4L2_PIX_FMT_YUYV;
    case PixelFormat::NV12: return V4L2_PIX_FMT_NV12;
    case PixelFormat::RGB24: return V4L2_PIX_FMT_RGB24;
    case PixelFormat::BGR24: return V4L2_PIX_FMT_BGR24;
    case PixelFormat::BGRA: return V4L2_PIX_FMT_ARGB32;
  }
  return 0;
}

std::string fourcc_text(uint32_t f) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((f >> (8 * i)) & 0xFF);
    s += c >= 0x20 && c < 0x7F ? c : '?';
  }
  return s;
}

struct Mapped {
  void* start = MAP_FAILED;
  size_t length = 0;
};

class V4l2Source final : public FrameSource {
 public:
  V4l2Source(std::string node, int fd) : node_(std::move(node)), fd_(fd) {}
  ~V4l2Source() override {
    if (streaming_) {
      v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      xioctl(fd_, VIDIOC_STREAMOFF, &type);
    }
    for (Mapped& m : buffers_)
      if (m.start != MAP_FAILED) ::munmap(m.start, m.length);
    ::close(fd_);
  }

  std::string name() const override { return node_; }

  // Sets the format, maps the buffers and starts the stream; "" or why not (errno in `err`).
  std::string start(const V4l2Request& rq, int& err) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd_, VIDIOC_G_FMT, &fmt) < 0) return err = errno, "cannot read the node's format";
    if (rq.format) fmt.fmt.pix.pixelformat = to_fourcc(*rq.format);
    if (rq.width > 0 && rq.height > 0) {
      fmt.fmt.pix.width = static_cast<uint32_t>(rq.width);
      fmt.fmt.pix.height = static_cast<uint32_t>(rq.height);
    }
    if (rq.format || rq.width > 0) {
      fmt.fmt.pix.field = V4L2_FIELD_ANY;
      fmt.fmt.pix.bytesperline = 0;  // the driver's own stride
      if (xioctl(fd_, VIDIOC_S_FMT, &fmt) < 0) return err = errno, "cannot set the format";
    }
    const std::optional<PixelFormat> got = from_fourcc(fmt.fmt.pix.pixelformat);
    if (!got) return err = ENOTSUP, "delivers " + fourcc_text(fmt.fmt.pix.pixelformat) + ", which Kestrel cannot show";
    format_ = *got;
    width_ = static_cast<int>(fmt.fmt.pix.width);
    height_ = static_cast<int>(fmt.fmt.pix.height);
    stride_ = static_cast<int>(fmt.fmt.pix.bytesperline);
    if (stride_ < min_stride(format_, width_)) stride_ = min_stride(format_, width_);

    v4l2_requestbuffers req{};
    req.count = kBufferCount;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd_, VIDIOC_REQBUFS, &req) < 0 || req.count == 0) return err = errno, "cannot get capture buffers";
    buffers_.resize(req.count);
    for (uint32_t i = 0; i < req.count; ++i) {
      v4l2_buffer b{};
      b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      b.memory = V4L2_MEMORY_MMAP;
      b.index = i;
      if (xioctl(fd_, VIDIOC_QUERYBUF, &b) < 0) return err = errno, "cannot query a capture buffer";
      buffers_[i].length = b.length;
      buffers_[i].start = ::mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, b.m.offset);
      if (buffers_[i].start == MAP_FAILED) return err = errno, "cannot map a capture buffer";
      if (xioctl(fd_, VIDIOC_QBUF, &b) < 0) return err = errno, "cannot queue a capture buffer";
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd_, VIDIOC_STREAMON, &type) < 0) return err = errno, "cannot start the stream";
    streaming_ = true;
    return {};
  }

  NextResult next(int timeout_ms) override {
    NextResult r;
    if (failed_) return fail(r, "the stream has stopped");
    // The frame handed out last time goes back to the driver now.
    if (held_ >= 0) {
      v4l2_buffer b{};
      b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      b.memory = V4L2_MEMORY_MMAP;
      b.index = static_cast<uint32_t>(held_);
      held_ = -1;
      if (xioctl(fd_, VIDIOC_QBUF, &b) < 0) return fail(r, gone_or(errno, "cannot queue a capture buffer"));
    }
    const uint64_t deadline = clock_now_ns() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms) * 1'000'000ULL;
    for (;;) {
      const uint64_t now = clock_now_ns();
      const int left = now >= deadline ? 0 : static_cast<int>((deadline - now + 999'999) / 1'000'000);
      pollfd p{fd_, POLLIN, 0};
      const int n = ::poll(&p, 1, left);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fail(r, std::string("poll failed: ") + std::strerror(errno));
      if (n == 0) return r;  // None
      if (p.revents & (POLLERR | POLLHUP)) return fail(r, "the video device is gone");
      v4l2_buffer b{};
      b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      b.memory = V4L2_MEMORY_MMAP;
      if (xioctl(fd_, VIDIOC_DQBUF, &b) < 0) {
        if (errno == EAGAIN) continue;
        return fail(r, gone_or(errno, "cannot take a frame"));
      }
      const size_t need = frame_bytes(format_, width_, height_, stride_);
      // What the driver says the buffer holds, never more than was mapped of it: a driver that
      // reports more must not make the frame reach into memory that is not the buffer's.
      const size_t used = b.index < buffers_.size() ? std::min<size_t>(b.bytesused, buffers_[b.index].length) : 0;
      if ((b.flags & V4L2_BUF_FLAG_ERROR) || used < need || b.index >= buffers_.size()) {
        // A damaged or short frame (a USB transfer lost on the way): give it back, wait for the next.
        if (xioctl(fd_, VIDIOC_QBUF, &b) < 0) return fail(r, gone_or(errno, "cannot queue a capture buffer"));
        if (clock_now_ns() >= deadline) return r;
        continue;
      }
      held_ = static_cast<int>(b.index);
      r.status = NextStatus::Frame;
      r.frame.format = format_;
      r.frame.width = width_;
      r.frame.height = height_;
      r.frame.stride = stride_;
      r.frame.bytes = {static_cast<const uint8_t*>(buffers_[b.index].start), used};
      r.frame.sequence = sequence_++;
      return r;
    }
  }

 private:
  static std::string gone_or(int e, const std::string& what) {
    if (e == ENODEV || e == EIO) return "the video device is gone";
    return what + ": " + std::strerror(e);
  }
  NextResult& fail(NextResult& r, std::string why) {
    failed_ = true;
    r.status = NextStatus::Error;
    r.error = node_ + ": " + why;
    return r;
  }

  std::string node_;
  int fd_;
  std::vector<Mapped> buffers_;
  bool streaming_ = false;
  bool failed_ = false;
  int held_ = -1;
  PixelFormat format_ = PixelFormat::YUYV;
  int width_ = 0, height_ = 0, stride_ = 0;
  uint64_t sequence_ = 0;
};

OpenResult failed(OpenFailure why, std::string text) {
  OpenResult r;
  r.failure = why;
  r.error = std::move(text);
  return r;
}

OpenResult busy(const std::string& node) {
  return failed(OpenFailure::Busy, node + " is in use by another program (device busy); close it there first");
}

// True when the node's current input reports no signal. Nodes that do not say count as having one.
bool no_signal(int fd) {
  int index = 0;
  if (xioctl(fd, VIDIOC_G_INPUT, &index) < 0) return false;
  v4l2_input in{};
  in.index = static_cast<uint32_t>(index);
  if (xioctl(fd, VIDIOC_ENUMINPUT, &in) < 0) return false;
  return (in.status & V4L2_IN_ST_NO_SIGNAL) != 0;
}

}  // namespace

OpenResult open_v4l2(const V4l2Request& rq) {
  const std::string& node = rq.node;
  // Non-blocking: a frame is waited for with poll, never in DQBUF.
  const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (e == ENOENT || e == ENODEV || e == ENXIO) return failed(OpenFailure::NoNode, "no video node " + node);
    if (e == EBUSY) return busy(node);
    if (e == EACCES || e == EPERM)
      return failed(OpenFailure::Permission, "no permission to open " + node + " (is this user in the video group?)");
    return failed(OpenFailure::Other, "cannot open " + node + ": " + std::strerror(e));
  }
  v4l2_capability cap{};
  if (xioctl(fd, VIDIOC_QUERYCAP, &cap) < 0) {
    ::close(fd);
    return failed(OpenFailure::Unsupported, node + " is not a video device");
  }
  const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
  if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) {
    ::close(fd);
    return failed(OpenFailure::Unsupported, node + " is not a video capture node");
  }
  if (no_signal(fd)) {
    ::close(fd);
    return failed(OpenFailure::NoSignal, node + ": no signal on the card's input");
  }
  auto src = std::make_unique<V4l2Source>(node, fd);
  int err = 0;
  const std::string why = src->start(rq, err);
  if (!why.empty()) {
    src.reset();
    if (err == EBUSY) return busy(node);
    if (err == ENOTSUP) return failed(OpenFailure::Unsupported, node + " " + why);
    if (err == ENODEV) return failed(OpenFailure::NoNode, "the video device " + node + " is gone");
    return failed(OpenFailure::Other, node + ": " + why + ": " + std::strerror(err));
  }
  OpenResult r;
  r.source = std::move(src);
  return r;
}

}  // namespace kestrel::picture
