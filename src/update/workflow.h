// The upgrade workflow of the two upgrade buttons, on one card and without any widget: the
// flash-channel path first, else the HID download path; card lock and download lock around the
// transfer; the progress, in named and weighted steps, and the end through an UpgradeFront. It
// takes the file the front end chose and read once: the desktop program runs its file dialog
// first (app/upgrade_front.h), kestrelctl has the file from its command line. Both supply the
// hooks: the confirmation, the message pump that keeps the front end alive while the calling
// thread waits, and the wait between polls.
//
//   struct Front : UpgradeFront { ... };             // bar, end
//   UpgradeHooks hooks;
//   hooks.show_alert = [&](const AlertRequest& r) { return ask_user(r); };
//   UpgradeWorkflow upgrade(card, front, hooks);       // card: its link, board, lock and work pages
//   upgrade.upgrade(UPGRADE_KIND_USB, path, image);   // image: the file as read once
//   bool ok = upgrade.last().ok;
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "update/alert.h"
#include "update/download.h"
#include "update/flash_engine.h"
#include "update/image_check.h"
#include "update/image_file.h"
#include "update/transfer_steps.h"

namespace kestrel {

class HidLink;
struct BoardRegistry;
struct FileFilterAnswer;

// Image kinds (also the sub-codes of board control code 5).
constexpr uint16_t UPGRADE_KIND_FPGA = 1;
constexpr uint16_t UPGRADE_KIND_USB = 2;

inline constexpr const char* FILTER_USB_IMAGE = "FX3 firmware file (*.img)|*.img||";
inline constexpr const char* FILTER_FPGA_IMAGE = "FPGA bitstream file (*.bit)|*.bit|FPGA bitstream file (*.bin)|*.bin||";
inline constexpr const char* UPGRADE_OK = "OK!";
inline constexpr const char* UPGRADE_FAILED = "FAILED!";

constexpr uint32_t FLASH_POLL_MS = 5;       // the flash path polls the engine every 5 ms
constexpr uint32_t DOWNLOAD_WAIT_MS = 100;  // the HID path waits for its worker up to 100 ms a round

struct UpgradeHooks {
  // The confirmation dialog; null declines every upgrade that needs one.
  ShowAlertFn show_alert;
  // Dispatches the front end's pending events (Qt: processEvents; kestrelctl: the posted
  // commands of its MemoryView). Called on the GUI thread in every round of a wait.
  std::function<void()> pump;
  // The GUI thread's pause between two polls of a worker. Default: a real sleep of `ms` (GUI
  // pacing, not card timing, so it does not go through kestrel::sleep_ms and never moves a
  // test's simulated clock).
  std::function<void(uint32_t ms)> idle;
  // Starts a worker thread into `out`; false when it cannot be started (a failed transfer).
  // Default: std::thread, false on std::system_error.
  std::function<bool(std::thread& out, std::function<void()> body)> start_thread;
  // Looks at the chosen file, as read once, before anything is written to the card (the desktop
  // program: an FPGA file's bitstream marks, asking before a file without them goes on). Called
  // only for a file that fits the path (see image_limits.h). False refuses the file, and the
  // front end has said why; null takes every file.
  std::function<bool(uint16_t kind, const std::string& path, const ImageFile& image)> accept_file;
  // Told on the GUI thread whenever a running transfer's phase or whole percent changes (the
  // percent the progress bar shows). Optional; kestrelctl's progress line.
  std::function<void(UpgradePhase phase, int percent)> progress;
};

// The card an upgrade runs on. The pages are the card's own work areas, so that two cards can be
// upgraded at once without sharing a buffer.
struct UpgradeCard {
  HidLink* link = nullptr;
  BoardRegistry* registry = nullptr;    // its board: the file filter, the match check
  std::span<uint8_t> lock_page;         // the lock and unlock exchanges (command 7)
  std::span<uint8_t> check_page;        // the match check's reads of the running image (>= 2 pages)
  std::span<uint8_t> control_page;      // the board's control codes
  const void* owner = nullptr;          // recorded in the transfer's job
  // The front end's download lock around the transfer, held so that nothing else the front end
  // does reaches the card: mode 0 unlocks, 1 locks, 2 asks; returns the state it had (0 or 1).
  // Null: there is none.
  std::function<int(int mode)> download_lock;
};

// What the front end shows around a transfer. By default nothing: kestrelctl shows its progress
// through the hooks and says the end itself.
class UpgradeFront {
 public:
  virtual ~UpgradeFront() = default;
  // A transfer starts: progress at 0, controls that would reach the card off.
  virtual void transfer_begins() {}
  // The whole percent of the running transfer moved.
  virtual void transfer_progress(int) {}
  // The transfer ended with `result` (0: "OK!", else "FAILED!"): controls back on, the end said.
  virtual void transfer_ends(int32_t) {}
};

enum class UpgradePath : uint8_t { None, FlashChannel, HidDownload };

// What the last button press did, for front ends that report more than the message box.
struct UpgradeOutcome {
  UpgradePath path = UpgradePath::None;
  bool file_chosen = false;
  std::string file;           // the chosen file ("" when none was)
  std::shared_ptr<const ImageFile> image;  // its bytes, as read once (null: it could not be read)
  bool file_refused = false;  // unreadable, past the path's limits, or turned down by accept_file
  std::string refusal;        // why, for a file the workflow refused itself ("" otherwise)
  std::string busy;           // "card busy: ..." when another program holds the card: nothing sent
  bool accepted = false;      // the match check (USB images) let the transfer go ahead
  bool transferred = false;   // a transfer ran and ended in "OK!" or "FAILED!"
  bool thread_failed = false; // the worker could not be started
  int32_t result = 0;         // engine result code (flash) or download result (HID)
  uint32_t partition_size = 0;  // FLASH_PARTITION: what the card's partition for the image holds
  bool ok = false;            // "OK!" was shown
  int lock_result = 0;        // command 7 with 0x21
  int unlock_result = 0;      // command 7 with 0x20 + r
};

// The single allocation of the flash path: the job record, a 64 KiB work area (answer page and
// request page first) and the image, each at a 64 KiB boundary; after the image room for its
// zero byte and the engine's 0xFF padding.
class FlashJobBlock {
 public:
  static constexpr size_t kAlign = 0x10000;
  FlashJobBlock() = default;
  ~FlashJobBlock();
  FlashJobBlock(const FlashJobBlock&) = delete;
  FlashJobBlock& operator=(const FlashJobBlock&) = delete;

