// The session of a front end with the cards: the device list, the card chosen in it (a Card),
// the rescan on a device change, the card's events delivered on the front end's thread, the status
// refresh and timer, the wait after an upgrade, and what a front end shows of the card (lists,
// choices, texts) as plain state, read through snapshot(). A front end that shows it implements
// CardObserver and is told what changed; a front end without its own event loop (kestrelctl)
// delivers the card's events itself with take_posted() and handle(). Nothing derives from it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "card/card.h"
#include "card/restart_wait.h"

namespace kestrel {

// Saved device-event state: the last event record, then the last work and push frame records.
struct DeviceEventState {
  std::array<uint8_t, 24> event{};
  std::array<uint8_t, 24> work{};
  std::array<uint8_t, 24> push{};
};

// What a front end shows of the current card. Lists hold what is offered; a choice is an index
// into its list, -1 for none (an index outside the list is none, as a drop-down list has it).
struct CardShown {
  std::vector<std::string> cards;  // the display names of the cards listed
  int card = -1;
  std::vector<std::string> inputs;
  int input = -1;
  std::vector<std::string> default_sizes;
  int default_size = -1;
  std::vector<std::string> output_ports;  // "NONE" alone when the board offers no choice
  int output_port = -1;
  bool output_port_choice = false;
  bool half_rate = false;
  bool hold = false;  // the hold box: ticked while an input is held
  std::string version;        // the version text beside the card list
  std::string signal_format;  // the signal format label
  std::string title;

  // Input `at` is listed as "unknow": the board has no receiver behind it.
  bool input_unknown(int at) const {
    return at >= 0 && static_cast<size_t>(at) < inputs.size() && inputs[static_cast<size_t>(at)] == "unknow";
  }
};

// What changed of the shown state, for a front end that shows it.
enum class Shown : uint8_t {
  CardList,      // cards, and card
  Card,          // card
  Lists,         // inputs, default sizes, output ports with their choices and output_port_choice
  Input,         // input
  DefaultSize,   // default_size
  OutputPort,    // output_port
  HalfRate,      // half_rate
  Hold,          // the hold box's caption and tick
  Locked,        // the input lock: hold box and input list usable or not, the lock button's caption
  Color,         // the colour format
  Version,
  SignalFormat,
  Title,
  DebugChannel,  // the debug channel's button caption (on or off)
};

// What the card's state reads as, from the current card's own state: the command line and other
// layers read this, never a window's controls.
struct CardSnapshot {
  std::string board;          // the current board's name ("" when none)
  std::string version;        // the version text beside the card list
  std::string signal_format;  // the signal format label
  std::string title;
  int input = -1;             // the input selected, its name, held or scanning, locked
  std::string input_name;
  bool input_held = false;
  bool input_locked = false;
  uint32_t color_format = 0;  // 0 RGB24, 1 YUV2, 2 NV12
  std::string default_size;   // the default size and output port selected ("" when none)
  std::string output_port;
  std::vector<std::string> inputs;  // the lists as offered: inputs, default sizes, output ports
  std::vector<bool> input_usable;   // false for an input the board has no receiver behind
  std::vector<std::string> default_sizes;
  std::vector<std::string> output_ports;
  bool output_port_choice = false;  // the board lets the output port be chosen
};

// Outcome of storing a default size: the index of the user's message in the text table.
enum class DefaultSizeResult : int { NoSize = 33, NotStored = 34, Stored = 35 };

// The card's own events, posted from the reader thread or the card's logic and handled on the
// front end's thread, in order.
enum class CardEvent : uint8_t {
  CardText,      // the reader has debug text from the card in its ring
  StatusChange,  // the card's state changed: refresh (put aside while the download lock is held)
  FrameTiming,   // the card has new frame timing to print
  StdView,       // the card's standard view output changed
  StatusRefresh, // the card says its status text changed
};

// What a front end that shows the session is told; by default nothing is shown. Called on the
// front end's thread.
class CardObserver {
 public:
  virtual void show(Shown) {}
  // The device controls usable or not while the card is busy.
  virtual void show_busy(bool) {}
  virtual void enable_device_controls(bool) {}
  virtual void reset_register_panel() {}
  // The wait for a restarting card: how far it has run out in percent, -1 when it is not shown.
  virtual void show_restart_wait(int) {}
  // A message the user must read and answer (the end of an upgrade).
  virtual void tell(const std::string&) {}
  // What the user has chosen in the controls, copied into `shown`'s choices (card, input,
  // default size, output port, half rate, hold) before the refresh compares them with the card.
  virtual void read_choices(CardShown&) const {}
  // True while the user has the input list open: the refresh does not move its choice then.
  virtual bool input_list_open() const { return false; }

