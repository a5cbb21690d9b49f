// Whether the attached card answered the board status query at its last attach. Set and cleared
// by the attach sequence (devlink); read by the register read (boards) to choose between the
// framed command 12 and the card's legacy register reports. Kept in a header of its own so that
// both subsystems reach it without depending on each other.
#pragma once

#include <cstdint>

namespace kestrel {

// 1: the last attach obtained a board status block; 0: it did not (and at process start).
inline uint8_t g_status_block_valid = 0;

}  // namespace kestrel
