// The current card of a device list as a front end drives it, without any widget: the scan and
// attach, the status refresh, the configuration record, the video settings, the device events,
// the engineering commands and the wait after an upgrade, each a typed operation. What a front end
// shows of the card (lists, choices, texts) is kept here as plain state and read through
// snapshot(); a front end that shows it (the window) is told what changed through the virtual
// show hooks, and hands the user's choices back through take_choices(). kestrelctl drives this
// object directly; the window is an adapter over it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "card/diagnostics.h"
#include "card/upgrade_end.h"
#include "devlink/board_records.h"
#include "devlink/hid_link.h"
#include "devlink/reader.h"
#include "history/history_store.h"
#include "update/workflow.h"

namespace kestrel {

struct BoardRegistry;

// What the card answered to an output-port switch: handled, and the port now selected.
struct PortReply {
  bool ok;
  uint16_t current;
};

// The 16-byte payload of command 10: flag word, input index, bctl, zeros.
struct VideoUpdateBlock {
  std::array<uint8_t, 16> bytes{};
  static VideoUpdateBlock make(uint16_t bits, uint8_t input, uint8_t bctl = 0);
};

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

class CurrentCard {
 public:
  static constexpr size_t kPage = 4096;
  static constexpr size_t kTextWorkSize = 0x20000;  // 128 KiB

  // The program's current card: the program-wide board registry and status-block flag, and the
  // script slots found at start.
  explicit CurrentCard(qhidev_list& list = g_qhidev_list);
  virtual ~CurrentCard();
  CurrentCard(const CurrentCard&) = delete;
  CurrentCard& operator=(const CurrentCard&) = delete;

  // The start: scan, attach the first card, first refresh.
  void init();

  // Card list and attach.
  void board_scan();
  bool board_attach(uint32_t index);
  // Why the last board_attach could not open its card (None after one that could).
  platform::OpenFailure open_failure() const { return m_open_failure; }
  // Chooses card `index` of the list and attaches it, as picking it in the card list does.
  void attach_card(int index);
  void board_status_refresh();
  // Steps 1 to 5 of the refresh; false when it stopped early.
  bool status_refresh_steps();
  // Reads the status block into `s`, logs the status line, and validates it.
  bool read_and_log_status(uint8_t* s, uint16_t* len);
  void show_version_text(const uint8_t* s);
  // Status display: work status (command 5) and the 80-byte status record.
  bool work_status_get(uint8_t* dest);
  bool status_view_get(uint8_t* v);
  void refresh_status_display();
  void on_status_refresh_command();  // 32808
  bool board_config(int op, uint32_t n, void* v);
  // 0 unlocks, 1 locks, 2 asks; answers whether it was locked before (2 for an unknown mode).
  int set_download_lock(int mode);

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

  // Device events (run on the front end's thread).
  void on_dev_text_event();    // 32821
  void on_dev_intr_event();    // 32822
  void on_monitor_query();     // 32823
  void on_stdview_event();     // 32824
  uint32_t monitor_query(uint8_t* dest);
  // The device events and the status refresh posted by the reader and the card's own logic.
  // False when `id` is none of them.
  bool on_card_command(uint32_t id);

  // Reader callback: runs on the reader thread, posts command ids to the front end.
  static bool on_device_event(void* context, uint32_t type, uint32_t length, const uint8_t* data);
  // Commands posted and not yet delivered, in order (a front end without its own event queue
  // delivers them with on_card_command).
  std::vector<uint32_t> take_posted();

  // Pages of the work areas, as spans.
  std::span<uint8_t> text_page(size_t n = 0) { return std::span<uint8_t>(m_text_work.data() + n * kPage, m_text_work.size() - n * kPage); }
  std::span<uint8_t> status_page(size_t n = 0) { return std::span<uint8_t>(m_status_work.data() + n * kPage, m_status_work.size() - n * kPage); }

