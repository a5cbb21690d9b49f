// The flash programming engine: writes an image into the card's QSPI flash through
// the flash channel (output report 7 requests, input report 6 "qspi stat" answers). It opens the
// card's block device "qzffs", erases along 64 KB boundaries, writes 256-byte pages back to back,
// asks the card to verify the CRC register over the image and closes the device. It runs on a
// thread of its own; the GUI thread watches the progress counters and the done flag.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kestrel {

class HidLink;
struct BoardEntry;

// Flash-channel framing.
constexpr uint8_t QSPI_OUT_RID = 7;
constexpr uint8_t QSPI_IN_RID = 6;
constexpr size_t QSPI_REPORT_SIZE = 264;
constexpr uint8_t BDEV_OPEN = 1, BDEV_CLOSE = 2, BDEV_ERASE = 3, BDEV_WRITE = 4, BDEV_VERIFY = 6;
constexpr uint8_t BDEV_ANSWER_FULL = 5;   // an answer with byte 2 = 5 is 264 bytes long
constexpr uint8_t BDEV_WRITE_SUB = 0x40;
constexpr uint16_t BDEV_CONTROL_LEN = 64;
constexpr uint16_t BDEV_ERASE_LEN = 32;
constexpr uint32_t FLASH_PAGE = 256;
constexpr uint32_t FLASH_ERASE_DEFAULT = 4096;   // an open answer's erase block 0 means this
constexpr uint32_t FLASH_ERASE_ALIGN = 0x10000;  // erase steps follow 64 KB boundaries
constexpr uint32_t FLASH_ERASE_TAIL = 16384;     // a tail short of the boundary goes in steps of at most this
constexpr uint64_t QSPI_TIMEOUT_NS = 1'000'000'000ULL;
constexpr size_t FLASH_WORK_PAGE = 4096;

// Offsets in the control payload (BdevControl) and in the open / verify answers.
constexpr size_t BC_OP = 0, BC_KIND = 2, BC_MAGIC = 4, BC_TIME = 8, BC_BASE = 16, BC_LEN = 20, BC_CRC = 24,
                 BC_VFY_72 = 28, BC_VFY_KIND = 30, BC_NAME = 40;
constexpr size_t OPEN_ANS_BASE = 16, OPEN_ANS_SIZE = 20, OPEN_ANS_EBLOCK = 32;  // from answer byte 8
constexpr size_t VERIFY_ANS_MATCH = 9;  // answer byte (not payload offset)

// Result codes.
constexpr int32_t FLASH_OK = 0;             // written (or left in place) and verified
constexpr int32_t FLASH_UNCONFIRMED = 1;    // written, the card did not confirm verification
constexpr int32_t FLASH_OPEN_FAILED = -1;   // opening the block device failed
constexpr int32_t FLASH_PARTITION = -2;     // the partition cannot take the image
constexpr int32_t FLASH_WRITE_FAILED = -3;  // erasing or writing failed

// Created and filled by the workflow, then written by the engine and watched by the GUI thread.
struct FlashJob {
  // Filled by the workflow before the engine starts.
  const BoardEntry* entry = nullptr;
  const void* owner = nullptr;   // the card the job runs on
  HidLink* link = nullptr;       // current device and hid_seq
  uint8_t* image = nullptr;      // a zero byte follows; at least 256 more bytes are writable
  uint32_t image_length = 0;
  uint16_t image_kind = 0;       // 1 FPGA bitstream, 2 USB-controller firmware
  uint8_t* work = nullptr;       // two 4096-byte-aligned pages: answer page, request page

  // Written by the engine.
  uint64_t start_time = 0;
  uint32_t image_crc = 0;
  uint32_t partition_base = 0;
  uint32_t partition_size = 0;
  uint32_t erase_block = 0;
  std::atomic<uint32_t> erased{0};   // progress, read by the GUI thread
  std::atomic<uint32_t> written{0};
  int32_t result = FLASH_OPEN_FAILED;  // valid once done is seen set (acquire)
  std::atomic<uint8_t> done{0};        // the engine's very last access to the job (release)

  uint8_t* answer_page() const { return work; }
  uint8_t* request_page() const { return work + FLASH_WORK_PAGE; }
};

// The thread routine. Returns 0; the outcome is job.result.
int flash_job_run(FlashJob* job);

// Sends the 264-byte request. A failure that took more than one second is sent once more.
bool qspi_put(HidLink& link, const uint8_t* request);
// Fetches input report 6 into `answer` (>= 264 bytes) and accepts it (report ID 6, answer length
// <= 264, checksum). At most one retry, shared by a slow failure, a wrong ID and a bad checksum.
bool qspi_get_status(HidLink& link, uint8_t* answer);
// Fills bytes 0..7 of a control request whose payload is already at byte 8; returns 8 + len.
uint32_t bdev_frame(uint8_t* request, uint8_t seq, uint8_t op, uint16_t len);
// The answer length qspi_get_status checks: 264 when byte 2 is 5, 8 when it is 4, else 8 + len.
uint32_t qspi_answer_length(const uint8_t* answer);
// Builds the page write request for `data` (256 bytes) at flash `address`; bytes 264.. of the
// request page are taken as zero for the checksum.
void qspi_page_frame(uint8_t* request, uint8_t seq, uint32_t address, const uint8_t* data);

// Ends of the erase steps of [base, base + total): the size of the step that starts at `address`
// with `total` bytes left.
uint32_t flash_erase_step(uint32_t address, uint32_t total);

}  // namespace kestrel
