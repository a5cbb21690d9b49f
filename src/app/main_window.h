// The main window's logic without any widget: the state it owns, the card scan and attach, the
// status refresh, the configuration record, the device-event handlers and the window lock.
// Widgets are reached only through the DialogView.
#pragma once

#include <array>
#include <optional>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "app/diagnostics.h"
#include "app/upgrade_end.h"
#include "app/view.h"
#include "devlink/board_records.h"
#include "devlink/hid_link.h"
#include "devlink/reader.h"

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

// What the window shows of its current card, taken from the window's own state: the command
// line and other layers read this, never the window's controls.
struct WindowSnapshot {
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

class CkestrelDlg {
 public:
  static constexpr size_t kPage = 4096;
  static constexpr size_t kTextWorkSize = 0x20000;  // 128 KiB

  CkestrelDlg(DialogView& view, qhidev_list& list = g_qhidev_list);
  ~CkestrelDlg();
  CkestrelDlg(const CkestrelDlg&) = delete;
  CkestrelDlg& operator=(const CkestrelDlg&) = delete;

  // OnInitDialog's work after the widgets exist: scan, first refresh, runtime texts.
  void on_init_dialog();

  // Card list and attach.
  void board_scan();
  bool board_attach(uint32_t index);
  void board_status_refresh();
  // Steps 1 to 5 of the refresh; false when it stopped early.
  bool status_refresh_steps();
  // Reads the status block into `s`, logs the status line, and validates it.
  bool read_and_log_status(uint8_t* s, uint16_t* len);
  void show_version_text(const uint8_t* s);
  // Status display: work status (command 5) and the 80-byte status record.
  bool work_status_get(uint8_t* dest);
  bool status_view_get(uint8_t* v);
  void on_status_refresh_command();  // 32808
  bool board_config(int op, uint32_t n, void* v);
  int set_download_lock(int mode);

  // Timer and device change.
  static constexpr uint32_t kTimerId = 101;
  static constexpr uint32_t kTimerPeriodMs = 10;
  static constexpr uint32_t DEVICE_ARRIVAL = 0x8000, DEVICE_QUERY_REMOVE = 0x8001, DEVICE_QUERY_REMOVE_FAILED = 0x8002,
                            DEVICE_REMOVE_PENDING = 0x8003, DEVICE_REMOVE_COMPLETE = 0x8004;
  void on_timer(uint32_t id);
  void debug_output_poll();
  bool on_device_change(uint32_t event);

  // Device events (run on the window's thread).
  void on_dev_text_event();    // 32821
  void on_dev_intr_event();    // 32822
  void on_monitor_query();     // 32823
  void on_stdview_event();     // 32824
  uint32_t monitor_query(uint8_t* dest);

  // Dispatches a command id posted to or raised in the window. False when not routed.
  bool on_command(uint32_t id);
  // The video panel's controls and commands; false when `id` is not one of them.
  bool on_video_command(uint32_t id);

  // Reader callback: runs on the reader thread, posts command ids to the window.
  static bool on_device_event(void* context, uint32_t type, uint32_t length, const uint8_t* data);

  // Pages of the work areas, as spans.
  std::span<uint8_t> text_page(size_t n = 0) { return std::span<uint8_t>(m_text_work.data() + n * kPage, m_text_work.size() - n * kPage); }
  std::span<uint8_t> status_page(size_t n = 0) { return std::span<uint8_t>(m_status_work.data() + n * kPage, m_status_work.size() - n * kPage); }

  // Hooks into the video panel and the status display.
  void fill_video_lists();
  void refresh_color_buttons();
  void reset_register_panel();
  void refresh_status_display();
  void enable_device_controls(bool enable);

  // The video panel.
  bool video_update(const VideoUpdateBlock& block);
  // board_control on the current board; false when there is none or it lacks the code.
  bool board_control(uint32_t code, uint32_t size, void* out);
  void on_card_selected();         // 1000
  void on_input_selected();        // 1007
  bool on_default_size_selected(); // 1031
  void on_output_port_selected();  // 1056
  PortReply switch_output_port(uint16_t current);  // 0xFFFF only asks
  void on_half_rate_clicked();     // 1026
  bool on_hold_clicked();          // 1042; true when the card answered the change
  void on_lock_clicked();          // 1051
  void send_async_action(uint32_t action);
  void on_debug_mode_switch();     // 32812
  void on_probe_toggle();          // 1039

  DialogView& view() { return view_; }
  HidLink& link() { return m_link; }
  WindowSnapshot snapshot() const;
  qhidev_list& list() { return *list_; }
  ReaderControl* reader() const { return m_reader; }
  void set_reader(ReaderControl* r) { m_reader = r; }
  BoardRegistry* registry() const { return m_registry; }

  // Members the window's pieces share.
  HidLink m_link;  // holds m_hid_seq
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

  // ---- Engineering diagnostics (diagnostics.cpp): FPGA dump and register files, run-status,
  // debug-information and version dumps, the card's debug channel, hdbc, script slots ----------
  bool on_diag_command(uint32_t id);     // false when `id` is none of these commands
  bool on_run_status();                  // 32800: true when a dump was printed
  bool on_debug_info();                  // 32801
  bool on_version_query();               // 32802
  bool on_fpga_dump();                   // board_control code 13 on the current board
  void on_qzdbg_button();                // 1061: toggles the debug channel
  bool qzdbg_switch(bool on);            // 1061 with the state given; true when the card answered
  HdbcResult hdbc(uint32_t mode);        // 32805 (mode 3), 32806 (mode 4)
  // 32817..32820. A symbolic link at the chosen path is never followed; an existing file is
  // replaced only with `replace_existing` (the desktop program's save dialog has asked).
  RegisterSaveResult on_save_registers(uint32_t id, bool replace_existing = true);
  // The same without the file dialog: the registers read, then written to `path`.
  RegisterSaveResult save_registers(uint32_t id, const std::string& path, bool replace_existing);
  void load_scripts();                   // the constructor's script load
  std::vector<std::string> script_names() const;      // slot 0, 1, ... up to the first empty one
  uint32_t run_script(uint32_t n);       // 32780 + n: the run id, 0 when nothing started
  DiagState m_diag;

  // ---- The end of an upgrade (upgrade_end.cpp) -------------------------------------------------
  // Starts waiting for the card of the "OK!" upgrade to restart; kind 2 compares its version
  // with `image` once it is back, kind 1 reports its FPGA version.
  void arm_upgrade_end(uint16_t kind, std::optional<ImageVersion> image,
                       std::function<void(const VerifyReport&, const std::string&)> on_report = {});
  void upgrade_end_tick();                     // every timer tick
  void upgrade_end_on_change(uint32_t event);  // after a device change's rescan
  const UpgradeEndWait& upgrade_end() const { return m_end; }

 private:
  void log_send_async(uint32_t action, bool ok);
  RegisterSaveResult write_register_file(RegisterFileKind kind, const std::string& path, bool replace_existing);
  void report_upgrade_end(const VerifyReport& report, const std::string& version_after = {});
  UpgradeEndWait m_end;
  void print_frame_record(const uint8_t* r, const char* key, uint64_t diff);

  DialogView& view_;
  qhidev_list* list_;
  ReaderControl* m_reader = nullptr;
  alignas(kPage) std::array<uint8_t, kTextWorkSize> m_text_work{};
  alignas(kPage) std::array<uint8_t, 2 * kPage> m_status_work{};
};

// Wall-clock time of a card time, and its local calendar text.
uint64_t dev_to_wall_ns(uint64_t dev_time);
void format_wall_time(char* buf, size_t size, uint64_t wall_ns);

}  // namespace kestrel
