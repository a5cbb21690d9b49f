// A HidDevice for the link's own tests: records every report it is given and answers fetches
// from a queue. Tests of behaviour above the link use the simulated card instead.
#pragma once

#include <cstring>
#include <deque>
#include <vector>

#include "platform/hid_backend.h"

namespace kestrel::test {

class RecordingDevice : public platform::HidDevice {
 public:
  std::vector<std::vector<uint8_t>> sent;      // output reports, as given
  std::vector<std::vector<uint8_t>> fetched;   // input report requests, as given (byte 0 = ID)
  std::deque<std::vector<uint8_t>> answers;    // next get_input_report answers
  bool fail_send = false;
  bool fail_get = false;

  bool set_output_report(std::span<const uint8_t> r) override {
    if (fail_send) return false;
    sent.emplace_back(r.begin(), r.end());
    return true;
  }
  bool get_input_report(std::span<uint8_t> r) override {
    fetched.emplace_back(r.begin(), r.end());
    if (fail_get || answers.empty()) return false;
    std::vector<uint8_t> a = std::move(answers.front());
    answers.pop_front();
    std::memset(r.data(), 0, r.size());
    std::memcpy(r.data(), a.data(), std::min(a.size(), r.size()));
    return true;
  }
  bool set_feature_report(std::span<const uint8_t> r) override { sent.emplace_back(r.begin(), r.end()); return true; }
  bool get_feature_report(std::span<uint8_t>) override { return false; }
  platform::ReadStatus read_interrupt(std::span<uint8_t>, int, size_t&) override { return platform::ReadStatus::Timeout; }
  void cancel_read() override {}
  bool set_input_buffers(uint32_t) override { return true; }
};

}  // namespace kestrel::test
