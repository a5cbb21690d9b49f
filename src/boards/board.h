// The board catalogue's types: one constant BoardDescriptor per supported model, its bus entries,
// and the registry entries built from the table. Every board-specific behaviour goes through the
// three operations a descriptor carries (probe, control, image check).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel {

class HidLink;

// Bus entry kinds.
constexpr uint8_t BUS_KIND_NONE = 0;  // the terminator
constexpr uint8_t BUS_KIND_I2C = 1;   // an I2C bus or an I2C device
constexpr uint8_t BUS_KIND_QSPI = 2;  // the QSPI flash
constexpr uint8_t BUS_PORT_END = 0xFF;  // port of the terminator

// A target of the register tools.
struct BusEntry {
  const char* name = nullptr;     // label; nullptr in the terminator
  uint8_t kind = BUS_KIND_NONE;
  uint8_t port = 0;               // 1 only for "i2c-second"
  uint8_t attribute = 0;          // 0..3; no operation reads it
  uint8_t free_address = 0;       // 1: the operator enters the device address
  uint16_t reserved = 0;          // 8 for the two iTE receivers; no operation reads it
  uint16_t device_address = 0;    // 7-bit I2C address, 0 for qspi
  uint32_t register_address = 0;  // default register address offered with the entry

  constexpr bool is_terminator() const { return name == nullptr && kind == BUS_KIND_NONE && port == BUS_PORT_END; }
};

constexpr BusEntry BUS_TERMINATOR{.name = nullptr, .kind = BUS_KIND_NONE, .port = BUS_PORT_END};

struct BoardEntry;

// What a board operation needs of the card that asks: its link and a
// page of at least 265 bytes in which long requests are built and answered. Short requests and
// register reads use buffers of their own.
// What a dump (codes 13, 14, 15) could not get from the card. The dumps print all the same, with
// zeros in place of what did not arrive; a caller that reports failure reads this.
struct DumpOutcome {
  uint32_t reads = 0;          // code 13: register reads made
  uint32_t failed_reads = 0;   //          of them, failed
  uint32_t parts = 0;          // codes 14, 15: parts of the board's debug block asked for (2)
  uint32_t parts_arrived = 0;  //                of them, arrived
};

struct BoardContext {
  HidLink& link;
  std::span<uint8_t> page;
  DumpOutcome* outcome = nullptr;  // filled by the dumps when given
};

using BoardProbeFn = bool (*)(const BoardEntry& entry, BoardContext& ctx);
using BoardControlFn = bool (*)(const BoardEntry& entry, BoardContext& ctx, uint32_t code, uint32_t size,
                                void* out);
using BoardCheckImageFn = bool (*)(const BoardEntry& entry, std::span<const uint8_t> image);

constexpr size_t DEBUG_NAME_COUNT = 32;

// One board model, constant. The ten fields in the order of the table of the board table.
struct BoardDescriptor {
  const char* name = nullptr;          // the key matched against status texts and image tags
  const char* family_tag = nullptr;    // "CY" for boards 1..6, "" for meadow and rw820c; unread
  BoardProbeFn probe = nullptr;
  BoardControlFn control = nullptr;
  BoardCheckImageFn check_image = nullptr;
  uint32_t layout = 0;                 // bits 0..7 board number, 8..15 input names, 16..31 bus entries
  const char* const* input_names = nullptr;  // null-ended, in input-index order
  const BusEntry* buses = nullptr;           // ended by BUS_TERMINATOR, in table order
  const char* const* debug_level_names = nullptr;   // DEBUG_NAME_COUNT texts, or nullptr
  const char* const* debug_module_names = nullptr;  // DEBUG_NAME_COUNT texts, or nullptr

  constexpr uint8_t board_number() const { return static_cast<uint8_t>(layout & 0xFF); }
  constexpr uint8_t input_count() const { return static_cast<uint8_t>((layout >> 8) & 0xFF); }
  constexpr uint16_t bus_count() const { return static_cast<uint16_t>(layout >> 16); }
};

constexpr uint32_t REGISTRY_CAPACITY = 9;
constexpr size_t BOARD_NAME_MAX = 48;  // 47 characters and the NUL

struct BoardRegistry;

struct BoardEntry {
  BoardRegistry* registry = nullptr;
  const BoardDescriptor* descriptor = nullptr;
  uint16_t board_number = 0;           // 1..8
  char name[BOARD_NAME_MAX] = {};      // the descriptor's name, cut to 47 characters
};

struct BoardRegistry {
  const void* owner = nullptr;         // the card that built it; boards never read it
  uint32_t capacity = 0;
  uint32_t count = 0;
  BoardEntry* current = nullptr;
  BoardEntry entries[REGISTRY_CAPACITY] = {};
};

// The descriptor's operations, answering false when the descriptor or the operation is missing.
bool board_probe(const BoardEntry& entry, BoardContext& ctx);
bool board_control(const BoardEntry& entry, BoardContext& ctx, uint32_t code, uint32_t size, void* out);
bool board_check_image(const BoardEntry& entry, std::span<const uint8_t> image);

// board_control on the registry's current board; false when there is no current entry,
// descriptor or control operation (the check every caller makes first).
bool board_control_current(const BoardRegistry& registry, BoardContext& ctx, uint32_t code, uint32_t size,
                           void* out);

}  // namespace kestrel
