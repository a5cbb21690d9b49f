// Test-side host of the flash channel and the download protocol: builds the host's reports by
// hand (frame_build, crc32_register) as the flash engine and the upgrade workflow lay them out, and judges the card's
// answers with the acceptance rule of qspi_get_status written out here, independent of the card.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "devlink/frame.h"
#include "sim/channel.h"

namespace kestrel::sim::test {

// A HidDevice-like front for a list of channels: each call is offered to them in order.
struct Channels {
  std::vector<SimChannel*> list;
  Handled set_output(std::span<const uint8_t> r) {
    for (auto* c : list)
      if (Handled h = c->on_set_output(r); h != Handled::No) return h;
    return Handled::No;
  }
  Handled get_input(std::span<uint8_t> r) {
    for (auto* c : list)
      if (Handled h = c->on_get_input(r); h != Handled::No) return h;
    return Handled::No;
  }
  Handled set_feature(std::span<const uint8_t> r) {
    for (auto* c : list)
      if (Handled h = c->on_set_feature(r); h != Handled::No) return h;
    return Handled::No;
  }
};

// the flash engine's answer rule: byte 0 is 6; length 264 when byte 2 is 5, 8 when byte 2 is 4,
// otherwise 8 + len; at most 264; the checksum over that many bytes folds to 0xFFFF.
inline bool qspi_answer_accepted(const uint8_t* a) {
  if (a[0] != 6) return false;
  size_t n = a[2] == 5 ? 264 : a[2] == 4 ? 8 : 8 + static_cast<size_t>(get_le16(a + 4));
  if (n > 264) return false;
  return frame_csum(a, n) == 0xFFFF;
}

struct ControlArgs {
  uint16_t kind = 2;
  uint64_t time = 0;
  uint32_t w16 = 0, w20 = 0, w24 = 0;
  bool verify_extra = false;  // 72 at 28, kind at 30
  bool name = false;          // "qzffs" at 40
};

// A control request (bdev_frame): command = op, sub 0, length 64 (32 for erase), 264 bytes.
inline std::vector<uint8_t> control_request(uint8_t seq, uint8_t op, const ControlArgs& c) {
  std::vector<uint8_t> r(264, 0);
  uint8_t p[64] = {};
  put_le16(p + 0, op);
  put_le16(p + 2, c.kind);
  put_le32(p + 4, MAGIC_ZHHH);
  put_le64(p + 8, c.time);
  put_le32(p + 16, c.w16);
  put_le32(p + 20, c.w20);
  put_le32(p + 24, c.w24);
  if (c.verify_extra) {
    put_le16(p + 28, 72);
    put_le16(p + 30, c.kind);
  }
  if (c.name) std::memcpy(p + 40, "qzffs", 6);
  const uint16_t len = op == 3 ? 32 : 64;
  frame_build(r.data(), 7, seq, op, 0, p, len);
  return r;
}

inline std::vector<uint8_t> open_request(uint8_t seq, uint16_t kind, uint32_t length, uint32_t crc) {
  return control_request(seq, 1, {.kind = kind, .w20 = length, .w24 = crc, .name = true});
}
inline std::vector<uint8_t> erase_request(uint8_t seq, uint16_t kind, uint32_t addr, uint32_t count) {
  return control_request(seq, 3, {.kind = kind, .w20 = addr, .w24 = count});
}
inline std::vector<uint8_t> verify_request(uint8_t seq, uint16_t kind, uint32_t base, uint32_t length,
                                           uint32_t crc) {
  return control_request(seq, 6, {.kind = kind, .w16 = base, .w20 = length, .w24 = crc, .verify_extra = true});
}
inline std::vector<uint8_t> close_request(uint8_t seq, uint16_t kind, uint32_t base, uint32_t length,
                                          uint32_t crc) {
  return control_request(seq, 2, {.kind = kind, .w16 = base, .w20 = length, .w24 = crc});
}

// A page write: 7, seq, 4, 0x40, page index in the length position, checksum by the frame rule
// over 8 + index bytes of a request page that is zero past byte 263, 256 data bytes.
inline std::vector<uint8_t> page_request(uint8_t seq, uint32_t addr, const uint8_t* data) {
  const uint16_t index = static_cast<uint16_t>(addr >> 8);
  std::vector<uint8_t> page(8 + 65536 + 8, 0);  // a request page large enough for any index
  page[0] = 7;
  page[1] = seq;
  page[2] = 4;
  page[3] = 0x40;
  put_le16(page.data() + 4, index);
  std::memcpy(page.data() + 8, data, 256);
  put_le16(page.data() + 6, static_cast<uint16_t>(~frame_csum(page.data(), 8 + index)));
  page.resize(264);
  return page;
}

// the flash engine's erase steps: along 64 KiB boundaries, a tail below the next boundary in steps of
// at most 16 KiB.
struct EraseStep {
  uint32_t addr, count;
};
inline std::vector<EraseStep> erase_steps(uint32_t base, uint32_t length, uint32_t eb) {
  std::vector<EraseStep> out;
  uint32_t total = (length + eb - 1) / eb * eb;
  uint32_t addr = base;
  while (total > 0) {
    uint32_t step = 0x10000 - (addr & 0xFFFF);
    if (step > total) step = total < 0x4000 ? total : 0x4000;
    out.push_back({addr, step});
    total = total > step ? total - step : 0;
    addr += step;
  }
  return out;
}

}  // namespace kestrel::sim::test
