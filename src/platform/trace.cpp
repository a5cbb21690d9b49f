#include "platform/trace.h"

#include <string>

namespace kestrel::platform {

namespace {

std::mutex g_trace_lock;  // keeps lines of the reader and the GUI thread whole

class TracingDevice final : public HidDevice {
 public:
  TracingDevice(std::unique_ptr<HidDevice> inner, FILE* out, std::string card)
      : inner_(std::move(inner)), out_(out), card_(std::move(card)) {}

  bool set_output_report(std::span<const uint8_t> r) override {
    const bool ok = inner_->set_output_report(r);
    trace_line(out_, '>', "output", r, ok, card_);
    return ok;
  }
  bool get_input_report(std::span<uint8_t> r) override {
    const bool ok = inner_->get_input_report(r);
    trace_line(out_, '<', "input", r, ok, card_);
    return ok;
  }
  bool set_feature_report(std::span<const uint8_t> r) override {
    const bool ok = inner_->set_feature_report(r);
    trace_line(out_, '>', "feature", r, ok, card_);
    return ok;
  }
  bool get_feature_report(std::span<uint8_t> r) override {
    const bool ok = inner_->get_feature_report(r);
    trace_line(out_, '<', "feature", r, ok, card_);
    return ok;
  }
  ReadStatus read_interrupt(std::span<uint8_t> buffer, int timeout_ms, size_t& got) override {
    const ReadStatus st = inner_->read_interrupt(buffer, timeout_ms, got);
    if (st == ReadStatus::Ok) trace_line(out_, '<', "interrupt", buffer.first(got), true, card_);
    return st;
  }
  void cancel_read() override { inner_->cancel_read(); }
  bool set_input_buffers(uint32_t count) override { return inner_->set_input_buffers(count); }
  std::shared_ptr<CardClaim> claim() override { return inner_->claim(); }

 private:
  std::unique_ptr<HidDevice> inner_;
  FILE* out_;
  std::string card_;  // "" unless the lines name their card
};

}  // namespace

void trace_line(FILE* out, char dir, const char* kind, std::span<const uint8_t> bytes, bool ok, const std::string& card) {
  static const char kHex[] = "0123456789abcdef";
  std::string line;
  line.reserve(32 + bytes.size() * 3);
  line += dir;
  line += ' ';
  line += kind;
  line += " id=" + std::to_string(bytes.empty() ? 0 : bytes[0]);
  line += " size=" + std::to_string(bytes.size());
  if (!ok) {
    line += " failed";
  } else {
    for (uint8_t b : bytes) {
      line += ' ';
      line += kHex[b >> 4];
      line += kHex[b & 0xF];
    }
  }
  if (!card.empty()) line += " @" + card;
  line += '\n';
  std::lock_guard<std::mutex> g(g_trace_lock);
  fwrite(line.data(), 1, line.size(), out);
  fflush(out);
}

std::unique_ptr<HidDevice> TracingBackend::open(const std::string& node, Access access, std::string* error) {
  auto dev = inner_.open(node, access, error);
  if (!dev) return dev;
  return std::make_unique<TracingDevice>(std::move(dev), out_, name_cards_ ? node : std::string());
}

std::unique_ptr<HidDevice> TracingBackend::open_checked(const std::string& node, Access access, OpenFailure& why,
                                                        std::string* error) {
  auto dev = inner_.open_checked(node, access, why, error);
  if (!dev) return dev;
  return std::make_unique<TracingDevice>(std::move(dev), out_, name_cards_ ? node : std::string());
}

}  // namespace kestrel::platform
