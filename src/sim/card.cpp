// The simulated card's frame around its handlers: the report log, the channels, the fault plan
// and latency, plugging, and the interrupt queue.
#include "sim/card.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "log/clock.h"
#include "sim/card_impl.h"

namespace kestrel::sim {

SimCard::SimCard(Scenario scenario)
    : model_(scenario.model), initial_(scenario), latency_(scenario.latency),
      impl_(std::make_unique<Impl>(*this, scenario)) {
  for (const FaultRule& r : scenario.faults.rules) rules_.push_back({r, 0});
}

SimCard::~SimCard() = default;

Scenario SimCard::state() const {
  std::lock_guard lk(mu_);
  return impl_->st;
}

void SimCard::update(const std::function<void(Scenario&)>& change) {
  std::lock_guard lk(mu_);
  change(impl_->st);
}

std::array<uint8_t, 32> SimCard::properties() const {
  std::lock_guard lk(mu_);
  return impl_->props;
}

std::string SimCard::status_text() const {
  std::lock_guard lk(mu_);
  return impl_->st.status_text();
}

// ---- Host calls ----------------------------------------------------------------------------

namespace {

// The card's two input reports that carry answers: the qspi status (6) and the framed answer (9).
// A misrouted answer arrives under the other one.
uint8_t other_report_id(uint8_t id) { return id == 9 ? 6 : 9; }

// Recomputes the checksum of a framed answer after a fault changed its header, when the length
// field says the frame fits the report.
void reseal(std::span<uint8_t> r) {
  if (r.size() < FRAME_HDR) return;
  const size_t total = FRAME_HDR + get_le16(r.data() + FRAME_LEN);
  if (total > r.size()) return;
  put_le16(r.data() + FRAME_CSUM, 0);
  put_le16(r.data() + FRAME_CSUM, static_cast<uint16_t>(~frame_csum(r.data(), total)));
}

void apply_answer_fault(std::span<uint8_t> r, Fault f) {
  if (r.empty()) return;
  if (f == Fault::WrongReportId) {
    r[0] = other_report_id(r[0]);
    return;
  }
  if (r.size() < FRAME_HDR) return;
  switch (f) {
    case Fault::CorruptChecksum: r[FRAME_CSUM] ^= 0x5A; break;
    case Fault::StaleSequence: r[FRAME_SEQ] = static_cast<uint8_t>(r[FRAME_SEQ] - 1); reseal(r); break;
    case Fault::Refuse: r[FRAME_SUB] |= ANSWER_REFUSED; reseal(r); break;
    default: break;
  }
}

}  // namespace

void SimCard::record(ReportKind kind, std::span<const uint8_t> report) {
  log_.push_back({kind, std::vector<uint8_t>(report.begin(), report.end())});
}

// A request: counted as a transaction, offered to the channels, then to the card itself.
template <typename ChannelCall, typename CardCall>
bool SimCard::request(ReportKind kind, std::span<const uint8_t> report, ChannelCall on_channel, CardCall on_card) {
  std::unique_lock lk(mu_);
  record(kind, report);
  if (!plugged()) return false;
  spend_transfer_time();
  armed_ = Fault::None;
  step(StepKind::Transaction);
  bool ok = false;
  if (armed_ != Fault::Unplug) {
    Handled h = Handled::No;
    for (auto& ch : channels_)
      if ((h = on_channel(*ch)) != Handled::No) break;
    ok = h == Handled::No ? on_card() : h == Handled::Ok;
    // A request that leaves nothing to fetch takes its delay now (and fails after it).
    if ((armed_ == Fault::Slow || armed_ == Fault::SlowFail) && h == Handled::No && impl_->answers.empty()) {
      if (armed_ == Fault::SlowFail) ok = false;
      armed_ = Fault::None;
      delay_ms(armed_delay_ms_);
    }
  }
  return finish(ok, lk);
}

// A fetch: the armed answer fault acts on it.
template <typename ChannelCall, typename CardCall>
bool SimCard::fetch(ReportKind kind, std::span<uint8_t> report, ChannelCall on_channel, CardCall on_card) {
  std::unique_lock lk(mu_);
  record(kind, report);
  if (!plugged()) return false;
  spend_transfer_time();
  Fault f = Fault::None;
  if (armed_ != Fault::Unplug) {
    f = armed_;
    if (armed_fetches_ > 1)
      --armed_fetches_;  // the refetch meets the same fault
    else
      armed_ = Fault::None;
  }
  if (f == Fault::Slow || f == Fault::SlowFail) delay_ms(armed_delay_ms_);
  Handled h = Handled::No;
  for (auto& ch : channels_)
    if ((h = on_channel(*ch)) != Handled::No) break;
  bool ok = h == Handled::No ? on_card() : h == Handled::Ok;
  if (f == Fault::DropAnswer || f == Fault::SlowFail) ok = false;
  if (ok) apply_answer_fault(report, f);
  if (leave_after_answer_ && armed_ != Fault::Unplug) {
    // The host has its answer to the unlock: the card restarts into the image it was given.
    leave_after_answer_ = false;
    const uint64_t at = clock_now_ns() + static_cast<uint64_t>(impl_->st.restart_ms) * 1'000'000ULL;
    return_at_ns_.store(at ? at : 1, std::memory_order_release);
    lk.unlock();
    unplug();
    return ok;
  }
  return finish(ok, lk);
}

bool SimCard::finish(bool ok, std::unique_lock<FifoRecursiveMutex>& lk) {
  if (armed_ != Fault::Unplug) return ok;
  armed_ = Fault::None;
  lk.unlock();
  unplug();
  return false;
}

bool SimCard::set_output_report(std::span<const uint8_t> report) {
  return request(
      ReportKind::Output, report, [&](SimChannel& c) { return c.on_set_output(report); },
      [&] { return impl_->on_output(report); });
}

bool SimCard::set_feature_report(std::span<const uint8_t> report) {
  return request(
      ReportKind::FeatureSet, report, [&](SimChannel& c) { return c.on_set_feature(report); },
      [&] { return impl_->on_set_feature(report); });
}

bool SimCard::get_input_report(std::span<uint8_t> report) {
  return fetch(
      ReportKind::InputGet, report, [&](SimChannel& c) { return c.on_get_input(report); },
      [&] { return impl_->on_get_input(report); });
}

bool SimCard::get_feature_report(std::span<uint8_t> report) {
  return fetch(
      ReportKind::FeatureGet, report, [&](SimChannel& c) { return c.on_get_feature(report); },
      [&] { return impl_->on_get_feature(report); });
}

// ---- Faults, latency, time -------------------------------------------------------------------

Fault SimCard::step(StepKind kind, uint32_t code) {
  std::lock_guard lk(mu_);
  const auto k = static_cast<size_t>(kind);
  const uint32_t count = ++counts_[k];
  const uint32_t value = kind == StepKind::Command ? code : count;
  for (PlannedFault& p : rules_) {
    if (p.rule.kind != kind || p.rule.value != value) continue;
    if (p.rule.times != 0 && p.fired >= p.rule.times) continue;
    ++p.fired;
    armed_ = p.rule.fault;
    armed_delay_ms_ = p.rule.delay_ms;
    armed_fetches_ = p.rule.fetches;
    return armed_;
  }
  return Fault::None;
}

uint32_t SimCard::step_count(StepKind kind) const {
  std::lock_guard lk(mu_);
  return counts_[static_cast<size_t>(kind)];
}

uint32_t SimCard::armed_delay_ms() const {
  std::lock_guard lk(mu_);
  return armed_delay_ms_;
}

void SimCard::spend_transfer_time() {
  transfer_debt_us_ += static_cast<uint64_t>(latency_.per_transfer_ms) * 1000 + latency_.per_transfer_us;
  if (transfer_debt_us_ < 1000) return;
  const uint64_t ms = transfer_debt_us_ / 1000;
  transfer_debt_us_ %= 1000;
  delay_ms(static_cast<uint32_t>(std::min<uint64_t>(ms, 0xFFFFFFFFu)));
}

void SimCard::delay_ms(uint32_t ms) {
  if (ms) kestrel::sleep_ms(ms);
}

uint64_t SimCard::device_time_ns() const {
  return clock_now_ns() + static_cast<uint64_t>(initial_.device_time_offset_ns);
}

// ---- Plugging --------------------------------------------------------------------------------

// The card's own reading of an image's info text: after "key-", the tag up to ':', then the text
// up to the end of the build stamp ("V2.0.6800 build 2024-12-25 10:01:06"), which its firmware
// gives as its version. Empty when the image carries no such text.
std::pair<std::string, std::string> image_identity(const std::vector<uint8_t>& image) {
  const std::string text(image.begin(), image.end());
  for (size_t k = text.find("key-"); k != std::string::npos; k = text.find("key-", k + 4)) {
    const size_t start = k + 4;
    const size_t stop = text.find('\0', start);
    const std::string info = text.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
    const size_t colon = info.find(':');
    const size_t build = colon == std::string::npos ? std::string::npos : info.find("build", colon);
    if (build == std::string::npos) continue;
    size_t q = build + 5;
    while (q < info.size() && info[q] == ' ') ++q;
    constexpr size_t kStamp = 19;  // YYYY-MM-DD HH:MM:SS
    if (q + kStamp > info.size() || info[q + 4] != '-' || info[q + 13] != ':') continue;
    return {info.substr(0, colon), info.substr(colon + 1, q + kStamp - colon - 1)};
  }
  return {};
}

void SimCard::note_image_written(uint16_t kind, const std::vector<uint8_t>& image) {
  std::lock_guard lk(mu_);
  PendingImage p;
  if (kind == 2 && impl_->st.after_upgrade != Scenario::AfterUpgrade::RestartIntoOld) {
    auto [tag, version] = image_identity(image);
    if (!version.empty()) {
      p.tag = tag;
      p.firmware_version = version;
    }
  }
  pending_image_ = std::move(p);
}

void SimCard::on_host_released() {
  std::lock_guard lk(mu_);
  if (pending_image_ && impl_->st.after_upgrade != Scenario::AfterUpgrade::NeedsReplug) leave_after_answer_ = true;
}

void SimCard::apply_pending_image() {
  if (!pending_image_) return;
  if (!pending_image_->firmware_version.empty()) {
    impl_->st.firmware_version = pending_image_->firmware_version;
    if (pending_image_->tag != model_name(model_)) impl_->st.reported_tag = pending_image_->tag;
    else impl_->st.reported_tag.reset();
  }
  pending_image_.reset();
}

bool SimCard::returning() const { return return_at_ns_.load(std::memory_order_acquire) != 0 && !plugged(); }

bool SimCard::poll_return() {
  const uint64_t at = return_at_ns_.load(std::memory_order_acquire);
  if (at == 0 || plugged() || clock_now_ns() < at) return false;
  plug();
  return true;
}

void SimCard::plug() {
  std::function<void(bool)> listener;
  {
    std::lock_guard lk(mu_);
    if (plugged()) return;
    // A card coming back from a restart or a power cycle runs what its flash holds.
    apply_pending_image();
    return_at_ns_.store(0, std::memory_order_release);
    leave_after_answer_ = false;
    generation_.fetch_add(1, std::memory_order_acq_rel);
    impl_->reset_session();
    armed_ = Fault::None;
    {
      std::lock_guard q(irq_mu_);
      irq_queue_.clear();
    }
    plugged_.store(true, std::memory_order_release);
    listener = plug_listener_;
  }
  if (listener) listener(true);
}

void SimCard::unplug() {
  if (!plugged_.exchange(false, std::memory_order_acq_rel)) return;
  wake_readers();
  std::function<void(bool)> listener;
  {
    std::lock_guard lk(mu_);
    listener = plug_listener_;
  }
  if (listener) listener(false);
}

void SimCard::set_plug_listener(std::function<void(bool)> listener) {
  std::lock_guard lk(mu_);
  plug_listener_ = std::move(listener);
}

void SimCard::add_channel(std::shared_ptr<SimChannel> channel) {
  std::lock_guard lk(mu_);
  channels_.push_back(std::move(channel));
}

void SimCard::add_channel_front(std::shared_ptr<SimChannel> channel) {
  std::lock_guard lk(mu_);
  channels_.insert(channels_.begin(), std::move(channel));
}

// ---- Interrupt pipe --------------------------------------------------------------------------

platform::ReadStatus SimCard::read_interrupt(std::span<uint8_t> buffer, int timeout_ms, size_t& got,
                                             uint32_t gen, std::atomic<bool>& cancel) {
  got = 0;
  std::unique_lock lk(irq_mu_);
  auto ready = [&] { return !alive(gen) || cancel.load() || !irq_queue_.empty(); };
  if (timeout_ms < 0) {
    irq_cv_.wait(lk, ready);
  } else if (!irq_cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), ready)) {
    return platform::ReadStatus::Timeout;
  }
  if (!alive(gen)) return platform::ReadStatus::Gone;
  if (cancel.exchange(false)) return platform::ReadStatus::Cancelled;
  std::vector<uint8_t> r = std::move(irq_queue_.front());
  irq_queue_.pop_front();
  got = std::min(r.size(), buffer.size());
  std::copy_n(r.begin(), got, buffer.begin());
  return platform::ReadStatus::Ok;
}

