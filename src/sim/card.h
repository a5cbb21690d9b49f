// The simulated card: the card's side of the vendor HID interface for one board model.
//
// It answers the framed commands of the catalogue (reports 11, 10 and 5, answered as input report
// 9), serves the status block as input report 4, the event record as feature report 1, the video
// input selection as feature report 7, the debug-output report 8 and the legacy register reports
// 12/13, holds register banks that make each model's probe answer as that model, and queues
// asynchronous reports for the interrupt pipe. It judges the host's frames with code of its own;
// only the byte-level checksum, CRC and little-endian helpers are shared with the host.
//
// Every host call is offered to the card's channels first (in the order they were added); the
// card handles a report itself only when every channel answers Handled::No. Channels run under
// the card's lock and may call the card's channel-facing methods (step, delay_ms, latency,
// device_time_ns, state, update, queue_interrupt) from inside their callbacks.
//
// Thread-safety: every public method may be called from any thread. Host calls are serialised
// (one transaction at a time, as on the real control pipe); read_interrupt waits apart from them.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hid_backend.h"
#include "sim/channel.h"
#include "sim/fifo_mutex.h"
#include "sim/scenario.h"

namespace kestrel::sim {

// How a report reached the card.
enum class ReportKind : uint8_t {
  Output,      // set output report: the bytes the host sent
  FeatureSet,  // set feature report: the bytes the host sent
  InputGet,    // get input report: the buffer as the host handed it over (ID in byte 0)
  FeatureGet,  // get feature report: likewise
};

struct ReceivedReport {
  ReportKind kind;
  std::vector<uint8_t> bytes;
};

// Legacy register read answer (input report 13, 261 bytes): the card repeats the request's
// device, register and count in bytes 1..3 and places the data from byte 4.
constexpr size_t LEGACY_REPORT_SIZE = 261;
constexpr size_t LEGACY_DATA_OFFSET = 4;
constexpr uint8_t RID_LEGACY_REG_REQ = 12;  // output
constexpr uint8_t RID_LEGACY_REG_ANS = 13;  // input, fetched

// Report IDs of the interrupt pipe besides 2 (event) and 8 (debug text).
constexpr uint8_t RID_ASYNC_EVENT = 2;
constexpr uint8_t RID_ASYNC_TEXT = 3;
constexpr uint8_t RID_ASYNC_MIXED = 12;  // byte 2 = 1 debug text, 2 event record

// Event codes the card sends in word 1 of its event record.
constexpr uint16_t EVENT_STATUS_CHANGE = 1;  // the host re-reads status and monitor
constexpr uint16_t EVENT_FRAME_TIMING = 72;  // a new frame-timing record: the host runs the monitor query

// The card's own reading of an image's info text: the board tag and the version its firmware
// would report ("V2.0.6800 build 2024-12-25 10:01:06"); both empty when the image has no such text.
std::pair<std::string, std::string> image_identity(const std::vector<uint8_t>& image);

class SimCard {
 public:
  explicit SimCard(Scenario scenario);
  ~SimCard();
  SimCard(const SimCard&) = delete;
  SimCard& operator=(const SimCard&) = delete;

  // ---- Identity and live state -------------------------------------------------------------

  BoardModel model() const { return model_; }
  std::string_view name() const { return model_name(model_); }
  // The scenario as the card was made with it.
  const Scenario& initial_scenario() const { return initial_; }
  // The live state: the scenario with every change the host or a test made since.
  Scenario state() const;
  // Changes the live state under the card's lock (input, signal, busy, versions, ...).
  void update(const std::function<void(Scenario&)>& change);
  // The property block now in effect (the layout board_control code 8 exchanges): what the
  // card's picture shows.
  std::array<uint8_t, 32> properties() const;
  // "<model>:<firmware> FPGA:<fpga>" of the live state.
  std::string status_text() const;
  // The HID report descriptor of the card's interface (every report ID with its size).
  static std::vector<uint8_t> report_descriptor();

  // ---- The host's calls (a HidDevice forwards these) ---------------------------------------
  // Each returns what the platform call would: false when the card is unplugged, does not know
  // the report, or a fault drops the answer.