  // The video settings.
  void fill_video_lists();
  bool video_update(const VideoUpdateBlock& block);
  // board_control on the current board; false when there is none or it lacks the code.
  bool board_control(uint32_t code, uint32_t size, void* out);
  // The video settings' operations take what they act on as arguments (an index outside its
  // list is none) and show what came of it.
  // Switches to input `input` (an index of the input list), as picking it in the list does;
  // true when the card took the change.
  bool select_input(int input);
  // Stores default size `index` of the list in the card's configuration record.
  DefaultSizeResult set_default_size(int index);
  PortReply switch_output_port(uint16_t current);  // 0xFFFF only asks
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
  void send_async_action(uint32_t action);
  void on_debug_mode_switch();     // 32812
  void on_probe_toggle();          // 1039

  HidLink& link() { return m_link; }
  // The card as the upgrade workflow takes it, with this object's work pages.
  UpgradeCard upgrade_card();
  // The current card as the upgrade history names it: board, node, USB port path and serial
  // (the port and serial find its rows again after a replug gave it another node).
  history::CardIdentity history_identity();
  const CardShown& shown() const { return shown_; }
  CardSnapshot snapshot() const;
  bool input_locked() const { return m_input_locked != 0; }
  bool monitor_capable() const { return m_monitor_capable != 0; }
  bool debug_channel_on() const { return m_poll_paused != 0; }  // the timer does not poll meanwhile
  bool download_locked() const { return m_dxctl_lock_status != 0; }
  bool input_held() const { return m_fixed_input != 0; }
  uint32_t poll_period() const { return m_poll_period; }  // ticks between status polls, backed off
  int32_t debug_mode() const { return m_debug_mode; }     // the debug switch's state: 0, 1, else unknown
  // The last asynchronous report's event record, as the reader received it.
  const decltype(DeviceEventState::event)& last_event() const { return m_event_state.event; }
  uint32_t color_format() const { return m_color_format; }  // 0 RGB24, 1 YUV2, 2 NV12
  // The engineering commands' state: dump outcome, register table, scripts and their runs.
  DiagState& diag() { return m_diag; }
  qhidev_list& list() { return *list_; }
  ReaderControl* reader() const { return m_reader; }
  void set_reader(ReaderControl* r) { m_reader = r; }
  // Makes `r` this card's reader: its events come to on_device_event with this card as context.
  void listen_with(ReaderControl& r) {
    r.context = this;
    r.callback = &CurrentCard::on_device_event;
    m_reader = &r;
  }
  BoardRegistry* registry() const { return m_registry; }

  // Members the card's operations share.
  HidLink m_link;  // holds m_hid_seq
  platform::OpenFailure m_open_failure = platform::OpenFailure::None;
  BoardRegistry* m_registry = nullptr;
  uint8_t m_poll_paused = 0;
  uint32_t m_color_format = 0;
  int32_t m_probe_state = 0;
  int32_t m_debug_mode = 2;
  uint32_t m_poll_period = 0, m_poll_count = 0;
  DeviceEventState m_event_state;
  int32_t m_fixed_input = 0;
  uint8_t m_input_locked = 0;
  uint8_t m_dxctl_lock_status = 0;
  uint8_t m_pending_event = 0;
  uint8_t m_last_busy = 0;
  uint8_t m_monitor_capable = 0;
  uint64_t m_enable_deadline_ns = 0;
  uint64_t m_next_monitor_ns = 0;
  uint64_t m_last_status_ns = 0;
  std::string m_format_text;
  std::string m_busy_elsewhere;  // the title while another program upgrades the card; "" otherwise
  uint64_t m_busy_checked_ns = 0;  // when the claim was last looked at

  // ---- Engineering diagnostics (diagnostics.cpp): FPGA dump and register files, run-status,
  // debug-information and version dumps, the card's debug channel, hdbc, script slots ----------
  bool on_run_status();                  // 32800: true when a dump was printed
  bool on_debug_info();                  // 32801
  bool on_version_query();               // 32802
  bool on_fpga_dump();                   // board_control code 13 on the current board
  void on_qzdbg_button();                // 1061: toggles the debug channel
  bool qzdbg_switch(bool on);            // 1061 with the state given; true when the card answered
  bool qzdbg_ask();                      // 32803: the channel's state into diag().qzdbg
  HdbcResult hdbc(uint32_t mode);        // 32805 (mode 3), 32806 (mode 4)
  // The registers read, then written to `path` (32817..32820). A symbolic link at the path is
  // never followed; an existing file is replaced only with `replace_existing`.
  RegisterSaveResult save_registers(uint32_t id, const std::string& path, bool replace_existing);
  void load_scripts();                   // the constructor's script load
  std::vector<std::string> script_names() const;      // slot 0, 1, ... up to the first empty one
  uint32_t run_script(uint32_t n);       // 32780 + n: the run id, 0 when nothing started
  DiagState m_diag;

