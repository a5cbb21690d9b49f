// The steps of a transfer, declared up front with their share of the whole, and where a running
// transfer is among them. Both paths report through here: the flash channel from the engine's
// erased and written counters, the HID download from its worker as each block is erased and each
// page goes out. The percent the progress bar and kestrelctl's progress line show comes from
// here, and so do the flash channel's hundredths in its log line.
//
//   TransferSteps steps(HID_DOWNLOAD_STEPS);
//   steps.done(UpgradePhase::Erase, 1, 4);        // worker: one block of four erased
//   steps.left(UpgradePhase::Write, 512, 65536);  // worker: two pages still to send
//   show(steps.phase(), steps.percent());          // GUI thread
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

namespace kestrel {

// What a transfer is doing. The restart is the wait for the card to come back running the image:
// it comes after the transfer and moves the bar no further.
enum class UpgradePhase : uint8_t { Erase, Write, Verify, Restart };
const char* upgrade_phase_name(UpgradePhase phase);  // "erase", "write", "verify", "restart"

struct TransferStep {
  UpgradePhase phase;
  uint32_t weight;  // its share of the whole, against the weights of the others
};

// The flash channel: erasing counts for a quarter, writing for three quarters; the card's CRC
// verify and the restart show at 100 %.
inline constexpr TransferStep FLASH_CHANNEL_STEPS[] = {
    {UpgradePhase::Erase, 1}, {UpgradePhase::Write, 3}, {UpgradePhase::Verify, 0}, {UpgradePhase::Restart, 0}};
// The HID download: the erase 5 %, the pages 95 %. That protocol confirms nothing: no verify.
inline constexpr TransferStep HID_DOWNLOAD_STEPS[] = {
    {UpgradePhase::Erase, 5}, {UpgradePhase::Write, 95}, {UpgradePhase::Restart, 0}};

// Where a transfer is among its steps. One thread reports, another reads: each report is stored
// as one word, so a reader never sees one step's figure with another step's phase. A report for
// a step the list does not declare is ignored.
class TransferSteps {
 public:
  explicit TransferSteps(std::span<const TransferStep> steps);
  TransferSteps(const TransferSteps&) = delete;
  TransferSteps& operator=(const TransferSteps&) = delete;

  // Step `phase` has `count` of `total` done; the steps before it are complete, those after it
  // not begun. Its share is taken in ten-thousandths, rounded down (a total of 0 is complete), as
  // the flash channel has always counted. A count past its total is not cut at the step's share.
  void done(UpgradePhase phase, uint64_t count, uint64_t total);
  // Step `phase` has `count` of `total` still to go: the whole is what is left taken from 100 %,
  // so the percent rounds up while the count falls, as the HID download has always shown it.
  void left(UpgradePhase phase, uint64_t count, uint64_t total);
  // Step `phase` has begun, nothing of it done.
  void begin(UpgradePhase phase) { done(phase, 0, 1); }
  // Step `phase` has begun and has counted nothing yet: the figure stays where the step before
  // left it until the step reports a count.
  void enter(UpgradePhase phase);

  UpgradePhase phase() const;
  uint32_t hundredths() const;  // of a percent
  int percent() const;

 private:
  struct Weights {
    bool declared = false;
    uint64_t before = 0, own = 0, after = 0;
    uint64_t all() const { return before + own + after; }
  };
  Weights weights_of(UpgradePhase phase) const;
  void store(UpgradePhase phase, uint64_t hundredths, uint64_t percent);

  std::span<const TransferStep> steps_;
  std::atomic<uint64_t> now_;  // phase (bits 56..63), percent (32..47), hundredths (0..31)
};

}  // namespace kestrel