  bool set_output_report(std::span<const uint8_t> report);
  bool get_input_report(std::span<uint8_t> report);
  bool set_feature_report(std::span<const uint8_t> report);
  bool get_feature_report(std::span<uint8_t> report);

  // Blocks until an interrupt report is queued, `cancel` is set (see wake_readers), the card is
  // unplugged or re-plugged past `generation`, or timeout_ms of real time pass (< 0: no limit).
  // Real time, because simulated time does not move while a reader waits.
  platform::ReadStatus read_interrupt(std::span<uint8_t> buffer, int timeout_ms, size_t& got,
                                      uint32_t generation, std::atomic<bool>& cancel);
  // Wakes every read_interrupt so that it looks at its cancel flag again. A set cancel flag is
  // cleared by the read that returns Cancelled for it.
  void wake_readers();

  // ---- Plugging ------------------------------------------------------------------------------

  bool plugged() const { return plugged_.load(std::memory_order_acquire); }
  // Counts plug-ins; a handle opened in one generation is dead in every later one.
  uint32_t generation() const { return generation_.load(std::memory_order_acquire); }
  bool alive(uint32_t generation) const { return plugged() && this->generation() == generation; }
  void plug();
  void unplug();
  // Called after every plug() and unplug() (also an unplug by fault), outside the card's lock.
  void set_plug_listener(std::function<void(bool plugged)> listener);

  // ---- Restart after an upgrade ----------------------------------------------------------------
  // A channel tells the card that a whole image is in its flash. From its next start the card
  // runs it: a USB-controller image's info text ("key-<tag>:<version> build <stamp> ...") gives
  // the tag and firmware version of its status text. When the host then unlocks the card
  // (command 7, 0x20..0x22) a card that restarts by itself leaves the bus once that answer is
  // fetched and comes back restart_ms later (poll_return); one that needs a replug waits for
  // plug().
  void note_image_written(uint16_t kind, const std::vector<uint8_t>& image);
  // Called by the card's own command 7 handler: the host has let go of the card.
  void on_host_released();
  // True while the card is away restarting.
  bool returning() const;
  // Plugs the card back in when its restart time has come (kestrel's clock); true when it did.
  bool poll_return();

  // ---- Channels ----------------------------------------------------------------------------

  void add_channel(std::shared_ptr<SimChannel> channel);
  // Puts a channel before every other: it sees each host call first (the hostile card).
  void add_channel_front(std::shared_ptr<SimChannel> channel);

  // Counts one step of `kind` and answers the fault planned for it (Fault::None when nothing
  // fires). StepKind::Command is named by `code`; the other kinds by their 1-based count, which
  // this call advances. A fault that fires is armed for the current transaction: Unplug takes
  // effect when the current host call returns; the answer faults act on the next answer fetched
  // (get input or get feature report), or on as many fetches in a row as the rule's `fetches`
  // says. A fault still armed when the next request arrives is dropped.
  Fault step(StepKind kind, uint32_t code = 0);
  uint32_t step_count(StepKind kind) const;
  // The hold-back of the Slow or SlowFail fault that step() last answered (its rule's delay_ms).
  uint32_t armed_delay_ms() const;
  const LatencyModel& latency() const { return latency_; }
  // Waits `ms` through kestrel::sleep_ms (simulated time under a SimClock); 0 does nothing.
  static void delay_ms(uint32_t ms);
  // Nanoseconds on the card's clock: host monotonic time plus the scenario's offset.
  uint64_t device_time_ns() const;

  // ---- Asynchronous reports (interrupt pipe) -------------------------------------------------

  // Queues a whole report (ID in byte 0) as the next interrupt report. The queue holds at most
  // kInterruptQueueMax reports; the oldest is dropped beyond that.
  void queue_interrupt(std::vector<uint8_t> report);
  static constexpr size_t kInterruptQueueMax = 272;
  size_t interrupt_queue_size() const;
  // An event record with this code as input report 2 (or wrapped in report 12 when
  // report_id is 12). Updates the card's last event record.
  void send_event(uint16_t code, uint32_t word2 = 0, uint8_t report_id = RID_ASYNC_EVENT);
  // Debug text in report 3, 8 or 12 (byte 2 = 1), split into pieces that fit the report.
  void send_debug_text(std::string_view text, uint8_t report_id = 8);
  // A new frame: advances the frame-timing records of the monitor block and, when the card
  // sends asynchronous reports, sends event 72.
  void frame_tick();
  // Changes the input signal and sends event 1 when the card sends asynchronous reports.
  void set_signal(bool present, uint16_t width = 1920, uint16_t height = 1080, uint8_t frame_rate = 60,
                  bool interlaced = false);

