// Shared pieces of the fuzz targets: a device that answers fetches with the fuzzer's bytes, and
// a link whose current card carries chosen link flags.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "devlink/hid_link.h"
#include "devlink/qhidev.h"
#include "platform/hid_backend.h"

namespace kestrel::fuzz {

// Answers every get_input_report with the next chunk of the input (zero-filled to the report's
// size), and fails once the input is used up.
class FuzzDevice : public platform::HidDevice {
 public:
  FuzzDevice(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool set_output_report(std::span<const uint8_t>) override { return true; }
  bool get_input_report(std::span<uint8_t> r) override {
    if (pos_ >= size_) return false;
    const size_t n = std::min(r.size(), size_ - pos_);
    std::memset(r.data(), 0, r.size());
    std::memcpy(r.data(), data_ + pos_, n);
    pos_ += n;
    return true;
  }
  bool set_feature_report(std::span<const uint8_t>) override { return true; }
  bool get_feature_report(std::span<uint8_t> r) override { return get_input_report(r); }
  platform::ReadStatus read_interrupt(std::span<uint8_t>, int, size_t&) override {
    return platform::ReadStatus::Timeout;
  }
  void cancel_read() override {}
  bool set_input_buffers(uint32_t) override { return true; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A one-card list whose card uses `dev` and `flags`.
struct OneCard {
  qhidev_list list;
  OneCard(std::shared_ptr<platform::HidDevice> dev, uint16_t flags) {
    auto d = std::make_unique<qhidev>();
    d->owner = &list;
    d->link_flags = flags;
    d->handle = std::move(dev);
    list.current = d.get();
    list.items[0] = std::move(d);
    list.count = 1;
  }
};

// Copies `size` bytes into a heap block of exactly that size, so that any read past what the
// card sent lands outside the allocation.
inline std::vector<uint8_t> exact(const uint8_t* data, size_t size) { return std::vector<uint8_t>(data, data + size); }

}  // namespace kestrel::fuzz
