// The HID download protocol of the upgrade workflow: unframed 261-byte reports over
// feature 1 (start and end), output 5 (erase a 64 KiB block), input 6 (257 bytes: the erase
// handshake) and output 4 (one page of at most 256 bytes), run by a worker thread; and the card
// lock (command 7, control codes 0x21 and 0x20 + result) around an upgrade.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "update/transfer_steps.h"

namespace kestrel {

class HidLink;

constexpr size_t DL_REPORT_BYTES = 261;      // feature 1, outputs 4 and 5
constexpr size_t DL_HANDSHAKE_BYTES = 257;   // input 6
constexpr uint8_t DL_FEATURE_CONTROL = 1;
constexpr uint8_t DL_OUT_DATA = 4;
constexpr uint8_t DL_OUT_ERASE = 5;
constexpr uint8_t DL_IN_HANDSHAKE = 6;
constexpr uint32_t DL_BLOCK = 65536;
constexpr uint32_t DL_PAGE = 256;
constexpr uint32_t DL_FPGA_FIRST_BLOCK = 4;
constexpr uint16_t DL_FPGA_HEADER_PAGE = 0x0400;
constexpr uint16_t DL_FPGA_FIRST_PAGE = 0x0401;
constexpr uint32_t DL_USB_POLL_MS = 10;
constexpr uint32_t DL_FPGA_POLL_MS = 1;
// An erase the card never finishes would hold the GUI thread forever; after this long waiting
// for one block the download fails (the original has no limit).
constexpr uint64_t DL_ERASE_GIVE_UP_NS = 60'000'000'000ULL;

// The worker reports its steps (HID_DOWNLOAD_STEPS) into `steps`, when given: the erase by the
// blocks behind it, then the pages by the bytes still to send. The image is the file as it was
// read once and checked: the bytes checked are the bytes written.
using DownloadFn = int (*)(HidLink& link, std::span<const uint8_t> image, TransferSteps* steps);

// Streams a USB-controller image from flash address 0. 0 or -1; -1 without sending anything for
// an image past the controller's region (DL_USB_IMAGE_MAX).
int download_usb_image(HidLink& link, std::span<const uint8_t> image, TransferSteps* steps = nullptr);
// Streams an FPGA bitstream from block 4: a size header page at 0x400, data from page 0x401. -1
// without sending anything for an image past page 0xFFFF (DL_FPGA_IMAGE_MAX).
int download_fpga_image(HidLink& link, std::span<const uint8_t> image, TransferSteps* steps = nullptr);

// The worker record of the HID download path; lives on the GUI thread's stack while it runs.
struct DownloadJob {
  const void* owner = nullptr;
  HidLink* link = nullptr;
  std::span<const uint8_t> image;
  TransferSteps* steps = nullptr;
  DownloadFn download = nullptr;
  int32_t result = -1;               // valid once finished is seen set (acquire)
  std::atomic<bool> finished{false}; // set by the worker after the result, as its last access
};

// The thread routine: runs the job's download function and stores its result. Returns 0.
int download_worker(DownloadJob* job);

// The card lock around a download: r = command 7 with 0x21 (1, 0 or -1), and later command 7
// with 0x20 + r, r = -1 taken as 2. `page` is a transfer page of >= 265 bytes.
int card_lock(HidLink& link, std::span<uint8_t> page);
int card_unlock(HidLink& link, int lock_result, std::span<uint8_t> page);

}  // namespace kestrel