void SimCard::wake_readers() {
  { std::lock_guard lk(irq_mu_); }
  irq_cv_.notify_all();
}

void SimCard::queue_interrupt(std::vector<uint8_t> report) {
  if (!plugged()) return;
  {
    std::lock_guard lk(irq_mu_);
    if (irq_queue_.size() >= kInterruptQueueMax) irq_queue_.pop_front();
    irq_queue_.push_back(std::move(report));
  }
  irq_cv_.notify_all();
}

size_t SimCard::interrupt_queue_size() const {
  std::lock_guard lk(irq_mu_);
  return irq_queue_.size();
}

void SimCard::send_event(uint16_t code, uint32_t word2, uint8_t report_id) {
  std::vector<uint8_t> r(ASYNC_READ_SIZE, 0);
  {
    std::lock_guard lk(mu_);
    put_le32(impl_->last_event.data() + 16, code);
    put_le32(impl_->last_event.data() + 20, word2);
    uint8_t ev[EVENT_SIZE];
    impl_->make_event(ev, RID_ASYNC_EVENT);
    if (report_id == RID_ASYNC_MIXED)
      frame_build(r.data(), RID_ASYNC_MIXED, 0, 2, 0, ev, EVENT_SIZE);
    else
      std::copy_n(ev, EVENT_SIZE, r.begin());  // report 2 is the record itself, ID = kind 2
  }
  queue_interrupt(std::move(r));
}