  virtual ~CardObserver() = default;
};

class CardSession {
 public:
  // A session over `list` (the caller's, outliving the session) with the program's script slots.
  explicit CardSession(qhidev_list& list);
  ~CardSession();
  CardSession(const CardSession&) = delete;
  CardSession& operator=(const CardSession&) = delete;

  // The front end that shows the session (null: none), and how the card's events reach the front
  // end's thread (callable from any thread; without one they queue for take_posted()).
  void observe(CardObserver* observer) { observer_ = observer ? observer : &unobserved_; }
  void deliver_events_with(std::function<void(CardEvent)> post) { post_ = std::move(post); }

  // The start: scan, attach the first card, first refresh.
  void init();
  // Sets a choice as a drop-down list takes it: outside the list is none.
  static void choose(int& choice, int index, size_t count);
  // Copies what the user has chosen in the observer's controls into the shown state.
  void take_choices() { observer_->read_choices(shown_); }

  // Card list and attach.
  void board_scan();
  bool board_attach(uint32_t index);
  // Why the last board_attach could not open its card (None after one that could).
  platform::OpenFailure open_failure() const { return card_.open_failure(); }
  // Chooses card `index` of the list and attaches it, as picking it in the card list does.
  void attach_card(int index);
  void board_status_refresh();
  // Steps 1 to 5 of the refresh; false when it stopped early.
  bool status_refresh_steps();
  void show_version_text(const uint8_t* s);
  void refresh_status_display();
  // The status text and display read again (not while the download lock is held).
  void refresh_status();

  // Timer and device change.
  static constexpr uint32_t kTimerId = 101;
  static constexpr uint32_t kTimerPeriodMs = 10;
  static constexpr uint32_t DEVICE_ARRIVAL = 0x8000, DEVICE_QUERY_REMOVE = 0x8001, DEVICE_QUERY_REMOVE_FAILED = 0x8002,
                            DEVICE_REMOVE_PENDING = 0x8003, DEVICE_REMOVE_COMPLETE = 0x8004;
  void on_timer(uint32_t id);
  // True while another program holds the card for an upgrade: the title says so, the device
  // controls are off and nothing is sent; all comes back once the claim is released.
  bool busy_elsewhere();
  void debug_output_poll();
  bool on_device_change(uint32_t event);

  // The card's events, on the front end's thread.
  void handle(CardEvent event);
  void print_card_text();      // the reader's ring, logged
  void on_status_change();     // refreshed, or put aside while the download lock is held
  void print_frame_timing();   // the monitor query's frame records, logged
  void log_stdview_output();
  // Events posted and not yet delivered, in order (without a delivery of the front end's own).
  std::vector<CardEvent> take_posted();

  // Makes `r` the card's reader: its events come to this session.
  void listen_with(ReaderControl& r);
  ReaderControl* reader() const { return card_.reader(); }
  // Waits for a reader callback under way and keeps the reader idle from then on.
  void stop_listening();

  // The video settings. They take what they act on as arguments (an index outside its list is
  // none) and show what came of it.
  void fill_video_lists();
  // Switches to input `input` (an index of the input list), as picking it in the list does;
  // true when the card took the change.
  bool select_input(int input);
  // Stores default size `index` of the list in the card's configuration record.
  DefaultSizeResult set_default_size(int index);
  // Halves high frame rates or not (stored in the configuration record).
  bool set_half_rate(bool on);
  // Holds input `input`, or lets the card scan (the hold box ticked or not); true when the card
  // answered the change.
  bool set_hold(bool hold, int input);
  // Locks input `input` (stored in the card: it stays after a restart), or unlocks the locked
  // one; true when the lock is as asked (already so, or the card took it). On false nothing
  // went to the card or it did not answer, and the lock is as it was.
  bool lock_input(int input);
  bool unlock_input();
  // The card's debug channel: toggled, or switched; the timer does not poll for its debug report
  // while it is on. True when the card answered.
  void toggle_debug_channel();
  bool switch_debug_channel(bool on);

