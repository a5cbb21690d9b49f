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

namespace {

uint32_t share_of(uint32_t done, uint32_t length) {
  if (done >= length) return 10'000;
  return static_cast<uint32_t>(static_cast<uint64_t>(done) * 10'000 / length);
}

}  // namespace

const char* upgrade_phase_name(UpgradePhase phase) {
  switch (phase) {
    case UpgradePhase::Erase: return "erase";
    case UpgradePhase::Write: return "write";
    case UpgradePhase::Verify: return "verify";
  }
  return "?";
}

UpgradePhase flash_phase(uint32_t erased, uint32_t written, uint32_t length) {
  if (written >= length) return UpgradePhase::Verify;
  if (erased >= length || written > 0) return UpgradePhase::Write;
  return UpgradePhase::Erase;
}

uint32_t flash_progress(uint32_t erased, uint32_t written, uint32_t length) {
  return (share_of(erased, length) + 3 * share_of(written, length)) / 4;
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

ImageCheckContext UpgradeWorkflow::check_context(std::span<uint8_t> work) {
  return ImageCheckContext{*card_.link, card_.registry, work, hooks_.show_alert};
}

void UpgradeWorkflow::finish_transfer(int32_t result) {
  last_.transferred = true;
  last_.result = result;
  last_.ok = result == 0;
  front_.transfer_ends(result);
}

std::shared_ptr<const ImageFile> UpgradeFront::load_image(const std::string& path, std::string& error) {
  std::optional<ImageFile> img = ImageFile::load(path, &error);
  if (!img) return nullptr;
  return std::make_shared<const ImageFile>(std::move(*img));
}

bool UpgradeWorkflow::take_image(uint16_t kind, const std::string& file, UpgradePath path) {
  std::string why;
  last_.image = front_.load_image(file, why);
  if (last_.image && last_.image->empty()) why = file + " is empty";
  else if (last_.image) why = upgrade_image_refusal(path, kind, file, last_.image->data());
  if (why.empty()) return true;
  log_printf(LOG_TRACE, " war : %s\r\n", why.c_str());
  last_.file_refused = true;
  last_.refusal = std::move(why);
  return false;
}

bool UpgradeWorkflow::file_accepted(uint16_t kind, const std::string& path) {
  if (!hooks_.accept_file || hooks_.accept_file(kind, path, *last_.image)) return true;
  last_.file_refused = true;
  return false;
}

void UpgradeWorkflow::on_clicked_button_usb_firmware() { on_clicked_upgrade(UPGRADE_KIND_USB); }
void UpgradeWorkflow::on_clicked_button_fpga_firmware() { on_clicked_upgrade(UPGRADE_KIND_FPGA); }

void UpgradeWorkflow::on_clicked_upgrade(uint16_t kind) {
  last_ = UpgradeOutcome{};
  // The card is this program's alone from before the first frame to after the unlock: no other
  // Kestrel program's request can fall between the upgrade's, nor a second upgrade start.
  const qhidev* dev = card_.link->current();
  const std::shared_ptr<platform::CardClaim> claim = dev && dev->handle ? dev->handle->claim() : nullptr;
  platform::ClaimHolder other;
  const platform::ExclusiveClaim held(claim, &other);
  if (!held.ok()) {
    last_.busy = "card busy: " + other.text();
    log_printf(LOG_TRACE, " war : %s\r\n", last_.busy.c_str());
    return;
  }
  upgrade(kind);
}

void UpgradeWorkflow::upgrade(uint16_t kind) {
  // 1. The flash channel first.
  if (upgrade_via_flash_channel(kind)) return;

  // 2.-4. HID path: the card is locked before the file is chosen.
  last_.path = UpgradePath::HidDownload;
  const bool usb = kind == UPGRADE_KIND_USB;
  HidLink& link = *card_.link;
  const int r = card_lock(link, card_.lock_page);
  last_.lock_result = r;
  log_printf(LOG_TRACE, usb ? " msg : download images and lock(%d)\r\n" : " msg : download fpga logical and lock(%d)\r\n", r);
  const int saved = front_.set_download_lock(1);

  // 5. The file, the check (USB images only) and the download.
  const std::string path = front_.choose_file(usb ? FILTER_USB_IMAGE : FILTER_FPGA_IMAGE);
  if (!path.empty()) {
    last_.file_chosen = true;
    last_.file = path;
    bool go = take_image(kind, path, UpgradePath::HidDownload) && file_accepted(kind, path);
    if (go && usb) {
      ImageCheckContext ctx = check_context(card_.check_page);
      go = check_usb_image_bytes(ctx, *last_.image);
    }
    last_.accepted = go;
    if (go) hid_download(last_.image->data(), usb ? &download_usb_image : &download_fpga_image);
  }

  // 6.-7. Window lock back to what it was, card unlocked.
  front_.set_download_lock(saved);
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

bool UpgradeWorkflow::upgrade_via_flash_channel(uint16_t kind) {
  // 1. Only for a card with the flash channel and a board that names a file filter for the kind.
  FileFilterAnswer filter;
  if (!flash_channel_filter(kind, filter)) return false;
  HidLink& link = *card_.link;
  const BoardEntry* entry = card_.registry->current;
  last_.path = UpgradePath::FlashChannel;

  // 2. The file; cancelling sends nothing.
  const std::string path = front_.choose_file(filter.text());
  if (path.empty()) return true;
  last_.file_chosen = true;
  last_.file = path;
  // Nothing locked, nothing sent for a file refused here.
  if (!take_image(kind, path, UpgradePath::FlashChannel) || !file_accepted(kind, path)) return true;
  const ImageFile& file = *last_.image;

  // 3. Locks.
  const int r = card_lock(link, card_.lock_page);
  last_.lock_result = r;
  log_printf(LOG_TRACE, " msg : download images and lock(%d)\r\n", r);
  const int saved = front_.set_download_lock(1);

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
  front_.set_download_lock(saved);
  last_.unlock_result = card_unlock(link, r, card_.lock_page);
  return true;
}

int32_t UpgradeWorkflow::hid_download(std::span<const uint8_t> image, DownloadFn download) {
  std::atomic<int32_t> progress{0};
  std::atomic<bool> writing{false};
  int32_t last_shown = 0;
  UpgradePhase last_phase = UpgradePhase::Erase;
  DownloadJob job;
  job.owner = card_.owner;
  job.link = card_.link;
  job.image = image;
  job.progress = &progress;
  job.writing = &writing;
  job.download = download;
  // Tells the front end when the figure or the phase moved.
  auto tell = [&](int32_t p) {
    const UpgradePhase phase = writing.load(std::memory_order_relaxed) ? UpgradePhase::Write : UpgradePhase::Erase;
    if (phase == last_phase && p == last_shown) return;
    if (p != last_shown) front_.transfer_progress(p);
    last_shown = p;
    last_phase = phase;
    if (hooks_.progress) hooks_.progress(phase, p);
  };

  front_.transfer_begins();

  std::thread worker;
  int32_t result = -1;
  if (start(worker, [&job] { download_worker(&job); })) {
    if (hooks_.progress) hooks_.progress(UpgradePhase::Erase, 0);
    for (;;) {
      pump();
      // Wait for the worker up to 100 ms.
      bool ended = job.finished.load(std::memory_order_acquire);
      for (uint32_t waited = 0; !ended && waited < DOWNLOAD_WAIT_MS; waited += FLASH_POLL_MS) {
        idle(FLASH_POLL_MS);
        ended = job.finished.load(std::memory_order_acquire);
      }
      if (ended) break;
      tell(progress.load(std::memory_order_relaxed));
    }
    worker.join();
    result = job.result;
    tell(progress.load(std::memory_order_relaxed));  // where the worker got to, if the last round missed it
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
  uint32_t last_q = 0;
  uint32_t last_pos = 0;
  UpgradePhase last_phase = UpgradePhase::Erase;
  if (hooks_.progress) hooks_.progress(last_phase, 0);
  for (;;) {
    pump();
    const uint32_t e = job.erased.load(std::memory_order_relaxed);
    const uint32_t w = job.written.load(std::memory_order_relaxed);
    if (job.done.load(std::memory_order_acquire)) break;
    const uint32_t q = flash_progress(e, w, job.image_length);
    if (q != last_q) {
      log_printf(LOG_TRACE, " %u.%02u\r", q / 100, q % 100);
      last_q = q;
    }
    const UpgradePhase phase = flash_phase(e, w, job.image_length);
    if (q / 100 != last_pos || phase != last_phase) {
      if (q / 100 != last_pos) front_.transfer_progress(static_cast<int>(q / 100));
      last_pos = q / 100;
      last_phase = phase;
      if (hooks_.progress) hooks_.progress(phase, static_cast<int>(last_pos));
    }
    idle(FLASH_POLL_MS);
  }
  // Where the engine got to, when the last round did not see it (a verify after a complete write
  // shows as verify at 100 %).
  if (hooks_.progress) {
    const uint32_t e = job.erased.load(std::memory_order_relaxed);
    const uint32_t w = job.written.load(std::memory_order_relaxed);
    const UpgradePhase phase = flash_phase(e, w, job.image_length);
    const uint32_t pos = flash_progress(e, w, job.image_length) / 100;
    if (phase != last_phase || pos != last_pos) hooks_.progress(phase, static_cast<int>(pos));
  }
}

}  // namespace kestrel