  // Room for an image of `capacity` bytes; false when the allocation fails.
  bool allocate(uint32_t capacity);
  FlashJob* job() const { return job_; }
  uint8_t* work() const { return base_ + kAlign; }
  uint8_t* image() const { return base_ + 2 * kAlign; }
  size_t work_size() const { return kAlign; }
  uint32_t capacity() const { return capacity_; }

 private:
  uint8_t* base_ = nullptr;
  size_t size_ = 0;
  uint32_t capacity_ = 0;
  FlashJob* job_ = nullptr;
};

class UpgradeWorkflow {
 public:
  UpgradeWorkflow(const UpgradeCard& card, UpgradeFront& front, UpgradeHooks hooks = {});

  // An upgrade of `kind` with the file the front end chose and read once: `path` ("" when none
  // was chosen) and `image`, its bytes (null when they could not be read, `unreadable` saying
  // why). Every check, the record and the transfer use that one buffer, so the bytes checked are
  // the bytes written. With no file the flash channel sends nothing; the HID path still locks and
  // unlocks the card around the choice, as the window's cancelled file dialog always has.
  void upgrade(uint16_t kind, const std::string& path, std::shared_ptr<const ImageFile> image,
               const std::string& unreadable = {});

  // The path an upgrade of `kind` would take on this card, known before anything is sent (so a
  // front end that has the file already can judge it against that path's limits first).
  UpgradePath path_for(uint16_t kind);
  // The file filter of that path ("name (*.ext)|*.ext||"): the board's for the flash channel,
  // the HID download's own otherwise. Nothing is sent.
  std::string file_filter(uint16_t kind);

  // The GUI side of the HID download: worker, progress bar, device controls, message box.
  int32_t hid_download(std::span<const uint8_t> image, DownloadFn download);
  // The GUI side of a flash transfer of a filled job: engine thread, watch loop, message box.
  int32_t flash_transfer(FlashJob& job);
  // The watch loop of a running engine: progress log line and bar, until done is set.
  void watch_flash_job(FlashJob& job);

  // The check's view of the card, with `work` as its transfer area.
  ImageCheckContext check_context(std::span<uint8_t> work);

  const UpgradeOutcome& last() const { return last_; }
  UpgradeHooks& hooks() { return hooks_; }

 private:
  // What the front end was last told of a running transfer.
  struct Shown {
    UpgradePhase phase = UpgradePhase::Erase;
    int percent = 0;
  };
  void pump();
  void idle(uint32_t ms);
  bool start(std::thread& t, std::function<void()> body);
  int download_lock(int mode);
  // Tells the front end the steps' phase and percent, when either moved since `shown`.
  void tell(Shown& shown, const TransferSteps& steps);
  void finish_transfer(int32_t result);
  // True when the flash-channel path took the upgrade (whether or not anything was written).
  bool via_flash_channel(uint16_t kind);
  void via_hid_download(uint16_t kind);
  bool file_accepted(uint16_t kind);
  bool flash_channel_filter(uint16_t kind, FileFilterAnswer& filter);
  // Takes the chosen file and judges it against `path`'s limits; false refuses it.
  bool take_image(uint16_t kind, UpgradePath path);

  UpgradeCard card_;
  UpgradeFront& front_;
  UpgradeHooks hooks_;
  UpgradeOutcome last_;
  // The file of the upgrade under way.
  std::string file_;
  std::shared_ptr<const ImageFile> image_;
  std::string unreadable_;
};

// A flash run's counters as its steps (FLASH_CHANNEL_STEPS): the engine erases the image's range,
// then writes every page, then has the card verify and closes.
void flash_steps(TransferSteps& steps, uint32_t erased, uint32_t written, uint32_t length);

}  // namespace kestrel
