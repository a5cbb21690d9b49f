// What one simulated card is: its board model, what it can do, what it captures, how fast it
// answers and which faults it plays. A Scenario is plain data; make_scenario() gives the default
// one of each board model, and a test changes the fields it cares about.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::sim {

// The eight board models, numbered as the board table numbers them.
enum class BoardModel : uint8_t {
  TB610K_1CH = 1,
  TB610M_1CH = 2,
  TB610R_1CH = 3,
  TB720V_2CH = 4,
  TB830R_1CH = 5,
  TB850V_1CH = 6,
  Meadow = 7,
  Rw820c = 8,
};

// Capability bits of the board event record (byte 1). The host copies them into its link flags.
constexpr uint8_t CAP_ECHO2 = 0x02;       // answers carry report ID 9 and the echo in byte 2
constexpr uint8_t CAP_STATUS_RPT = 0x04;  // serves its status block as input report 4
constexpr uint8_t CAP_ASYNC = 0x08;       // sends asynchronous reports on the interrupt pipe
constexpr uint8_t CAP_FLASH_CHAN = 0x10;  // offers the flash channel (reports 7 out, 6 in)
constexpr uint8_t CAP_0x20 = 0x20;        // copied by the host, tested by nothing
constexpr uint8_t CAP_ASYNC_ALT = 0x40;   // asynchronous reports, second form of the bit

// Latency per unit of work, applied through kestrel::sleep_ms so that a test's SimClock moves
// instead of the test waiting. Zero everywhere by default.
struct LatencyModel {
  uint32_t per_transfer_ms = 0;     // every report call the host makes (set or get)
  uint32_t per_transfer_us = 0;     // added to it; the card carries the parts of a millisecond
                                    // over, so that 250 us a transfer costs 1 ms every fourth
  uint32_t per_erase_block_ms = 0;  // used by the flash and download channels
  uint32_t per_page_ms = 0;         // likewise, per programmed page
};

// What a fault does when it fires.
enum class Fault : uint8_t {
  None,
  DropAnswer,       // the next fetch of an answer fails (the platform call returns false)
  CorruptChecksum,  // the next answer arrives with its checksum broken
  StaleSequence,    // the next answer repeats the previous sequence byte (checksum intact)
  Refuse,           // the next answer has bit 7 of byte 3 set (checksum intact)
  Slow,             // the next answer is held back for FaultRule::delay_ms (> 1 s by default)
  SlowFail,         // the next transfer is held back for FaultRule::delay_ms, then fails: an
                    // answer fetch that times out late, or the report itself for a page and for
                    // a request the card itself answers with nothing to fetch (a request a
                    // channel takes, such as the download's start and end, keeps it for the
                    // next fetch)
  WrongReportId,    // the next answer arrives under another report ID (9 becomes 6, any other
                    // becomes 9; body and checksum as sent)
  Unplug,           // the card leaves the bus: the call that reaches the step and every later
                    // call on any open handle fail; read_interrupt returns Gone
};

// Where a fault fires: a framed command code, or the n-th unit of a counted kind of work.
enum class StepKind : uint8_t {
  Command,      // value = command code of a framed request (reports 11, 10, 5)
  Transaction,  // value = 1-based count of requests the card received (every output report
                //         and every feature set, whoever handles it)
  Erase,        // value = 1-based count of erase steps, counted by the channels
  Page,         // value = 1-based count of page programs, counted by the channels
};

struct FaultRule {
  StepKind kind = StepKind::Command;
  uint32_t value = 0;
  Fault fault = Fault::None;
  uint32_t times = 1;         // how often the rule fires before it is spent; 0 = every time
  uint32_t delay_ms = 1500;   // for Fault::Slow and Fault::SlowFail
  uint32_t fetches = 1;       // an answer fault spoils this many fetches in a row: 2 spoils the
                              // answer and the host's one refetch of it (a channel used without
                              // a card, as in its own tests, spoils one)
};

