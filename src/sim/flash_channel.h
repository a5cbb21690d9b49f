// The card side of the flash channel: output report 7 carries the host's requests,
// input report 6 (264 bytes, "qspi stat") the card's answers. The card exposes a modelled QSPI
// flash as the block device "qzffs": open names an image kind and gets back the partition's
// base, size and erase block; erase steps clear ranges; 256-byte page writes program the flash
// (only clearing bits); verify compares the CRC register over the written range with the host's
// image CRC; close ends the session.
//
// The card judges the host's frames with code of its own (header, checksum, magic, name, ranges);
// it shares only the byte-level frame_csum / frame_build / crc32_register / le helpers.
//
// The channel answers the status fetches (input 6, 264 bytes) of the control requests it took;
// before its first one, and after an output 7 it did not know (an op code other than 1, 2, 3, 4
// and 6), it leaves report 6 and report 7 to the card's other channels and the card.
//
// Input report 6 is used by two protocols: this channel's 264-byte qspi status and the legacy
// HID download protocol's 257-byte handshake (download_channel.h). The card tells them apart by
// the size of the fetch: this channel answers only fetches of exactly 264 bytes and leaves every
// other size to the card's other channels. (Over uhid, where the kernel does not pass the size
// of a GET_REPORT, the bridge recovers it from the protocol state: see uhid.h.)
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "sim/channel.h"
#include "sim/qspi_flash.h"
#include "sim/scenario.h"

namespace kestrel::sim {

constexpr uint8_t FLASH_OUT_RID = 7;            // output report 7
constexpr uint8_t FLASH_IN_RID = 6;             // input report 6
constexpr size_t FLASH_REPORT_SIZE = 264;       // both directions
constexpr uint8_t BDEV_OP_OPEN = 1;
constexpr uint8_t BDEV_OP_CLOSE = 2;
constexpr uint8_t BDEV_OP_ERASE = 3;
constexpr uint8_t BDEV_OP_PAGE = 4;             // page write: command 4, sub 0x40
constexpr uint8_t BDEV_OP_VERIFY = 6;
constexpr uint8_t BDEV_PAGE_SUB = 0x40;
constexpr size_t BDEV_ANSWER_LEN = 64;          // payload length of every control answer

// The fault plan as a storage channel (flash channel, download protocol) sees it.
//
// Bound to a card (bind_card with SimCard::step): the card counts the Erase and Page steps the
// channel reports, answers the fault planned for each, and itself applies the answer faults
// (DropAnswer, CorruptChecksum, StaleSequence, Refuse, Slow) to the next answer fetched and an
// Unplug when the call returns; it also counts Transaction steps on its own.
// On its own (no card; unit tests): the channel evaluates a FaultPlan of its own with the same
// meaning (1-based counts, `times`, Transaction = n-th request this channel received; Command
// rules never fire here) and applies the answer faults to its own answers.
//
// Either way the channel itself decides what a fault does to the work: a refused erase is not
// carried out; a page (which has no answer) is lost (DropAnswer), arrives with a flipped byte
// (CorruptChecksum), is stalled (Refuse: the put fails), is held back (Slow: the put takes the
// rule's delay and then succeeds) or meets the unplug (the put fails).
class ChannelFaults {
 public:
  // Counts one step on the card and answers its fault; sets `delay_ms` to a Slow rule's delay.
  using StepFn = std::function<Fault(StepKind, uint32_t& delay_ms)>;

  void bind_card(StepFn step) { card_step_ = std::move(step); }
  bool bound() const { return static_cast<bool>(card_step_); }
  void set_plan(FaultPlan plan);
  // Counts one step and answers the planned fault. Transaction steps are counted here only when
  // the channel is on its own (the card counts them itself).
  Fault step(StepKind kind);
  // The hold-back of the last Slow fault answered (the rule's delay_ms; 1500 when bound).
  uint32_t slow_ms() const { return slow_ms_; }
  uint32_t count(StepKind kind) const { return counts_[static_cast<size_t>(kind)]; }

