#pragma once

#include <cstdint>

namespace kestrel {

// Offset / hex / ASCII listing of `count` bytes through the log filter, lock and sinks; the lock
// is held for the whole dump so no other text interleaves.
void log_hex_dump(uint32_t word, const void* data, uint32_t count);

}  // namespace kestrel
