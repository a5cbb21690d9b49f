#include "sim/sim_backend.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <utility>

#include "sim/download_channel.h"

namespace kestrel::sim {

namespace {

constexpr const char* kNodePrefix = "sim:";
constexpr const char* kHidClassGuid = "{4d1e55b2-f16f-11cf-88cb-001111000030}";

// One open handle on a card. It belongs to the card's plug generation it was opened in.
class SimDevice final : public platform::HidDevice {
 public:
  SimDevice(std::shared_ptr<SimCard> card, platform::Access access)
      : card_(std::move(card)), generation_(card_->generation()), access_(access) {}

  bool set_output_report(std::span<const uint8_t> r) override {
    return usable() && card_->set_output_report(r);
  }
  bool get_input_report(std::span<uint8_t> r) override { return usable() && card_->get_input_report(r); }
  bool set_feature_report(std::span<const uint8_t> r) override {
    return usable() && card_->set_feature_report(r);
  }
  bool get_feature_report(std::span<uint8_t> r) override { return usable() && card_->get_feature_report(r); }

  platform::ReadStatus read_interrupt(std::span<uint8_t> buffer, int timeout_ms, size_t& got) override {
    got = 0;
    if (access_ != platform::Access::ReadWrite) return platform::ReadStatus::Error;
    return card_->read_interrupt(buffer, timeout_ms, got, generation_, cancel_);
  }
  void cancel_read() override {
    cancel_.store(true);
    card_->wake_readers();
  }
  bool set_input_buffers(uint32_t) override { return card_->alive(generation_); }

 private:
  bool usable() const { return access_ == platform::Access::ReadWrite && card_->alive(generation_); }

