// The V4L2 capture source against a capture node that says more than it holds: the kernel side
// (open, ioctl, mmap) of one node is played in this process, so the source runs its own calls
// unchanged. A frame never reaches past the buffer the node mapped, whatever `bytesused` says.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <deque>

#include "picture/v4l2_source.h"

namespace {

constexpr const char* kNode = "/kestrel-test/video0";
constexpr int kWidth = 64, kHeight = 4, kStride = 128;  // YUYV: 512 bytes a frame

// The node: its fd (an eventfd, always readable, so poll says a frame is ready), what it answers.
struct FakeNode {
  int fd = -1;
  uint32_t length = 0;     // each buffer's mapped length
  uint32_t bytesused = 0;  // what each dequeued buffer claims to hold
  std::deque<uint32_t> queued;
} g_node;

int fake_ioctl(unsigned long request, void* arg) {
  switch (request) {
    case VIDIOC_QUERYCAP: {
      auto* cap = static_cast<v4l2_capability*>(arg);
      std::memset(cap, 0, sizeof *cap);
      cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
      return 0;
    }
    case VIDIOC_G_FMT: {
      auto* f = static_cast<v4l2_format*>(arg);
      f->fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
      f->fmt.pix.width = kWidth;
      f->fmt.pix.height = kHeight;
      f->fmt.pix.bytesperline = kStride;
      f->fmt.pix.sizeimage = kStride * kHeight;
      return 0;
    }
    case VIDIOC_REQBUFS:
      static_cast<v4l2_requestbuffers*>(arg)->count = 2;
      return 0;
    case VIDIOC_QUERYBUF: {
      auto* b = static_cast<v4l2_buffer*>(arg);
      b->length = g_node.length;
      b->m.offset = b->index * 0x10000;
      return 0;
    }
    case VIDIOC_QBUF:
      g_node.queued.push_back(static_cast<v4l2_buffer*>(arg)->index);
      return 0;
    case VIDIOC_DQBUF: {
      if (g_node.queued.empty()) return errno = EAGAIN, -1;
      auto* b = static_cast<v4l2_buffer*>(arg);
      b->index = g_node.queued.front();
      b->bytesused = g_node.bytesused;
      b->flags = 0;
      g_node.queued.pop_front();
      return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
      return 0;
    default:
      return errno = ENOTTY, -1;  // no input status: the node counts as having a signal
  }
}

}  // namespace

// The C library's entry points, for the one fake node; everything else goes to the kernel.
extern "C" int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  if (std::strcmp(path, kNode) == 0) return g_node.fd = eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
  return static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (fd == g_node.fd && fd >= 0) return fake_ioctl(request, arg);
  return static_cast<int>(::syscall(SYS_ioctl, fd, request, arg));
}

extern "C" void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  if (fd == g_node.fd && fd >= 0)  // the buffer: plain memory of the length the node gave
    return reinterpret_cast<void*>(::syscall(SYS_mmap, nullptr, length, PROT_READ | PROT_WRITE,
                                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  return reinterpret_cast<void*>(::syscall(SYS_mmap, addr, length, prot, flags, fd, offset));
}

namespace kestrel::picture {
namespace {

TEST(V4l2Source, AFrameNeverReachesPastItsMappedBuffer) {
  struct Case {
    const char* name;
    uint32_t length, bytesused;
    bool frame;
    size_t size;
  } cases[] = {
      {"as it should be", 512, 512, true, 512},
      {"claims more than the buffer", 512, 8192, true, 512},
      {"buffer smaller than a frame", 256, 8192, false, 0},
      {"short frame", 4096, 300, false, 0},
  };
  for (const Case& c : cases) {
    g_node = FakeNode{};
    g_node.length = c.length;
    g_node.bytesused = c.bytesused;
    OpenResult o = open_v4l2(V4l2Request{kNode, std::nullopt, 0, 0});
    ASSERT_TRUE(o.source) << c.name << ": " << o.error;
    const NextResult n = o.source->next(30);
    ASSERT_NE(n.status, NextStatus::Error) << c.name << ": " << n.error;
    EXPECT_EQ(n.status == NextStatus::Frame, c.frame) << c.name;
    if (n.status == NextStatus::Frame) {
      EXPECT_EQ(n.frame.bytes.size(), c.size) << c.name;
      EXPECT_LE(n.frame.bytes.size(), c.length) << c.name;
    }
  }
}

}  // namespace
}  // namespace kestrel::picture
