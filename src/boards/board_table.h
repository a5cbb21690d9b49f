// The constant board table of the board table: the eight supported models in table order, and the bus
// list the register tools fall back to when no board is current.
#pragma once

#include <cstddef>
#include <span>

#include "boards/board.h"

namespace kestrel {

constexpr size_t BOARD_COUNT = 8;

// Board numbers (the low byte of each layout word), in table order.
constexpr uint8_t BOARD_TB610K_1CH = 1;
constexpr uint8_t BOARD_TB610M_1CH = 2;
constexpr uint8_t BOARD_TB610R_1CH = 3;
constexpr uint8_t BOARD_TB720V_2CH = 4;
constexpr uint8_t BOARD_TB830R_1CH = 5;
constexpr uint8_t BOARD_TB850V_1CH = 6;
constexpr uint8_t BOARD_MEADOW = 7;
constexpr uint8_t BOARD_RW820C = 8;

// The explicit list registry_build walks: every descriptor, in table order.
std::span<const BoardDescriptor* const> board_table();

// "i2c-self", "qspi", "i2c-fpga" as in board 1, then the terminator.
constexpr size_t FALLBACK_BUS_COUNT = 3;
const BusEntry* fallback_buses();

// Number of entries of a null-ended list and of a terminated bus array.
constexpr size_t name_list_count(const char* const* list) {
  size_t n = 0;
  while (list && list[n]) ++n;
  return n;
}
constexpr size_t bus_list_count(const BusEntry* buses) {
  size_t n = 0;
  while (buses && !buses[n].is_terminator()) ++n;
  return n;
}

}  // namespace kestrel
