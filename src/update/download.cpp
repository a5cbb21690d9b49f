#include "update/download.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "devlink/commands.h"
#include "devlink/hid_link.h"
#include "log/clock.h"
#include "update/image_limits.h"

namespace kestrel {

namespace {

platform::HidDevice* device_of(HidLink& link) {
  qhidev* d = link.current();
  return d ? d->handle.get() : nullptr;
}

void erased(TransferSteps* steps, uint32_t blocks_behind, uint32_t blocks) {
  if (steps) steps->done(UpgradePhase::Erase, blocks_behind, blocks ? blocks : 1);
}

void to_send(TransferSteps* steps, uint32_t remaining, uint32_t size) {
  if (steps) steps->left(UpgradePhase::Write, remaining, size);
}

// Feature report 1 with byte 1 = `start` (1 start, 0 end).
bool control_report(HidLink& link, uint8_t start) {
  platform::HidDevice* dev = device_of(link);
  if (!dev) return false;
  uint8_t r[DL_REPORT_BYTES] = {};
  r[0] = DL_FEATURE_CONTROL;
  r[1] = start;
  return dev->set_feature_report(r);
}

// Output report 5 for one block, then the handshake poll until the card answers 0.
bool erase_block(HidLink& link, uint32_t block, uint32_t poll_ms) {
  platform::HidDevice* dev = device_of(link);
  if (!dev) return false;
  uint8_t r[DL_REPORT_BYTES] = {};
  r[0] = DL_OUT_ERASE;
  r[1] = static_cast<uint8_t>(block);
  // A refused erase request fails the download: writing over a block that was
  // never erased would leave the flash wrong, so it fails the download.
  if (!dev->set_output_report(r)) return false;
  const uint64_t t0 = clock_now_ns();
  for (;;) {
    // An invalid handle fails the poll (the FPGA variant does not test it first, but without a
    // device there is nothing to fetch from either).
    dev = device_of(link);
    if (!dev) return false;
    uint8_t h[DL_HANDSHAKE_BYTES] = {};
    h[0] = DL_IN_HANDSHAKE;
    if (!dev->get_input_report(h)) return false;
    if (h[0] == 0) return true;
    if (clock_now_ns() - t0 > DL_ERASE_GIVE_UP_NS) return false;
    sleep_ms(poll_ms);
  }
}

// Output report 4: page number and count big-endian, then the data, zero beyond the count.
bool page_report(HidLink& link, uint16_t page, uint16_t count, const uint8_t* data) {
  platform::HidDevice* dev = device_of(link);
  if (!dev) return false;
  uint8_t r[DL_REPORT_BYTES] = {};
  r[0] = DL_OUT_DATA;
  r[1] = static_cast<uint8_t>(page >> 8);
  r[2] = static_cast<uint8_t>(page);
  r[3] = static_cast<uint8_t>(count >> 8);
  r[4] = static_cast<uint8_t>(count);
  std::memcpy(r + 5, data, count);
  return dev->set_output_report(r);
}

// Writes the image as pages from `first_page`, each counted off what is left to send.
bool stream_pages(HidLink& link, std::span<const uint8_t> image, uint32_t first_page, TransferSteps* steps) {
  const uint32_t size = static_cast<uint32_t>(image.size());
  uint32_t offset = 0, remaining = size;
  while (remaining > 0) {
    const uint32_t n = remaining < DL_PAGE ? remaining : DL_PAGE;
    const uint8_t* data = image.data() + offset;
    const uint32_t page = first_page + offset / DL_PAGE;
    if (!page_report(link, static_cast<uint16_t>(page), static_cast<uint16_t>(n), data)) return false;
    offset += n;
    remaining -= n;
    to_send(steps, remaining, size);
  }
  return true;
}

}  // namespace

int download_usb_image(HidLink& link, std::span<const uint8_t> image, TransferSteps* steps) {
  if (!link.current()) return -1;
  // Past block 3 lies the FPGA logic; the front ends refuse such a file with its size first.
  if (image.size() > DL_USB_IMAGE_MAX) return -1;
  const uint32_t size = static_cast<uint32_t>(image.size());
  if (!control_report(link, 1)) return -1;

  const uint32_t blocks = static_cast<uint32_t>((static_cast<uint64_t>(size) + DL_BLOCK - 1) / DL_BLOCK);
  erased(steps, 0, blocks);
  // Block i erased is counted as i blocks behind: the figure trails the erase by one block.
  for (uint32_t i = 0; i < blocks; ++i) {
    if (!erase_block(link, i, DL_USB_POLL_MS)) return -1;
    erased(steps, i, blocks);
  }
  if (steps) steps->enter(UpgradePhase::Write);
  if (!stream_pages(link, image, 0, steps)) return -1;
  if (!control_report(link, 0)) return -1;
  to_send(steps, 0, size);
  return 0;
}

int download_fpga_image(HidLink& link, std::span<const uint8_t> image, TransferSteps* steps) {
  if (!link.current()) return -1;
  // Block numbers are one byte and page numbers two: past page 0xFFFF they would wrap to block 0,
  // the USB controller's firmware.
  if (image.size() > DL_FPGA_IMAGE_MAX) return -1;
  const uint32_t size = static_cast<uint32_t>(image.size());
  if (!control_report(link, 1)) return -1;

  const uint32_t blocks = static_cast<uint32_t>((static_cast<uint64_t>(size) + DL_PAGE + DL_BLOCK - 1) / DL_BLOCK);
  erased(steps, 0, blocks);
  // The erase is counted by the number of the block erased, from block 4: the figure runs past the
  // erase's share (to 20 % for a one-block file) and falls back to 5 % with the first page, as the
  // card's own tools have always shown it.
  for (uint32_t k = 0; k < blocks; ++k) {
    if (!erase_block(link, DL_FPGA_FIRST_BLOCK + k, DL_FPGA_POLL_MS)) return -1;
    erased(steps, DL_FPGA_FIRST_BLOCK + k, blocks);
  }
  if (steps) steps->enter(UpgradePhase::Write);
  uint8_t header[8];
  put_le32(header, size);
  put_le32(header + 4, ~size);
  if (!page_report(link, DL_FPGA_HEADER_PAGE, sizeof header, header)) return -1;
  if (!stream_pages(link, image, DL_FPGA_FIRST_PAGE, steps)) return -1;
  if (!control_report(link, 0)) return -1;
  to_send(steps, 0, size);
  return 0;
}

int download_worker(DownloadJob* job) {
  job->result = job->download ? job->download(*job->link, job->image, job->steps) : -1;
  job->finished.store(true, std::memory_order_release);
  return 0;
}

int card_lock(HidLink& link, std::span<uint8_t> page) { return link.hid_send_command(CTRL_CFG_BEGIN, page); }

int card_unlock(HidLink& link, int lock_result, std::span<uint8_t> page) {
  const int r = lock_result == -1 ? 2 : lock_result;
  return link.hid_send_command(static_cast<uint8_t>(CTRL_CFG_END + r), page);
}

}  // namespace kestrel
