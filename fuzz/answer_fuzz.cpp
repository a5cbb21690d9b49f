// Answer acceptance: frame_check over a fetched report 9, then the copy callers make of the
// accepted payload. Input: flags byte (bit 0: the card echoes in byte 2), command, sequence,
// minimum length, then the report as fetched (265 bytes, zero-filled when shorter).
#include <cstring>

#include "fuzz_common.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint16_t flags = (data[0] & 1) ? QHIDEV_F_ECHO2 : 0;
  const uint8_t cmd = data[1], seq = data[2];
  const uint16_t min_len = data[3];
  auto dev = std::make_shared<fuzz::FuzzDevice>(data + 4, size - 4);
  fuzz::OneCard card(dev, flags);
  HidLink link(card.list);
  // The fetched report in a block of exactly its size.
  std::vector<uint8_t> page(ANSWER_REPORT_SIZE);
  Answer a;
  if (!link.fetch_more(cmd, seq, min_len, page, a)) return 0;
  uint8_t dest[ANSWER_PAYLOAD_MAX];
  if (a.len > sizeof dest) __builtin_trap();  // accepted more than any caller can hold
  std::memcpy(dest, a.payload, a.len);
  return 0;
}
