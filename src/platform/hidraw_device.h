// One opened /dev/hidrawN. Report calls are one ioctl each, of the report's fixed size; the
// interrupt-IN read polls the node together with an eventfd that cancel_read() signals.
#pragma once

#include <memory>
#include <string>

#include "platform/hid_backend.h"

namespace kestrel::platform {

// Owns one file descriptor; -1 when empty.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();
  int get() const { return fd_; }
  int release();
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

class HidrawDevice final : public HidDevice {
 public:
  // Query-only access opens nothing: sysfs already told enumeration everything a query could
  // ask, so the node is only checked to exist (stat), and no permission on it is needed. Such a
  // device refuses every report call. Read-and-write access opens the node O_RDWR.
  static std::unique_ptr<HidrawDevice> open(const std::string& node, Access access, OpenFailure& why,
                                            std::string* error);

  bool set_output_report(std::span<const uint8_t> report) override;
  bool get_input_report(std::span<uint8_t> report) override;
  bool set_feature_report(std::span<const uint8_t> report) override;
  bool get_feature_report(std::span<uint8_t> report) override;
  ReadStatus read_interrupt(std::span<uint8_t> buffer, int timeout_ms, size_t& got) override;
  void cancel_read() override;
  // hidraw keeps a fixed queue of 64 reports per open file; nothing can change it.
  bool set_input_buffers(uint32_t count) override { return false; }

 private:
  HidrawDevice(UniqueFd fd, UniqueFd wake) : fd_(std::move(fd)), wake_(std::move(wake)) {}
  bool set_report(unsigned long (*request)(size_t), std::span<const uint8_t> report);
  bool get_report(unsigned long (*request)(size_t), std::span<uint8_t> report);

  UniqueFd fd_;    // empty for a query-only device
  UniqueFd wake_;  // eventfd that cancel_read() signals; empty with fd_
};

}  // namespace kestrel::platform