  std::shared_ptr<SimCard> card_;
  const uint32_t generation_;
  const platform::Access access_;
  std::atomic<bool> cancel_{false};
};

bool parse_node(const std::string& node, size_t& index) {
  const std::string prefix = kNodePrefix;
  if (node.compare(0, prefix.size(), prefix) != 0 || node.size() == prefix.size()) return false;
  index = 0;
  for (size_t i = prefix.size(); i < node.size(); ++i) {
    if (node[i] < '0' || node[i] > '9') return false;
    index = index * 10 + static_cast<size_t>(node[i] - '0');
  }
  return true;
}

}  // namespace

SimBackend::SimBackend() : event_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SimBackend::~SimBackend() {
  {
    std::lock_guard lk(mu_);
    stopping_ = true;
  }
  returns_cv_.notify_all();
  if (returns_thread_.joinable()) returns_thread_.join();
  for (auto& c : cards_) c->set_plug_listener(nullptr);
  if (event_fd_ >= 0) close(event_fd_);
}

std::shared_ptr<SimCard> SimBackend::add_card(const Scenario& scenario, bool plugged, const std::string& port) {
  auto card = std::make_shared<SimCard>(scenario);
  attach_storage(*card);  // its QSPI flash, the flash channel and the HID download protocol
  if (!plugged) card->unplug();
  size_t index = 0;
  {
    std::lock_guard lk(mu_);
    index = cards_.size();
    cards_.push_back(card);
    ports_.push_back(port);
  }
  card->set_plug_listener([this, index, c = card.get()](bool in) {
    if (in) {
      std::lock_guard lk(mu_);
      if (refusals_left_.size() <= index) refusals_left_.resize(index + 1, 0);
      refusals_left_[index] = refuse_after_plug_;
    }
    notify(in ? platform::HotplugEvent::Kind::Arrival : platform::HotplugEvent::Kind::Removal, index);
    if (!in && c->returning()) watch_returns();
  });
  if (plugged) notify(platform::HotplugEvent::Kind::Arrival, index);
  return card;
}

size_t SimBackend::card_count() const {
  std::lock_guard lk(mu_);
  return cards_.size();
}

std::shared_ptr<SimCard> SimBackend::card(size_t index) const {
  std::lock_guard lk(mu_);
  return index < cards_.size() ? cards_[index] : nullptr;
}

void SimBackend::plug(size_t index) {
  if (auto c = card(index)) c->plug();
}

void SimBackend::unplug(size_t index) {
  if (auto c = card(index)) c->unplug();
}

void SimBackend::poll_returns() {
  for (size_t i = 0, n = card_count(); i < n; ++i)
    if (auto c = card(i)) c->poll_return();
}

void SimBackend::refuse_opens_after_plug(size_t count, platform::OpenFailure why) {
  std::lock_guard lk(mu_);
  refuse_after_plug_ = count;
  refuse_why_ = why;
}

size_t SimBackend::refused_opens() const {
  std::lock_guard lk(mu_);
  return refused_;
}

void SimBackend::return_in_background(bool on) {
  std::lock_guard lk(mu_);
  background_returns_ = on;
}

void SimBackend::watch_returns() {
  std::lock_guard lk(mu_);
  if (!background_returns_ || returns_thread_.joinable() || stopping_) return;
  returns_thread_ = std::thread([this] {
    constexpr auto kPeriod = std::chrono::milliseconds(20);
    std::unique_lock lk(mu_);
    while (!returns_cv_.wait_for(lk, kPeriod, [this] { return stopping_; })) {
      lk.unlock();
      poll_returns();
      lk.lock();
    }
  });
}

std::string SimBackend::node_of(size_t index) { return kNodePrefix + std::to_string(index); }

std::string SimBackend::path_of(size_t index) const {
  auto c = card(index);
  if (!c) return {};
  const Scenario& s = c->initial_scenario();
  char buf[160];
  std::snprintf(buf, sizeof buf, "\\\\?\\hid#vid_%04x&pid_%04x&mi_%02d#7&2a3b&0&%04zu#%s", s.vendor_id,
                s.product_id, s.interface_number < 0 ? 0 : s.interface_number, index, kHidClassGuid);
  return buf;
}

std::string SimBackend::port_of(size_t index) { return "1-" + std::to_string(index + 1); }

std::string SimBackend::serial_of(size_t index) {
  char b[16];
  std::snprintf(b, sizeof b, "KSIM%04zu", index + 1);
  return b;
}

bool SimBackend::enumerate(std::vector<platform::HidInterfaceInfo>& out) {
  poll_returns();
  out.clear();
  const size_t n = card_count();
  for (size_t i = 0; i < n; ++i) {
    auto c = card(i);
    if (!c->plugged()) continue;
    const Scenario& s = c->initial_scenario();
    platform::HidInterfaceInfo info;
    info.node = node_of(i);
    info.path = path_of(i);
    info.vendor_id = s.vendor_id;
    info.product_id = s.product_id;
    info.release = s.release;
    info.interface_number = s.interface_number;
    info.product = s.product_ok ? s.product : std::string();
    info.product_ok = s.product_ok;
    info.report_descriptor = SimCard::report_descriptor();
    {
      std::lock_guard lk(mu_);
      info.port = ports_[i].empty() ? port_of(i) : ports_[i];
    }
    info.serial = serial_of(i);
    out.push_back(std::move(info));
  }
  return true;
}

std::unique_ptr<platform::HidDevice> SimBackend::open(const std::string& node, platform::Access access,
                                                      std::string* error) {
  size_t index = 0;
  std::shared_ptr<SimCard> c;
  if (parse_node(node, index)) c = card(index);
  if (!c || !c->plugged()) {
    if (error) *error = "no simulated card at " + node;
    return nullptr;
  }
  return std::make_unique<SimDevice>(c, access);
}

std::unique_ptr<platform::HidDevice> SimBackend::open_checked(const std::string& node, platform::Access access,
                                                              platform::OpenFailure& why, std::string* error) {
  size_t index = 0;
  if (parse_node(node, index)) {
    std::lock_guard lk(mu_);
    const bool refused = index < refusals_left_.size() && refusals_left_[index] > 0 &&
                         (refuse_why_ == platform::OpenFailure::NotFound || access == platform::Access::ReadWrite);
    if (refused) {
      --refusals_left_[index];
      ++refused_;
      why = refuse_why_;
      if (error)
        *error = node + (why == platform::OpenFailure::Permission ? ": permission denied" : ": no such device node");
      return nullptr;
    }
  }
  auto dev = open(node, access, error);
  why = dev ? platform::OpenFailure::None : platform::OpenFailure::NotFound;
  return dev;
}

int SimBackend::hotplug_fd() { return event_fd_; }

std::vector<platform::HotplugEvent> SimBackend::drain_hotplug() {
  poll_returns();
  std::lock_guard lk(mu_);
  uint64_t n = 0;
  if (event_fd_ >= 0 && read(event_fd_, &n, sizeof n) < 0) n = 0;  // EAGAIN: nothing was pending
  return std::exchange(events_, {});
}

void SimBackend::notify(platform::HotplugEvent::Kind kind, size_t index) {
  std::lock_guard lk(mu_);
  events_.push_back({kind, node_of(index)});
  const uint64_t one = 1;
  if (event_fd_ >= 0 && write(event_fd_, &one, sizeof one) < 0) return;  // counter full: already readable
}

}  // namespace kestrel::sim