void SimCard::send_debug_text(std::string_view text, uint8_t report_id) {
  // Reports 3 and 12 carry at most 55 bytes; report 8 as much as its 248-byte fetched form holds.
  const size_t piece = report_id == RID_DEBUG_TEXT ? POLLED_TEXT_MAX : SHORT_PAYLOAD_MAX;
  for (size_t at = 0; at < text.size(); at += piece) {
    const std::string_view part = text.substr(at, piece);
    std::vector<uint8_t> r(ASYNC_READ_SIZE, 0);
    frame_build(r.data(), report_id, 0, 1, 0, reinterpret_cast<const uint8_t*>(part.data()),
                static_cast<uint16_t>(part.size()));
    queue_interrupt(std::move(r));
  }
}

void SimCard::frame_tick() {
  bool send = false;
  uint32_t frames = 0;
  {
    std::lock_guard lk(mu_);
    Impl& m = *impl_;
    std::copy_n(m.monitor.begin(), 24, m.monitor.begin() + 24);  // the last work frame was pushed
    ++m.frames;
    m.set_frame_record(m.monitor.data(), device_time_ns());
    send = m.async_capable();
    frames = m.frames;
  }
  if (send) send_event(EVENT_FRAME_TIMING, frames);
}

void SimCard::set_signal(bool present, uint16_t width, uint16_t height, uint8_t frame_rate, bool interlaced) {
  bool send = false;
  {
    std::lock_guard lk(mu_);
    Scenario& st = impl_->st;
    st.signal = present;
    st.width = width;
    st.height = height;
    st.frame_rate = frame_rate;
    st.interlaced = interlaced;
    send = impl_->async_capable();
  }
  if (send) send_event(EVENT_STATUS_CHANGE, present);
}

