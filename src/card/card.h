// One capture card as the host talks to it: its link (with its own request counter), the board
// its status text named, its status-block flag, its register-read counter, its work pages, and
// every exchange the host has with it, each with its inputs as arguments and a typed result. A
// Card shows nothing and remembers only what the card itself holds (the download lock it was
// told, its debug mode, its probe state, the engineering dumps' outcome).
//
// A Card is either a card of its own (a copy of a listed record, for cards driven side by side:
// kestrelctl's --card all) or the current card of a device list (a CardSession's: it follows the
// list's current record as the list is rescanned and another card attached).
//
//   for (auto& card : Card::attach_all()) upgrade on card->upgrade_card() ...
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "boards/board.h"
#include "card/diagnostics.h"
#include "devlink/board_records.h"
#include "devlink/hid_link.h"
#include "devlink/qhidev.h"
#include "devlink/reader.h"
#include "devlink/status_records.h"
#include "history/history_store.h"
#include "platform/hid_backend.h"
#include "update/workflow.h"

namespace kestrel {

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

class Card {
 public:
  static constexpr size_t kPage = 4096;
  static constexpr size_t kTextWorkSize = 0x20000;  // 128 KiB

  // A card of its own: a copy of a listed record (as qhidev_enum lists it, closed); attach()
  // opens it.
  explicit Card(const qhidev& listed);
  // The current card of `list`: attach(index) opens the list's record `index` and the card
  // follows whichever record the list has current.
  explicit Card(qhidev_list& list);
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // Opens record `index` of the card's list (a card of its own has only 0) with read and write
  // access and runs the attach exchanges. False when it cannot be opened (open_failure() says
  // why). A record already open and current is not opened again.
  bool attach(uint32_t index = 0);
  platform::OpenFailure open_failure() const { return open_failure_; }
  // Every card the backend lists, each attached; those that cannot be opened are left out and
  // named in `failed` (their display names).
  static std::vector<std::unique_ptr<Card>> attach_all(std::vector<std::string>* failed = nullptr);

  // The record attached, or nullptr.
  qhidev* device() const;
  bool attached() const { return device() != nullptr; }
  // The board the card's status text named, or nullptr before one was named.
  const BoardEntry* board() const { return status_valid_ ? registry_.current : nullptr; }
  bool status_valid() const { return status_valid_ != 0; }
  // The board registry with the current board, whether or not its status block was whole.
  BoardRegistry* registry() { return &registry_; }
  const BoardRegistry* registry() const { return &registry_; }
  HidLink& link() { return link_; }

  // The reader thread of the card's asynchronous reports: held idle while the card's handle is
  // opened or closed, and set reading after an attach when the card sends such reports.
  void set_reader(ReaderControl* r) { reader_ = r; }
  ReaderControl* reader() const { return reader_; }

  // Pages of the work areas, as spans.
  std::span<uint8_t> text_page(size_t n = 0) { return std::span<uint8_t>(text_work_.data() + n * kPage, text_work_.size() - n * kPage); }
  std::span<uint8_t> status_page(size_t n = 0) { return std::span<uint8_t>(status_work_.data() + n * kPage, status_work_.size() - n * kPage); }

  // ---- Status ---------------------------------------------------------------------------------
  // Reads the status block into `s`, logs the status line, and validates it.
  bool read_and_log_status(uint8_t* s, uint16_t* len);
  // Work status (command 5) and the 80-byte status record.
  bool work_status_get(uint8_t* dest);
  bool status_view_get(uint8_t* v);
  // The status record read and parsed (into status page 0); nullopt when it could not be read.
  std::optional<StatusView> read_status_view();
  // Asks the card for its asynchronous reports, as the window's attach does: a card with a
  // status report is told the front end's `token` (command 14; the card hands it back), another
  // is sent action 24 and its debug control state read.
  void start_async_reports(uint32_t token);
  // The configuration record: op 0 reads, 1 and 3 read the half-rate byte and setting 1 into
  // `v`, 2 and 4 write them (n bytes of `v`, at most 4).
  bool board_config(int op, uint32_t n, void* v);
  bool store_half_rate(bool on);
  bool store_default_size(uint32_t number);

