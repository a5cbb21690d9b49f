// The card side of the legacy HID download protocol: unframed 261-byte reports.
//
//   feature 1, set   byte 1 = 1: start of a download; byte 1 = 0: end
//   output 5         byte 1 = block number: erase one 64 KiB block of the flash
//   input 6, 257 B   byte 0 = 0 once the erase has finished (non-zero while it runs)
//   output 4         bytes 1..2 page number, 3..4 byte count (<= 256), big-endian; 5.. data
//
// over a modelled flash (USB-controller image from address 0; an FPGA image from block 4, an
// 8-byte size header at 0x40000 and the data from 0x40100). An erase completes a modelled time
// after its request, on kestrel's clock (simulated time in tests); a page written while the erase
// still runs is ignored by the flash, as real NOR flash ignores a program while busy, and counted.
//
// Report IDs shared with other protocols, and how the card tells them apart:
//  - input 6 is also the flash channel's 264-byte qspi status. This channel answers only fetches
//    of exactly 257 bytes; the flash channel only those of 264. The size is what the host hands
//    over in-process; over uhid the bridge chooses the size from the protocol state (uhid.h).
//  - output 5 is also the framed 63-byte notification (command 14). This channel takes output 5
//    only at 261 bytes and leaves other sizes to the card.
//  - feature 1 is also the 24-byte board event record, which the host only gets; this channel
//    takes only sets of feature 1 and leaves gets to the card.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "sim/channel.h"
#include "sim/flash_channel.h"
#include "sim/qspi_flash.h"

namespace kestrel::sim {

constexpr size_t DL_REPORT_SIZE = 261;        // feature 1 set, outputs 4 and 5
constexpr size_t DL_HANDSHAKE_SIZE = 257;     // input 6
constexpr uint8_t DL_RID_CONTROL = 1;         // feature
constexpr uint8_t DL_RID_DATA = 4;            // output
constexpr uint8_t DL_RID_ERASE = 5;           // output
constexpr uint8_t DL_RID_HANDSHAKE = 6;       // input
constexpr uint32_t DL_BLOCK_SIZE = 0x10000;   // one erase request
constexpr uint32_t DL_FPGA_BASE = 0x40000;    // block 4
constexpr uint32_t DL_FPGA_DATA = 0x40100;    // page 0x401
constexpr uint8_t DL_BUSY = 1;                // handshake byte 0 while an erase runs

struct DownloadStats {
  uint32_t starts = 0, ends = 0;
  std::vector<uint32_t> erased_blocks;   // block numbers in the order requested
  uint32_t polls = 0;                    // handshake fetches
  uint32_t busy_polls = 0;               // of which answered "still erasing"
  uint32_t pages = 0;                    // page writes programmed
  uint32_t writes_while_busy = 0;        // page writes that arrived during an erase (lost)
  uint32_t outside_session = 0;          // erase or page reports outside start .. end
  uint32_t bad_reports = 0;              // wrong size, count > 256, out of the flash
  uint64_t bytes = 0;                    // data bytes programmed
};

class DownloadChannel : public SimChannel {
 public:
  struct Config {
    uint32_t erase_ms = 40;   // modelled time of one 64 KiB block erase
    uint32_t page_us = 0;     // latency of one page write, spent through kestrel::sleep_ms
  };

  explicit DownloadChannel(QspiFlash& flash);
  DownloadChannel(QspiFlash& flash, const Config& config);

  Handled on_set_output(std::span<const uint8_t> report) override;
  Handled on_get_input(std::span<uint8_t> report) override;
  Handled on_set_feature(std::span<const uint8_t> report) override;

  // What was downloaded.
  bool start_seen() const { return stats_.starts > 0; }
  bool end_seen() const { return stats_.ends > 0; }
  // Between a start and its end.
  bool active() const { return active_; }
  const DownloadStats& stats() const { return stats_; }
  QspiFlash& flash() { return flash_; }
  // The first `length` bytes from address 0: a USB-controller image as written.
  std::vector<uint8_t> usb_image(uint32_t length) const { return flash_.read(0, length); }
  // The FPGA image as written: the size from the header page, checked against its complement;
  // nothing when the header is missing or broken.
  std::optional<std::vector<uint8_t>> fpga_image() const;
  // The highest flash address + 1 written by a page since the last start.
  uint32_t high_water() const { return high_water_; }
  // Pages written since the last start, by page number, in order.
  const std::vector<uint16_t>& page_log() const { return page_log_; }
  Config& config() { return cfg_; }
  // Faults (see ChannelFaults): each output 5 is an Erase step, each output 4 a Page step. An
  // erase step's Refuse stalls the report (the host's send fails); its answer faults act on
  // the next handshake fetch (DropAnswer: the fetch fails; Slow: held back; CorruptChecksum:
  // on its own the channel inverts byte 0, as the handshake has no checksum, while a card
  // applies its frame-level corruption, which the handshake does not read; StaleSequence: no
  // sequence byte, no effect). Pages as on the flash channel: lost, a flipped byte, stalled,
  // held back.
  ChannelFaults& faults() { return faults_; }
  // On its own, an Unplug fault makes the channel fail every call and runs this hook.
  void set_unplug_hook(std::function<void()> hook) { unplug_hook_ = std::move(hook); }
  // Told at the end of a download that wrote pages: an FPGA image when the header page was
  // written, else the USB-controller image up to the highest page.
  void set_written_hook(ImageWrittenFn hook) { written_hook_ = std::move(hook); }
  bool gone() const { return gone_; }
  void replug() { gone_ = false; }

 private:
  Handled unplug_now();
  bool erasing() const;

  QspiFlash& flash_;
  Config cfg_;
  ChannelFaults faults_;
  std::function<void()> unplug_hook_;
  ImageWrittenFn written_hook_;
  bool gone_ = false;
  Fault armed_ = Fault::None;
  uint32_t armed_delay_ms_ = 0;
  bool active_ = false;
  uint64_t busy_until_ns_ = 0;
  uint64_t debt_us_ = 0;
  uint32_t high_water_ = 0;
  std::vector<uint16_t> page_log_;
  DownloadStats stats_;
};

class SimCard;

// The card's QSPI flash and the two protocols over it. The card's default flash layout
// (QspiFlash::card_default) serves both: the flash channel's partitions by image kind, and the
// download protocol's fixed addresses.
struct CardStorage {
  QspiFlash flash = QspiFlash::card_default();
  FlashChannel flash_channel{flash};
  DownloadChannel download{flash};
};

// Makes the storage of `card` and plugs its channels in: the download protocol always, the
// flash channel when the card's capabilities offer it (CAP_FLASH_CHAN). Both are bound to the
// card's fault plan (SimCard::step) and take their latency from the card's LatencyModel
// (per_erase_block_ms per 4 KiB erase block of the flash channel, 16 of them for a 64 KiB block
// of the download protocol, whose default erase time stays when the model gives none;
// per_page_ms per page). The card keeps the storage alive; storage_of finds it again.
std::shared_ptr<CardStorage> attach_storage(SimCard& card);
// The storage attached to `card`, or nullptr.
std::shared_ptr<CardStorage> storage_of(const SimCard& card);

}  // namespace kestrel::sim