struct FaultPlan {
  std::vector<FaultRule> rules;
  FaultPlan& at(StepKind kind, uint32_t value, Fault fault, uint32_t times = 1, uint32_t delay_ms = 1500,
                uint32_t fetches = 1) {
    rules.push_back({kind, value, fault, times, delay_ms, fetches});
    return *this;
  }
};

// Everything one card is. Field defaults are those of no model in particular; make_scenario()
// fills them per model.
struct Scenario {
  BoardModel model = BoardModel::Meadow;

  // USB identity: the interface path is synthesised from these (lower-case hex) and one of the
  // seven card prefixes matches it.
  uint16_t vendor_id = 0x04B4;
  uint16_t product_id = 0x00ED;
  uint16_t release = 0x0100;
  int interface_number = 2;
  std::string product = "USB Video";
  bool product_ok = true;

  // Link: event record capabilities and which forms of the link the card speaks.
  uint8_t capabilities = CAP_ECHO2;
  bool feature_event = false;  // serves the event record as feature report 1
  bool old_answers = false;    // answers carry the command in byte 0 instead of ID 9 + echo
  bool status_query = true;    // answers command 4; a card without it speaks the legacy
                               // register reports 12/13 only
  uint8_t usb_speed = 3;       // 2 = USB 2.0 high speed, 3 = USB 3.0

  // Version texts. The status text is "<model>:<firmware> FPGA:<fpga>".
  std::string firmware_version = "V1.0.0";
  // The board tag the status text gives in place of the model's name (a card whose old firmware
  // names its board otherwise); nullopt: the model's name.
  std::optional<std::string> reported_tag;
  std::string fpga_version = "1.0";

  // Video state.
  bool signal = true;
  uint16_t width = 1920;
  uint16_t height = 1080;
  uint8_t frame_rate = 60;
  bool interlaced = false;
  uint8_t input = 0;           // the input being captured (vpin)
  bool scanning = false;       // scans its inputs (fvpd 7) instead of holding one
  std::optional<uint8_t> locked_input;  // input locked in the card, if any
  bool busy = false;
  uint8_t default_size = 0;    // the default size's number as stored (config byte 1): its place
                               // in the board's size list, from 1 on meadow and rw820c
                               // (status byte 47 gives the place from 0)
  uint8_t output_port = 0;     // status byte 50
  uint8_t color_format = 1;    // 0 RGB24, 1 YUV2, 2 NV12
  bool half_frame_rate = false;
  uint8_t audio_policy = 1;

  // Property block: which groups the card offers (bits 0..7) and whether it answers command 13
  // with the short (8-byte) form only.
  uint16_t prop_offer_mask = 0x00FF;
  bool prop_short_answer = false;

  // Card clock: device time = host monotonic time + this offset.
  int64_t device_time_offset_ns = 1'000'000'000;

  // What the card does once an upgrade has been written and the host lets go of the card (the
  // card unlock after the transfer): restart at once, leaving the bus and coming back after
  // restart_ms running the new image; or keep running the old firmware until it is unplugged
  // and plugged in again (power-cycled). RestartIntoOld restarts but comes back with the
  // firmware it had (a card that fell back to its old image).
  enum class AfterUpgrade : uint8_t { Restart, NeedsReplug, RestartIntoOld };
  AfterUpgrade after_upgrade = AfterUpgrade::Restart;
  uint32_t restart_ms = 1000;

  LatencyModel latency;
  FaultPlan faults;

  std::string status_text() const;  // "<model>:<firmware> FPGA:<fpga>"
};

// The model's name exactly as the board table spells it ("TB610R-1CH", "meadow", ...).
std::string_view model_name(BoardModel model);
// Number of video inputs of the model (length of its input-name list).
uint8_t model_input_count(BoardModel model);

// The board names, in board-table order.
std::span<const std::string_view> board_names();
// The default scenario of a board name, compared without regard to letter case; nullopt for a
// name that is not a board.
std::optional<Scenario> make_scenario(std::string_view board_name);
Scenario make_scenario(BoardModel model);

}  // namespace kestrel::sim