void SimCard::queue_polled_text(std::string_view text) {
  std::lock_guard lk(mu_);
  for (size_t at = 0; at < text.size(); at += POLLED_TEXT_MAX) {
    const std::string_view part = text.substr(at, POLLED_TEXT_MAX);
    std::vector<uint8_t> r(POLLED_TEXT_SIZE, 0);
    frame_build(r.data(), RID_DEBUG_TEXT, 0, 1, 0, reinterpret_cast<const uint8_t*>(part.data()),
                static_cast<uint16_t>(part.size()));
    impl_->polled.push_back(std::move(r));
  }
}

void SimCard::queue_update_notice() {
  std::lock_guard lk(mu_);
  std::vector<uint8_t> r(POLLED_TEXT_SIZE, 0);
  const std::string version = impl_->st.status_text();
  frame_build(r.data(), RID_DEBUG_TEXT, 0, 2, 0, reinterpret_cast<const uint8_t*>(version.data()),
              static_cast<uint16_t>(std::min(version.size(), POLLED_TEXT_MAX)));
  impl_->polled.push_back(std::move(r));
}

// ---- Registers and records -------------------------------------------------------------------

std::optional<uint8_t> SimCard::read_register(uint8_t device, uint8_t reg) const {
  std::lock_guard lk(mu_);
  return impl_->regs.read(device, reg);
}

