#include "update/workflow.h"

#include "update/image_file.h"
#include "update/image_limits.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>

#include "boards/board.h"
#include "boards/control.h"
#include "devlink/hid_link.h"
#include "log/clock.h"
#include "log/log.h"
#include "platform/card_claim.h"

namespace kestrel {

void flash_steps(TransferSteps& steps, uint32_t erased, uint32_t written, uint32_t length) {
  if (written >= length) steps.begin(UpgradePhase::Verify);
  else if (erased >= length || written > 0) steps.done(UpgradePhase::Write, written, length);
  else steps.done(UpgradePhase::Erase, erased, length);
}

// ---- FlashJobBlock ---------------------------------------------------------------------------

FlashJobBlock::~FlashJobBlock() {
  if (job_) job_->~FlashJob();
  if (base_) ::operator delete(base_, std::align_val_t{kAlign});
}

bool FlashJobBlock::allocate(uint32_t capacity) {
  if (base_) {
    job_->~FlashJob();
    ::operator delete(base_, std::align_val_t{kAlign});
    base_ = nullptr;
    job_ = nullptr;
  }
  // Image, its zero byte and 255 bytes of 0xFF, rounded up to the alignment.
  const uint64_t tail = (static_cast<uint64_t>(capacity) + FLASH_PAGE + kAlign - 1) / kAlign * kAlign;
  const uint64_t size = 2 * kAlign + tail;
  if (size > SIZE_MAX) return false;
  void* p = ::operator new(static_cast<size_t>(size), std::align_val_t{kAlign}, std::nothrow);
  if (!p) return false;
  base_ = static_cast<uint8_t*>(p);
  size_ = static_cast<size_t>(size);
  capacity_ = capacity;
  std::memset(base_, 0, 2 * kAlign);  // job record and work area zeroed
  job_ = new (base_) FlashJob();
  job_->work = work();
  job_->image = image();
  return true;
}

// ---- UpgradeWorkflow -------------------------------------------------------------------------

UpgradeWorkflow::UpgradeWorkflow(const UpgradeCard& card, UpgradeFront& front, UpgradeHooks hooks)
    : card_(card), front_(front), hooks_(std::move(hooks)) {}

void UpgradeWorkflow::pump() {
  if (hooks_.pump) hooks_.pump();
}

void UpgradeWorkflow::idle(uint32_t ms) {
  if (hooks_.idle)
    hooks_.idle(ms);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool UpgradeWorkflow::start(std::thread& t, std::function<void()> body) {
  if (hooks_.start_thread) return hooks_.start_thread(t, std::move(body));
  try {
    t = std::thread(std::move(body));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

int UpgradeWorkflow::download_lock(int mode) { return card_.download_lock ? card_.download_lock(mode) : 0; }

void UpgradeWorkflow::tell(Shown& shown, const TransferSteps& steps) {
  const UpgradePhase phase = steps.phase();
  const int percent = steps.percent();
  if (phase == shown.phase && percent == shown.percent) return;
  if (percent != shown.percent) front_.transfer_progress(percent);
  shown = {phase, percent};
  if (hooks_.progress) hooks_.progress(phase, percent);
}

ImageCheckContext UpgradeWorkflow::check_context(std::span<uint8_t> work) {
  return ImageCheckContext{*card_.link, card_.registry, work, hooks_.show_alert};
}

void UpgradeWorkflow::finish_transfer(int32_t result) {
  last_.transferred = true;
  last_.result = result;
  last_.ok = result == 0;
  front_.transfer_ends(result);
}

bool UpgradeWorkflow::take_image(uint16_t kind, UpgradePath path) {
  std::string why;
  last_.image = image_;
  if (!image_) why = unreadable_.empty() ? "cannot read " + file_ : unreadable_;
  else if (image_->empty()) why = file_ + " is empty";
  else why = upgrade_image_refusal(path, kind, file_, image_->data());
  if (why.empty()) return true;
  log_printf(LOG_TRACE, " war : %s\r\n", why.c_str());
  last_.file_refused = true;
  last_.refusal = std::move(why);
  return false;
}

bool UpgradeWorkflow::file_accepted(uint16_t kind) {
  if (!hooks_.accept_file || hooks_.accept_file(kind, file_, *image_)) return true;
  last_.file_refused = true;
  return false;
}

void UpgradeWorkflow::upgrade(uint16_t kind, const std::string& path, std::shared_ptr<const ImageFile> image,
                              const std::string& unreadable) {
  last_ = UpgradeOutcome{};
  file_ = path;
  image_ = std::move(image);
  unreadable_ = unreadable;
  // The card is this program's alone from before the first frame to after the unlock: no other
  // Kestrel program's request can fall between the upgrade's, nor a second upgrade start.
  const qhidev* dev = card_.link->current();
  const std::shared_ptr<platform::CardClaim> claim = dev && dev->handle ? dev->handle->claim() : nullptr;
  platform::ClaimHolder other;
  const platform::ExclusiveClaim held(claim, &other);
  if (!held.ok()) {
    last_.busy = "card busy: " + other.text();
    log_printf(LOG_TRACE, " war : %s\r\n", last_.busy.c_str());
  } else if (!via_flash_channel(kind)) {
    via_hid_download(kind);
  }
  image_.reset();
}

void UpgradeWorkflow::via_hid_download(uint16_t kind) {
  // The card is locked, then the file taken.
  last_.path = UpgradePath::HidDownload;
  const bool usb = kind == UPGRADE_KIND_USB;
  HidLink& link = *card_.link;
  const int r = card_lock(link, card_.lock_page);
  last_.lock_result = r;
  log_printf(LOG_TRACE, usb ? " msg : download images and lock(%d)\r\n" : " msg : download fpga logical and lock(%d)\r\n", r);
  const int saved = download_lock(1);

  // The file, the check (USB images only) and the download.
  if (!file_.empty()) {
    last_.file_chosen = true;
    last_.file = file_;
    bool go = take_image(kind, UpgradePath::HidDownload) && file_accepted(kind);
    if (go && usb) {
      ImageCheckContext ctx = check_context(card_.check_page);
      go = check_usb_image_bytes(ctx, *image_);
    }
    last_.accepted = go;
    if (go) hid_download(image_->data(), usb ? &download_usb_image : &download_fpga_image);
  }

  // The download lock back to what it was, the card unlocked.
  download_lock(saved);
  const int u = card_unlock(link, r, card_.lock_page);
  last_.unlock_result = u;
  if (usb) log_printf(LOG_TRACE, " msg : download exit and unlock(%d)\r\n", u);
}

bool UpgradeWorkflow::flash_channel_filter(uint16_t kind, FileFilterAnswer& filter) {
  // Only for a card with the flash channel and a board that names a file filter for the kind
  // (the board table's answer: nothing goes to the card).
  HidLink& link = *card_.link;
  const qhidev* dev = link.current();
  if (!dev || !(dev->link_flags & QHIDEV_F_FLASH_CHAN)) return false;
  BoardRegistry* reg = card_.registry;
  const BoardEntry* entry = reg ? reg->current : nullptr;
  if (!entry || !entry->descriptor || !entry->descriptor->control) return false;
  BoardContext control{link, card_.control_page};
  return board_control_current(*reg, control, CTL_FILE_FILTER, kind, &filter) && filter.text();
}

UpgradePath UpgradeWorkflow::path_for(uint16_t kind) {
  FileFilterAnswer filter;
  return flash_channel_filter(kind, filter) ? UpgradePath::FlashChannel : UpgradePath::HidDownload;
}

std::string UpgradeWorkflow::file_filter(uint16_t kind) {
  FileFilterAnswer filter;
  if (flash_channel_filter(kind, filter)) return filter.text();
  return kind == UPGRADE_KIND_USB ? FILTER_USB_IMAGE : FILTER_FPGA_IMAGE;
}

bool UpgradeWorkflow::via_flash_channel(uint16_t kind) {
  // 1. Only for a card with the flash channel and a board that names a file filter for the kind.
  FileFilterAnswer filter;
  if (!flash_channel_filter(kind, filter)) return false;
  HidLink& link = *card_.link;
  const BoardEntry* entry = card_.registry->current;
  last_.path = UpgradePath::FlashChannel;

  // 2. The file; none chosen sends nothing.
  if (file_.empty()) return true;
  last_.file_chosen = true;
  last_.file = file_;
  // Nothing locked, nothing sent for a file refused here.
  if (!take_image(kind, UpgradePath::FlashChannel) || !file_accepted(kind)) return true;
  const ImageFile& file = *image_;

  // 3. Locks.
  const int r = card_lock(link, card_.lock_page);
  last_.lock_result = r;
  log_printf(LOG_TRACE, " msg : download images and lock(%d)\r\n", r);
  const int saved = download_lock(1);

  // 4. The job block with the image.
  {
    FlashJobBlock block;
    if (file.size() <= 0xFFFF0000u && block.allocate(file.size())) {
      FlashJob& job = *block.job();
      const uint32_t length = file.size();
      std::memcpy(job.image, file.begin(), length);
      job.image_length = length;
      job.image[length] = 0;
      std::memset(job.image + length + 1, 0xFF, FLASH_PAGE - 1);
      job.image_kind = kind;
      job.entry = entry;
      job.owner = card_.owner;
      job.link = &link;
      job.start_time = clock_now_ns();

      // 5. The match check for USB-controller images, over the job's work area.
      bool go = true;
      if (kind == UPGRADE_KIND_USB) {
        ImageCheckContext ctx = check_context(std::span<uint8_t>(job.work, block.work_size()));
        go = check_usb_image_buffer(ctx, entry, job.image, length);
      }
      last_.accepted = go;
      // 6. The transfer.
      if (go) flash_transfer(job);
    }
    // 7. The block (and with it the job) is freed here, after the engine has ended.
  }

  // 8. Locks back.
  download_lock(saved);
  last_.unlock_result = card_unlock(link, r, card_.lock_page);
  return true;
}

int32_t UpgradeWorkflow::hid_download(std::span<const uint8_t> image, DownloadFn download) {
  TransferSteps steps(HID_DOWNLOAD_STEPS);
  Shown shown;
  DownloadJob job;
  job.owner = card_.owner;
  job.link = card_.link;
  job.image = image;
  job.steps = &steps;
  job.download = download;

  front_.transfer_begins();

  std::thread worker;
  int32_t result = -1;
  if (start(worker, [&job] { download_worker(&job); })) {
    if (hooks_.progress) hooks_.progress(shown.phase, shown.percent);
    for (;;) {
      pump();
      // Wait for the worker up to 100 ms.
      bool ended = job.finished.load(std::memory_order_acquire);
      for (uint32_t waited = 0; !ended && waited < DOWNLOAD_WAIT_MS; waited += FLASH_POLL_MS) {
        idle(FLASH_POLL_MS);
        ended = job.finished.load(std::memory_order_acquire);
      }
      if (ended) break;
      tell(shown, steps);
    }
    worker.join();
    result = job.result;
    tell(shown, steps);  // where the worker got to, if the last round missed it
  } else {
    last_.thread_failed = true;
  }
  finish_transfer(result);
  return result;
}

int32_t UpgradeWorkflow::flash_transfer(FlashJob& job) {
  job.done.store(0, std::memory_order_relaxed);
  job.result = FLASH_OPEN_FAILED;
  std::thread engine;
  const bool started = start(engine, [&job] { flash_job_run(&job); });
  front_.transfer_begins();

  int32_t result = FLASH_OPEN_FAILED;
  if (started) {
    watch_flash_job(job);
    engine.join();
    result = job.result;
    if (result == FLASH_PARTITION) last_.partition_size = job.partition_size;
  } else {
    last_.thread_failed = true;
  }
  finish_transfer(result);
  return result;
}

void UpgradeWorkflow::watch_flash_job(FlashJob& job) {
  TransferSteps steps(FLASH_CHANNEL_STEPS);
  Shown shown;
  uint32_t last_q = 0;
  if (hooks_.progress) hooks_.progress(shown.phase, shown.percent);
  for (;;) {
    pump();
    const uint32_t e = job.erased.load(std::memory_order_relaxed);
    const uint32_t w = job.written.load(std::memory_order_relaxed);
    if (job.done.load(std::memory_order_acquire)) break;
    flash_steps(steps, e, w, job.image_length);
    const uint32_t q = steps.hundredths();
    if (q != last_q) {
      log_printf(LOG_TRACE, " %u.%02u\r", q / 100, q % 100);
      last_q = q;
    }
    tell(shown, steps);
    idle(FLASH_POLL_MS);
  }
  // Where the engine got to, when the last round did not see it (a verify after a complete write
  // shows as verify at 100 %).
  flash_steps(steps, job.erased.load(std::memory_order_relaxed), job.written.load(std::memory_order_relaxed),
              job.image_length);
  tell(shown, steps);
}

}  // namespace kestrel
