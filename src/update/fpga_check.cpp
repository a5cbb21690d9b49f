#include "update/fpga_check.h"

#include <algorithm>
#include <array>

namespace kestrel {

namespace {

// A .bit file starts with a 9-byte field of fixed content, then the field count 1 and key 'a'.
constexpr std::array<uint8_t, 14> kBitHeader = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                                                0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01, 'a'};

struct SyncWord {
  std::array<uint8_t, 4> bytes;
  const char* name;
};
// Configuration sync words: the Xilinx word (and its bit-swapped form in some .bin writers) and
// the Lattice preamble.
constexpr std::array<SyncWord, 3> kSyncWords = {{
    {{0xAA, 0x99, 0x55, 0x66}, "sync word AA995566"},
    {{0x55, 0x99, 0xAA, 0x66}, "sync word 5599AA66"},
    {{0xFF, 0xFF, 0xBD, 0xB3}, "preamble FFFFBDB3"},
}};

}  // namespace

FpgaImageCheck check_fpga_image(std::span<const uint8_t> data) {
  FpgaImageCheck c;
  if (data.size() < FPGA_IMAGE_MIN) {
    c.reason = "too small for an FPGA bitstream (" + std::to_string(data.size()) + " bytes)";
    c.reason_zh = "文件太小, 不是FPGA逻辑文件 (" + std::to_string(data.size()) + " 字节)";
    return c;
  }
  if (data.size() > FPGA_IMAGE_MAX) {
    c.reason = "too large for the card's flash (" + std::to_string(data.size()) + " bytes)";
    c.reason_zh = "文件太大, 超出采集卡闪存的容量 (" + std::to_string(data.size()) + " 字节)";
    return c;
  }
  if (std::equal(kBitHeader.begin(), kBitHeader.end(), data.begin())) {
    c.ok = true;
    c.mark = "bit header";
    return c;
  }
  const auto head = data.first(std::min<size_t>(data.size(), FPGA_MARK_WINDOW));
  for (const SyncWord& w : kSyncWords) {
    if (std::search(head.begin(), head.end(), w.bytes.begin(), w.bytes.end()) != head.end()) {
      c.ok = true;
      c.mark = w.name;
      return c;
    }
  }
  c.reason = "not an FPGA bitstream: no .bit header and no configuration sync word in its first 4096 bytes";
  c.reason_zh = "不是FPGA逻辑文件: 前4096字节中既没有.bit文件头, 也没有配置同步字";
  return c;
}

}  // namespace kestrel