void SimCard::set_register(uint8_t device, uint8_t reg, uint8_t value) {
  std::lock_guard lk(mu_);
  impl_->regs.write(device, reg, value);
}

void SimCard::remove_device(uint8_t device) {
  std::lock_guard lk(mu_);
  impl_->regs.remove(device);
}

void SimCard::override_answer(uint8_t cmd, std::optional<std::vector<uint8_t>> payload) {
  std::lock_guard lk(mu_);
  if (payload) impl_->overrides[cmd] = std::move(*payload);
  else impl_->overrides.erase(cmd);
}

std::vector<ReceivedReport> SimCard::reports() const {
  std::lock_guard lk(mu_);
  return log_;
}

std::vector<std::vector<uint8_t>> SimCard::reports_of(ReportKind kind) const {
  std::lock_guard lk(mu_);
  std::vector<std::vector<uint8_t>> out;
  for (const ReceivedReport& r : log_)
    if (r.kind == kind) out.push_back(r.bytes);
  return out;
}

void SimCard::clear_reports() {
  std::lock_guard lk(mu_);
  log_.clear();
}

uint32_t SimCard::rejected_frames() const {
  std::lock_guard lk(mu_);
  return impl_->rejected;
}

std::vector<uint32_t> SimCard::async_actions() const {
  std::lock_guard lk(mu_);
  return impl_->actions;
}

std::vector<std::array<uint32_t, 3>> SimCard::notifications() const {
  std::lock_guard lk(mu_);
  return impl_->notes;
}

bool SimCard::async_requested() const {
  std::lock_guard lk(mu_);
  return impl_->async_requested;
}

}  // namespace kestrel::sim