  // ---- The end of an upgrade (upgrade_end.cpp) -------------------------------------------------
  // Starts waiting for the card of the "OK!" upgrade `end` to restart; a USB-controller image's
  // version is compared once it is back, FPGA logic's version reported.
  void arm_upgrade_end(std::shared_ptr<UpgradeEnd> end,
                       std::function<void(const VerifyReport&, const std::string&)> on_report = {});
  void upgrade_end_tick();                     // every timer tick: one look of the watch, shown
  void upgrade_end_on_change(uint32_t event);  // after a device change's rescan
  const UpgradeEndWait& upgrade_end() const { return m_end; }

  // ---- What a front end that shows the card is told; by default nothing is shown -------------
  virtual void show(Shown) {}
  // The device controls usable or not while the card is busy.
  virtual void show_busy(bool) {}
  virtual void enable_device_controls(bool) {}
  virtual void reset_register_panel() {}
  // The wait for a restarting card: how far it has run out in percent, -1 when it is not shown.
  virtual void show_restart_wait(int) {}
  // A message the user must read and answer (the end of an upgrade).
  virtual void tell(const std::string&) {}
  // Delivers `id` later on the front end's thread, in order. Callable from any thread.
  virtual void post(uint32_t id);

 protected:
  // A card with a board registry and status-block flag of its own, for cards driven side by side
  // (see Card); no script slots.
  CurrentCard(qhidev_list& list, BoardRegistry& registry, uint8_t& status_valid);
  // Waits for a reader callback under way and keeps the reader idle from then on: a front end
  // that overrides post() calls it first thing in its destructor, so that no callback reaches a
  // half-destroyed object.
  void stop_listening();
  // Copies the user's choices (card, input, default size, output port, half rate, hold) into
  // shown_ before an operation reads them; a front end without controls keeps them there.
  virtual void take_choices() {}
  // True while the user has the input list open: the refresh does not move its choice then.
  virtual bool input_list_open() const { return false; }
  RegisterSaveResult write_register_file(RegisterFileKind kind, const std::string& path, bool replace_existing);
  // Sets a choice as a drop-down list takes it: outside the list is none.
  static void choose(int& choice, int index, size_t count);
  CardShown shown_;

 private:
  void log_send_async(uint32_t action, bool ok);
  // The input the card uses and its half-rate setting, read into the shown state.
  void show_input_and_half_rate();
  // Sends a lock or unlock and, once the card took it, shows the lock and the hold it implies.
  bool store_lock(const VideoUpdateBlock& block, bool locked);
  void report_upgrade_end(const VerifyReport& report, const std::string& version_after = {});
  // The card come back at `path`, attached as the current card, and its status text.
  std::optional<std::string> upgrade_end_open(const std::string& path, platform::OpenFailure& why);
  void print_frame_record(const uint8_t* r, const char* key, uint64_t diff);

  UpgradeEndWait m_end;
  qhidev_list* list_;
  uint8_t* status_valid_;  // set once the card's status block was read whole
  uint32_t own_reg_seq_ = 0;  // a card of its own numbers its register reads itself
  ReaderControl* m_reader = nullptr;
  std::mutex post_lock_;
  std::vector<uint32_t> posted_;
  alignas(kPage) std::array<uint8_t, kTextWorkSize> m_text_work{};
  alignas(kPage) std::array<uint8_t, 2 * kPage> m_status_work{};
};

// Wall-clock time of a card time, and its local calendar text.
uint64_t dev_to_wall_ns(uint64_t dev_time);
void format_wall_time(char* buf, size_t size, uint64_t wall_ns);

}  // namespace kestrel
