#include "platform/claiming_backend.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/card_claim.h"

namespace kestrel::platform {

namespace {

class ClaimedDevice final : public HidDevice {
 public:
  ClaimedDevice(std::unique_ptr<HidDevice> inner, std::shared_ptr<CardClaim> claim)
      : inner_(std::move(inner)), claim_(std::move(claim)) {}

  bool set_output_report(std::span<const uint8_t> r) override {
    ClaimedTransaction t(claim_);
    return t.ok() && inner_->set_output_report(r);
  }
  bool get_input_report(std::span<uint8_t> r) override {
    ClaimedTransaction t(claim_);
    return t.ok() && inner_->get_input_report(r);
  }
  bool set_feature_report(std::span<const uint8_t> r) override {
    ClaimedTransaction t(claim_);
    return t.ok() && inner_->set_feature_report(r);
  }
  bool get_feature_report(std::span<uint8_t> r) override {
    ClaimedTransaction t(claim_);
    return t.ok() && inner_->get_feature_report(r);
  }
  // Reports the card sends by itself go to every program that has the node open: no claim.
  ReadStatus read_interrupt(std::span<uint8_t> buffer, int timeout_ms, size_t& got) override {
    return inner_->read_interrupt(buffer, timeout_ms, got);
  }
  void cancel_read() override { inner_->cancel_read(); }
  bool set_input_buffers(uint32_t count) override { return inner_->set_input_buffers(count); }
  std::shared_ptr<CardClaim> claim() override { return claim_; }

 private:
  std::unique_ptr<HidDevice> inner_;
  std::shared_ptr<CardClaim> claim_;
};

}  // namespace

std::string node_claim_key(const std::string& node) {
  struct stat st {};
  if (::stat(node.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return {};
  return "hidraw-" + std::to_string(major(st.st_rdev)) + "-" + std::to_string(minor(st.st_rdev));
}

std::unique_ptr<HidDevice> ClaimingBackend::claimed(const std::string& node, std::unique_ptr<HidDevice> dev) {
  if (!dev) return dev;
  const std::string key = key_ ? key_(node) : std::string();
  if (key.empty()) return dev;
  return std::make_unique<ClaimedDevice>(std::move(dev), CardClaim::of(key));
}

std::unique_ptr<HidDevice> ClaimingBackend::open(const std::string& node, Access access, std::string* error) {
  return claimed(node, inner_.open(node, access, error));
}

std::unique_ptr<HidDevice> ClaimingBackend::open_checked(const std::string& node, Access access, OpenFailure& why,
                                                         std::string* error) {
  return claimed(node, inner_.open_checked(node, access, why, error));
}

}  // namespace kestrel::platform