  // Text for the polled debug-output report 8 (fetched by cards without asynchronous reports),
  // split into 240-byte pieces; and an update notice (kind 2) for the same poll.
  void queue_polled_text(std::string_view text);
  void queue_update_notice();

  // ---- Registers ---------------------------------------------------------------------------

  // nullopt when no such device is on the card's buses.
  std::optional<uint8_t> read_register(uint8_t device, uint8_t reg) const;
  void set_register(uint8_t device, uint8_t reg, uint8_t value);
  void remove_device(uint8_t device);

  // ---- Canned answers (tests) ---------------------------------------------------------------

  // Answers with `payload` instead of the card's own payload wherever an answer carries command
  // byte `cmd` (9 for the tail of command 8); nullopt goes back to the card's own. A refusal
  // stays a refusal.
  void override_answer(uint8_t cmd, std::optional<std::vector<uint8_t>> payload);

  // ---- What the card received and did ------------------------------------------------------

  std::vector<ReceivedReport> reports() const;
  // The bytes of every report of one kind, oldest first.
  std::vector<std::vector<uint8_t>> reports_of(ReportKind kind) const;
  void clear_reports();
  // Framed requests the card refused to take (wrong size, length or checksum).
  uint32_t rejected_frames() const;
  // Codes of command 11 and the three words of command 14, as received.
  std::vector<uint32_t> async_actions() const;
  std::vector<std::array<uint32_t, 3>> notifications() const;
  // True after the host asked for asynchronous reports (command 11 code 24 or command 14).
  bool async_requested() const;

  struct Impl;  // the command handlers and records (card_*.cpp)

 private:
  struct PlannedFault {
    FaultRule rule;
    uint32_t fired = 0;
  };

  void record(ReportKind kind, std::span<const uint8_t> report);
  template <typename ChannelCall, typename CardCall>
  bool request(ReportKind kind, std::span<const uint8_t> report, ChannelCall on_channel, CardCall on_card);
  template <typename ChannelCall, typename CardCall>
  bool fetch(ReportKind kind, std::span<uint8_t> report, ChannelCall on_channel, CardCall on_card);
  bool finish(bool ok, std::unique_lock<FifoRecursiveMutex>& lk);
  // The latency of one transfer (under mu_).
  void spend_transfer_time();

  const BoardModel model_;
  const Scenario initial_;
  const LatencyModel latency_;

  mutable FifoRecursiveMutex mu_;  // transfers of several threads are served in turn
  std::unique_ptr<Impl> impl_;
  std::vector<std::shared_ptr<SimChannel>> channels_;
  std::vector<ReceivedReport> log_;

  // Fault plan and step counters (indexed by StepKind).
  std::vector<PlannedFault> rules_;
  uint32_t counts_[4] = {};
  Fault armed_ = Fault::None;
  uint32_t armed_delay_ms_ = 0;
  uint32_t armed_fetches_ = 0;  // fetches the armed answer fault still spoils
  uint64_t transfer_debt_us_ = 0;  // transfer latency not yet spent (under a millisecond)

  // The image the card runs from its next start, and the restart in progress.
  struct PendingImage {
    std::string tag;               // the board tag the image's firmware names itself by
    std::string firmware_version;  // empty: the version stays
  };
  std::optional<PendingImage> pending_image_;
  bool leave_after_answer_ = false;  // the unlock's answer is fetched, then the card restarts
  std::atomic<uint64_t> return_at_ns_{0};  // 0: not away restarting
  void apply_pending_image();  // under mu_

  std::atomic<bool> plugged_{true};
  std::atomic<uint32_t> generation_{1};
  std::function<void(bool)> plug_listener_;

  mutable std::mutex irq_mu_;
  std::condition_variable irq_cv_;
  std::deque<std::vector<uint8_t>> irq_queue_;
};

}  // namespace kestrel::sim
