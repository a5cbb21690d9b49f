// Configuration record acceptance over a record of exactly the received size.
#include "devlink/board_records.h"
#include "fuzz_common.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> rec = fuzz::exact(data, size);
  if (!board_config_intact(rec.data(), rec.size())) return 0;
  if (rec.size() < CONFIG_SIZE) __builtin_trap();  // accepted a record shorter than its fields
  return 0;
}