 private:
  StepFn card_step_;
  FaultPlan plan_;
  std::vector<uint32_t> fired_;
  uint32_t counts_[4] = {};
  uint32_t slow_ms_ = 1500;
};

// What the host sent and the card did, for tests.
struct FlashChannelStats {
  uint32_t requests = 0;        // output reports 7 taken
  uint32_t bad_requests = 0;    // refused by the card's own frame tests (size, checksum, magic, op)
  uint32_t opens = 0, erase_steps = 0, pages = 0, verifies = 0, closes = 0;
  uint32_t pages_programmed = 0;
  uint32_t pages_rejected = 0;  // bad checksum, not open, outside the partition
  uint32_t refusals = 0;        // answers built with bit 7 of byte 3
  uint32_t fetches = 0;         // input report 6 fetches answered (including spoiled ones)
  uint32_t verify_matched = 0;  // verify requests whose CRC matched
  uint32_t last_verify_crc = 0; // the CRC register the card computed at the last verify
};

class FlashChannel : public SimChannel {
 public:
  // How the card checks a page write's checksum, which the host computes with the page index in
  // the length position (a choice the host leaves open): ZeroExtended sums 8 + page index
  // bytes of the request, counting bytes past the 264 sent as zero (the reproducible choice);
  // Ignore does not check. The data is confirmed by verify in any case.
  enum class PageCheck { ZeroExtended, Ignore };

  struct Config {
    PageCheck page_check = PageCheck::ZeroExtended;
    // The erase block the open answer reports at payload offset 32; 0 means the flash's own
    // (a test may set `report_zero_erase_block` to send 0, which the host takes as 4096).
    uint32_t reported_erase_block = 0;
    bool report_zero_erase_block = false;
    // Latency model, in microseconds, spent through kestrel::sleep_ms (simulated time in tests):
    // per erase block cleared (the status fetch after an erase step waits for it), per page
    // programmed (the put waits), per control transfer (on its own only: a card applies its
    // per-transfer latency itself).
    uint32_t erase_block_us = 0;
    uint32_t page_us = 0;
    uint32_t control_us = 0;
  };

  explicit FlashChannel(QspiFlash& flash);
  FlashChannel(QspiFlash& flash, const Config& config);

  Handled on_set_output(std::span<const uint8_t> report) override;
  Handled on_get_input(std::span<uint8_t> report) override;

  ChannelFaults& faults() { return faults_; }
  // Called when an Unplug fault fires while the channel is on its own (bound to a card, the
  // card unplugs itself). The channel then fails every call until replug().
  void set_unplug_hook(std::function<void()> hook) { unplug_hook_ = std::move(hook); }
  // Told when a verify matched: the partition's image of that kind is complete.
  void set_written_hook(ImageWrittenFn hook) { written_hook_ = std::move(hook); }
  void replug();
  bool gone() const { return gone_; }

  Config& config() { return cfg_; }
  QspiFlash& flash() { return flash_; }
  const FlashChannelStats& stats() const { return stats_; }
  bool is_open() const { return open_; }
  uint16_t open_kind() const { return kind_; }
  const FlashPartition& open_partition() const { return part_; }
  // The answer the next fetch returns (264 bytes), as the card built it.
  std::span<const uint8_t> last_answer() const { return answer_; }

 private:
  Handled on_page(std::span<const uint8_t> report);
  Handled on_control(std::span<const uint8_t> report);
  void build_answer(uint8_t seq, uint8_t op, bool refused, const uint8_t* payload);
  void spend_us(uint64_t us);
  Handled unplug_now();

  QspiFlash& flash_;
  Config cfg_;
  ChannelFaults faults_;
  std::function<void()> unplug_hook_;
  ImageWrittenFn written_hook_;
  bool gone_ = false;

  bool open_ = false;
  uint16_t kind_ = 0;
  FlashPartition part_{};
  uint8_t last_seq_ = 0;       // sequence byte of the last control request
  uint8_t prev_seq_ = 0;       // and of the one before (StaleSequence)
  std::vector<uint8_t> answer_;
  bool answer_pending_ = false;  // the last report 7 was a control request of ours
  Fault armed_ = Fault::None;  // answer fault of the channel on its own, for the next fetch
  uint32_t armed_delay_ms_ = 0;
  uint64_t busy_until_ns_ = 0; // an erase in progress: the status fetch waits until then
  uint64_t debt_us_ = 0;       // latency owed below one millisecond
  FlashChannelStats stats_;
};

}  // namespace kestrel::sim
