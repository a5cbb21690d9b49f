// Inside the simulated card: its live state, its register banks and the handlers of the reports
// it owns. Private to src/sim (card.cpp, card_commands.cpp, card_records.cpp, card_registers.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "devlink/commands.h"
#include "devlink/frame.h"
#include "sim/card.h"

namespace kestrel::sim {

// A framed request as the card took it: its own reading of the header, never the host's.
struct Request {
  uint8_t rid = 0;
  uint8_t seq = 0;
  uint8_t cmd = 0;
  uint8_t sub = 0;
  std::span<const uint8_t> payload;
};

constexpr uint32_t CONFIG_MAGIC = 0x12345678;
constexpr size_t CONFIG_SIZE = 32;
constexpr size_t EVENT_SIZE = 24;
constexpr size_t STATUS_HEADER = 64;        // status block bytes before the text
constexpr size_t WORK_STATUS_SIZE = 176;
constexpr size_t POLLED_TEXT_SIZE = 248;     // fetched input report 8
constexpr size_t POLLED_TEXT_MAX = 240;
constexpr size_t FEATURE_EVENT_SIZE = 24;
constexpr uint8_t INPUT_SCAN = 7;           // vpin/fvpd value while the card scans its inputs
constexpr uint8_t USB_STATE_CONFIGURED = 0x12;

// The register banks of the card's I2C buses: 256 registers per device that answers.
class RegisterBanks {
 public:
  std::optional<uint8_t> read(uint8_t device, uint8_t reg) const;
  void write(uint8_t device, uint8_t reg, uint8_t value);
  void remove(uint8_t device);
  bool present(uint8_t device) const { return banks_.count(device) != 0; }
  // The FPGA bank at 0x10 and the receiver chips of the model, so that its probe answers true.
  void fill_for(const Scenario& s);

 private:
  std::map<uint8_t, std::array<uint8_t, 256>> banks_;
};

struct SimCard::Impl {
  explicit Impl(SimCard& owner, const Scenario& s);

  SimCard& card;
  Scenario st;  // live state
  RegisterBanks regs;

  std::array<uint8_t, CONFIG_SIZE> config{};   // the stored configuration record
  std::array<uint8_t, 32> props{};             // property values now in effect
  std::array<uint8_t, 32> stored_props{};      // kept by command 10 (0x8001); in effect after a re-plug
  uint32_t hdbc[2] = {0x0001FC01, 0x00000010};
  uint8_t dbg_status = 0, dbg_ready = 1, dbg_bset = 0, dbg_kstd = 0;
  uint8_t probe_hold = 0;        // control codes 0x20/0x21, query 0x22
  uint8_t debug_mode = 0;        // control codes 0x10/0x11, query 0x12
  bool download_locked = false;  // control codes 0x81/0x80

  std::deque<std::vector<uint8_t>> answers;  // input report 9, next first
  std::map<uint8_t, std::vector<uint8_t>> overrides;  // canned answer payloads by command byte
  std::optional<std::vector<uint8_t>> legacy_answer;
  std::deque<std::vector<uint8_t>> polled;   // input report 8 for the poll
  std::array<uint8_t, EVENT_SIZE> last_event{};
  std::array<uint8_t, 48> monitor{};         // work record, push record
  uint32_t frames = 0;
  uint64_t plug_ns = 0;

  bool async_requested = false;
  std::vector<uint32_t> actions;
  std::vector<std::array<uint32_t, 3>> notes;
  uint32_t rejected = 0;

  // Report dispatch (card_commands.cpp). Each returns the platform call's result.
  bool on_output(std::span<const uint8_t> report);
  bool on_get_input(std::span<uint8_t> report);
  bool on_set_feature(std::span<const uint8_t> report);
  bool on_get_feature(std::span<uint8_t> report);
  void reset_session();

  // Framed requests.
  std::optional<Request> take_request(std::span<const uint8_t> report);
  void handle(const Request& rq);
  // Answers repeat the request's sequence byte, command and sub-command (byte 3, which the
  // event query checks); `refused` sets bit 7 of byte 3.
  void answer(const Request& rq, std::span<const uint8_t> payload, bool refused = false, uint8_t cmd = 0);
  void refuse(const Request& rq) { answer(rq, {}, true); }
  void cmd_control(const Request& rq);
  void cmd_video_update(const Request& rq);
  void cmd_reg_read(const Request& rq);
  void cmd_prop_block(const Request& rq);
  void cmd_audio_policy(const Request& rq);
  void cmd_bus_xfer(const Request& rq);
  void cmd_config_put(const Request& rq);
  void cmd_send_async(const Request& rq);
  void cmd_notify(const Request& rq);
  void legacy_reg_read(std::span<const uint8_t> report);

  // Records (card_records.cpp).
  bool async_capable() const { return (st.capabilities & (CAP_ASYNC | CAP_ASYNC_ALT)) != 0; }
  bool is_board7or8() const { return st.model == BoardModel::Meadow || st.model == BoardModel::Rw820c; }
  uint8_t input_count() const { return model_input_count(st.model); }
  uint8_t fvpd() const { return st.scanning ? INPUT_SCAN : st.input; }
  uint8_t default_size_index() const;  // status byte 47
  uint32_t running_ms() const;
  void make_event(uint8_t* out, uint8_t kind) const;
  std::vector<uint8_t> status_block() const;
  std::vector<uint8_t> work_status() const;
  std::vector<uint8_t> debug_head() const;   // command 8
  std::vector<uint8_t> debug_tail() const;   // command 9
  std::array<uint8_t, 32> defaults_block() const;
  std::array<uint8_t, 32> prop_answer() const;
  void seal_config();
  void build_status_report(std::span<uint8_t> report) const;
  void build_polled_report(std::span<uint8_t> report);
  uint8_t input_selection_code() const;
  void set_frame_record(uint8_t* rec, uint64_t tick) const;
};

// Config record check of the card's own: length, magic and CRC register running to 0.
bool config_record_intact(std::span<const uint8_t> rec);

}  // namespace kestrel::sim
