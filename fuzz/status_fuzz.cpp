// Board status block and event record. Input byte 0 picks the record, the rest is the record as
// received (in a block of exactly that size).
#include <cstring>
#include <string>

#include "devlink/board_records.h"
#include "fuzz_common.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::vector<uint8_t> rec = fuzz::exact(data + 1, size - 1);
  if (data[0] & 1) {
    if (rec.size() < EVENT_SIZE) return 0;
    (void)board_event_intact(rec.data());
    return 0;
  }
  if (!board_status_valid(rec.data(), rec.size())) return 0;
  // A valid block holds its text and the NUL inside what was received.
  const uint16_t length = get_le16(rec.data() + STATUS_LENGTH);
  if (length > rec.size() || length < STATUS_MIN_LENGTH + 1) __builtin_trap();
  const char* text = reinterpret_cast<const char*>(rec.data() + STATUS_TEXT);
  if (!std::memchr(text, 0, rec.size() - STATUS_TEXT)) __builtin_trap();
  return 0;
}