  // ---- The download lock ----------------------------------------------------------------------
  // 0 unlocks, 1 locks, 2 asks; answers whether it was locked before (2 for an unknown mode).
  int set_download_lock(int mode);
  bool download_locked() const { return download_locked_ != 0; }
  // Told `locked` whenever the lock changes (before the unlock is sent): a front end that put the
  // card's events aside while it was locked takes them up again.
  void on_lock_change(std::function<void(bool locked)> fn) { lock_changed_ = std::move(fn); }

  // ---- Video settings and actions ------------------------------------------------------------
  bool video_update(const VideoUpdateBlock& block);
  // board_control on the current board; false when there is none or it lacks the code.
  bool board_control(uint32_t code, uint32_t size, void* out);
  PortReply switch_output_port(uint16_t current);  // 0xFFFF only asks
  // Reads the input the card uses; nullopt when it did not say.
  std::optional<uint8_t> input_in_use();
  void send_async_action(uint32_t action);
  // Monitor query (command 13): the block into `dest`, its length (0: no answer).
  uint32_t monitor_query(uint8_t* dest);
  // The debug switch: off, on, or asks when its state is unknown.
  void switch_debug_mode();
  int32_t debug_mode() const { return debug_mode_; }  // 0, 1, else unknown
  // The probe toggle, from the probe state the status record reported.
  void toggle_probe();
  void set_probe_state(int32_t state) { probe_state_ = state; }
  int32_t probe_state() const { return probe_state_; }

  // ---- Engineering diagnostics: dumps, the card's debug channel, hdbc, register files, scripts --
  bool dump_run_status();  // true when a dump was printed
  bool dump_debug_info();
  bool dump_version();
  bool dump_fpga();        // board_control code 13 on the current board
  // The card's debug channel on or off; true when the card answered (its reply in diag().qzdbg).
  bool debug_channel_control(bool on);
  bool ask_debug_channel();  // the channel's state into diag().qzdbg
  HdbcResult hdbc(uint32_t mode);
  // The registers read, then written to `path` as a file of `kind`. A symbolic link at the path
  // is never followed; an existing file is replaced only with `replace_existing`.
  RegisterSaveResult save_registers(RegisterFileKind kind, const std::string& path, bool replace_existing);
  RegisterSaveResult write_register_file(RegisterFileKind kind, const std::string& path, bool replace_existing);
  // The script slots found at start beside the program; slot n run on this card.
  void load_scripts();
  std::vector<std::string> script_names() const;  // slot 0, 1, ... up to the first empty one
  uint32_t run_script(uint32_t n);                 // the run id, 0 when nothing started
  DiagState& diag() { return diag_; }

  // ---- The upgrade ----------------------------------------------------------------------------
  // The card as the upgrade workflow takes it, with this card's work pages.
  UpgradeCard upgrade_card();
  // The card as the upgrade history names it: board, node, USB port path and serial (the port
  // and serial find its rows again after a replug gave it another node).
  history::CardIdentity history_identity();

 private:
  std::unique_ptr<qhidev_list> own_;  // a card of its own: its one record
  qhidev_list* list_;
  BoardRegistry registry_{};
  uint8_t status_valid_ = 0;  // set once the card's status block was read whole
  uint32_t reg_seq_ = 0;      // the register reads' own counter
  HidLink link_;
  platform::OpenFailure open_failure_ = platform::OpenFailure::None;
  ReaderControl* reader_ = nullptr;
  uint8_t download_locked_ = 0;
  std::function<void(bool)> lock_changed_;
  int32_t debug_mode_ = 2;
  int32_t probe_state_ = 0;
  DiagState diag_;
  alignas(kPage) std::array<uint8_t, kTextWorkSize> text_work_{};
  alignas(kPage) std::array<uint8_t, 2 * kPage> status_work_{};
};

}  // namespace kestrel
