// A modelled QSPI NOR flash of the simulated card: a byte array whose erased state is 0xFF, an
// erase granularity, 256-byte program pages, and named partitions (the USB-controller image, the
// FPGA bitstream). It behaves as NOR flash does: an erase sets whole blocks to 0xFF, and a page
// program can only clear bits, so programming over data that was not erased leaves the AND of
// old and new bytes. A host that forgets to erase is therefore caught by the verify CRC, and the
// flash counts such programs so that tests can say so directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrel::sim {

// Image kinds as the host names them: 1 FPGA bitstream, 2 USB-controller firmware.
constexpr uint16_t IMAGE_KIND_FPGA = 1;
constexpr uint16_t IMAGE_KIND_USB = 2;

struct FlashPartition {
  std::string name;     // "fx3", "fpga", ...
  uint16_t kind = 0;    // the image kind the flash channel's open request names
  uint32_t base = 0;    // flash address
  uint32_t size = 0;    // bytes
};

class QspiFlash {
 public:
  static constexpr uint32_t PAGE_SIZE = 256;

  // `size` and `erase_block` are powers of two with erase_block <= size (checked; a bad value
  // is rounded to the default 16 MiB / 4 KiB).
  explicit QspiFlash(uint32_t size = 16u << 20, uint32_t erase_block = 4096);

  uint32_t size() const { return size_; }
  uint32_t erase_block() const { return erase_block_; }

  // A 16 MiB flash with 4 KiB sectors laid out as the card's boot flash: the USB-controller image
  // at 0 (256 KiB, the area the HID download protocol writes from block 0) and the FPGA
  // bitstream from 0x40000 to the end (where the HID download protocol puts it too).
  static QspiFlash card_default();

  // Partitions: replaced or added by kind. A partition outside the flash is refused (false).
  bool set_partition(const FlashPartition& p);
  const FlashPartition* partition(uint16_t kind) const;
  const std::vector<FlashPartition>& partitions() const { return parts_; }

  // Erases [addr, addr + len): both must be multiples of the erase block and inside the flash;
  // otherwise nothing changes and the result is false. len 0 is a no-op that succeeds.
  bool erase(uint32_t addr, uint32_t len);

  // Programs `data` at `addr`: at most one page, not crossing a page boundary, inside the
  // flash; otherwise nothing changes and the result is false. Each byte becomes old AND new.
  bool program(uint32_t addr, std::span<const uint8_t> data);

  // Reading. Out-of-range parts of a request are clipped. The bytes are allocated on the first
  // erase, program or load (an untouched flash reads as 0xFF without them); bytes() allocates.
  std::span<const uint8_t> bytes();
  std::vector<uint8_t> read(uint32_t addr, uint32_t len) const;
  bool is_erased(uint32_t addr, uint32_t len) const;
  // The CRC-32 register (kestrel::crc32_register) over [addr, addr + len), preset 0xFFFFFFFF.
  uint32_t crc(uint32_t addr, uint32_t len) const;

  // Test set-up: stores bytes as they are, bypassing erase/program rules and counters.
  void load(uint32_t addr, std::span<const uint8_t> data);
  // Back to all 0xFF and zero counters.
  void reset();

  struct Counters {
    uint32_t erase_ops = 0;         // successful erase() calls
    uint32_t erased_blocks = 0;     // erase blocks cleared by them
    uint32_t page_programs = 0;     // successful program() calls
    uint32_t dirty_programs = 0;    // programs that met a byte not erased (0xFF) under their data
    uint32_t lost_bits = 0;         // bits the data wanted at 1 but found at 0 (the AND took them)
    uint32_t refused = 0;           // erase/program calls refused for range or alignment
  };
  const Counters& counters() const { return counters_; }
  void clear_counters() { counters_ = {}; }

 private:
  uint8_t* cells();  // allocates the erased array on first use

  std::vector<uint8_t> mem_;  // empty until first written: every cell reads 0xFF
  uint32_t size_;
  uint32_t erase_block_;
  std::vector<FlashPartition> parts_;
  Counters counters_;
};

}  // namespace kestrel::sim
