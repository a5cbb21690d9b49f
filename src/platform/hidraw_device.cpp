#include "platform/hidraw_device.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

// Output and input reports over the control pipe came with Linux 5.11; older headers lack them.
#ifndef HIDIOCSOUTPUT
#define HIDIOCSOUTPUT(len) _IOC(_IOC_WRITE | _IOC_READ, 'H', 0x0B, len)
#endif
#ifndef HIDIOCGINPUT
#define HIDIOCGINPUT(len) _IOC(_IOC_WRITE | _IOC_READ, 'H', 0x0A, len)
#endif

namespace kestrel::platform {

namespace {

// The ioctl size field is 14 bits wide.
constexpr size_t kMaxIoctlReport = (1u << _IOC_SIZEBITS) - 1;

unsigned long req_set_output(size_t n) { return HIDIOCSOUTPUT(n); }
unsigned long req_get_input(size_t n) { return HIDIOCGINPUT(n); }
unsigned long req_set_feature(size_t n) { return HIDIOCSFEATURE(n); }
unsigned long req_get_feature(size_t n) { return HIDIOCGFEATURE(n); }

int ioctl_retry(int fd, unsigned long request, void* arg) {
  int r;
  do r = ::ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR);
  return r;
}

OpenFailure failure_of(int err) {
  switch (err) {
    case EACCES:
    case EPERM: return OpenFailure::Permission;
    case ENOENT:
    case ENODEV:
    case ENXIO: return OpenFailure::NotFound;
    default: return OpenFailure::Other;
  }
}

void set_error(std::string* error, const std::string& node, const char* what, int err) {
  if (error) *error = node + ": " + what + ": " + std::strerror(err);
}

// hidraw answers a read on an unplugged device with EIO, other calls with ENODEV.
bool device_gone(int err) { return err == ENODEV || err == ESHUTDOWN || err == EIO; }

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

std::unique_ptr<HidrawDevice> HidrawDevice::open(const std::string& node, Access access, OpenFailure& why,
                                                 std::string* error) {
  UniqueFd fd, wake;
  if (access == Access::QueryOnly) {
    struct stat st;
    if (::stat(node.c_str(), &st) != 0) {
      why = failure_of(errno);
      set_error(error, node, "stat", errno);
      return nullptr;
    }
  } else {
    // Non-blocking: the interrupt read waits in poll(), never in read().
    fd = UniqueFd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
      why = failure_of(errno);
      set_error(error, node, "open", errno);
      return nullptr;
    }
    wake = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake) {
      why = OpenFailure::Other;
      set_error(error, node, "eventfd", errno);
      return nullptr;
    }
  }
  why = OpenFailure::None;
  return std::unique_ptr<HidrawDevice>(new HidrawDevice(std::move(fd), std::move(wake)));
}

bool HidrawDevice::set_report(unsigned long (*request)(size_t), std::span<const uint8_t> report) {
  if (!fd_ || report.empty() || report.size() > kMaxIoctlReport) return false;
  // The kernel only reads the buffer of a set-report ioctl.
  const int r = ioctl_retry(fd_.get(), request(report.size()), const_cast<uint8_t*>(report.data()));
  return r >= 0 && static_cast<size_t>(r) == report.size();
}

bool HidrawDevice::get_report(unsigned long (*request)(size_t), std::span<uint8_t> report) {
  if (!fd_ || report.empty() || report.size() > kMaxIoctlReport) return false;
  const int r = ioctl_retry(fd_.get(), request(report.size()), report.data());
  if (r <= 0 || static_cast<size_t>(r) > report.size()) return false;
  // A shorter report leaves no stale bytes behind it.
  std::memset(report.data() + r, 0, report.size() - static_cast<size_t>(r));
  return true;
}

bool HidrawDevice::set_output_report(std::span<const uint8_t> report) { return set_report(req_set_output, report); }
bool HidrawDevice::get_input_report(std::span<uint8_t> report) { return get_report(req_get_input, report); }
bool HidrawDevice::set_feature_report(std::span<const uint8_t> report) { return set_report(req_set_feature, report); }
bool HidrawDevice::get_feature_report(std::span<uint8_t> report) { return get_report(req_get_feature, report); }

ReadStatus HidrawDevice::read_interrupt(std::span<uint8_t> buffer, int timeout_ms, size_t& got) {
  got = 0;
  if (!fd_ || buffer.empty()) return ReadStatus::Error;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    int wait = -1;
    if (timeout_ms >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd p[2] = {{fd_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    const int n = ::poll(p, 2, wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadStatus::Error;
    }
    if (n == 0) return ReadStatus::Timeout;
    if (p[1].revents & POLLIN) {
      uint64_t count;
      [[maybe_unused]] ssize_t r = ::read(wake_.get(), &count, sizeof count);
      return ReadStatus::Cancelled;
    }
    if (p[0].revents & POLLNVAL) return ReadStatus::Error;
    // A report still queued is delivered before the hang-up that follows it.
    if (p[0].revents & POLLIN) {
      const ssize_t r = ::read(fd_.get(), buffer.data(), buffer.size());
      if (r > 0) {
        got = static_cast<size_t>(r);
        return ReadStatus::Ok;
      }
      if (r == 0) return ReadStatus::Gone;
      if (errno == EAGAIN || errno == EINTR) continue;
      return device_gone(errno) ? ReadStatus::Gone : ReadStatus::Error;
    }
    // hidraw signals an unplugged device with POLLHUP | POLLERR.
    if (p[0].revents & (POLLHUP | POLLERR)) return ReadStatus::Gone;
  }
}

void HidrawDevice::cancel_read() {
  if (!wake_) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t r = ::write(wake_.get(), &one, sizeof one);
}

}  // namespace kestrel::platform