  // The card chosen in the list (the one attached, when one is).
  Card& card() { return card_; }
  const Card& card() const { return card_; }
  qhidev_list& list() { return *list_; }
  const CardShown& shown() const { return shown_; }
  CardSnapshot snapshot() const;
  bool input_locked() const { return input_locked_ != 0; }
  bool monitor_capable() const { return monitor_capable_ != 0; }
  bool debug_channel_on() const { return poll_paused_ != 0; }  // the timer does not poll meanwhile
  bool input_held() const { return fixed_input_ != 0; }
  uint32_t poll_period() const { return poll_period_; }  // ticks between status polls, backed off
  // The last asynchronous report's event record, as the reader received it.
  const decltype(DeviceEventState::event)& last_event() const { return event_state_.event; }
  uint32_t color_format() const { return color_format_; }  // 0 RGB24, 1 YUV2, 2 NV12

  // ---- The end of an upgrade (session_restart_wait.cpp) ----------------------------------------
  // Starts waiting for the card of the "OK!" upgrade `end` to restart; a USB-controller image's
  // version is compared once it is back, FPGA logic's version reported.
  void arm_upgrade_end(std::shared_ptr<UpgradeEnd> end,
                       std::function<void(const VerifyReport&, const std::string&)> on_report = {});
  void upgrade_end_tick();                     // every timer tick: one look of the watch, shown
  void upgrade_end_on_change(uint32_t event);  // after a device change's rescan
  const UpgradeEndWait& upgrade_end() const { return end_; }
  // The card come back at `path` (listed since the last scan), attached as the session's card,
  // and its status text; nullopt with `why` while it cannot be opened yet.
  std::optional<std::string> attach_returned(const std::string& path, platform::OpenFailure& why);

 private:
  // The reader's callback: runs on the reader thread, posts the card's events.
  static bool on_reader_event(void* context, uint32_t type, uint32_t length, const uint8_t* data);
  void post(CardEvent event);
  // The input the card uses and its half-rate setting, read into the shown state.
  void show_input_and_half_rate();
  // Sends a lock or unlock and, once the card took it, shows the lock and the hold it implies.
  bool store_lock(const VideoUpdateBlock& block, bool locked);
  void report_upgrade_end(const VerifyReport& report, const std::string& version_after = {});
  void print_frame_record(const uint8_t* r, const char* key, uint64_t diff);
  // Host time minus card time, as the reader learnt it from the card's events (0 without one).
  int64_t dev_time_offset() const;
  void show(Shown what) { observer_->show(what); }

  qhidev_list* list_;
  Card card_;
  CardShown shown_;
  CardObserver unobserved_;
  CardObserver* observer_ = &unobserved_;
  std::function<void(CardEvent)> post_;
  std::mutex post_lock_;
  std::vector<CardEvent> posted_;

  // What the refresh last saw of the card, and the timer's state.
  uint8_t poll_paused_ = 0;
  uint32_t color_format_ = 0;
  uint32_t poll_period_ = 0, poll_count_ = 0;
  DeviceEventState event_state_;
  int32_t fixed_input_ = 0;
  uint8_t input_locked_ = 0;
  uint8_t pending_event_ = 0;  // a status change put aside while the download lock was held
  uint8_t last_busy_ = 0;
  uint8_t monitor_capable_ = 0;
  uint64_t enable_deadline_ns_ = 0;
  uint64_t next_monitor_ns_ = 0;
  uint64_t last_status_ns_ = 0;
  std::string format_text_;
  std::string busy_elsewhere_;  // the title while another program upgrades the card; "" otherwise
  uint64_t busy_checked_ns_ = 0;  // when the claim was last looked at
  UpgradeEndWait end_;
};

// Wall-clock time of a card time (`offset`: host time minus card time, as the reader learnt it),
// and its local calendar text.
uint64_t dev_to_wall_ns(uint64_t dev_time, int64_t offset);
void format_wall_time(char* buf, size_t size, uint64_t wall_ns);

}  // namespace kestrel
