// The register panel's logic, without widgets: the syntax check of its three number
// fields with their messages, and the bus selector for a window that fills it.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "boards/board.h"

namespace kestrel {

// Control ids of the panel.
constexpr int IDC_REG_DEVICE = 1011;   // device address field
constexpr int IDC_REG_OFFSET = 1012;   // register address field
constexpr int IDC_REG_LENGTH = 1013;   // byte count field
constexpr int IDC_REG_BUS = 1053;      // bus selector

// Field text as the window reads it: at most 4096 characters with the terminator.
constexpr size_t REG_FIELD_TEXT_MAX = 4096;

// Decimal digits, or "0x"/"0X" and hex digits, between optional spaces, tabs, CRs and LFs.
// A missing or empty text and a bare "0x" are valid. No sign, octal, suffix or separator.
bool number_field_valid(std::string_view text);
bool number_field_valid(const char* text);

// The message box text for a field's text, or nothing when the text is valid or `control` is
// not one of the three number fields: "%s invalid device address" (1011), "... device offset"
// (1012), "... translate length" (1013).
std::optional<std::string> register_field_message(int control, const char* text);

// The entries the bus selector lists: the current board's buses, or the three-entry fallback
// list when no board is current.
std::span<const BusEntry> register_panel_buses(const BoardRegistry& registry);

// What the window shows after the selector picks `selection` (out of range: entry 0).
struct BusSelection {
  const BusEntry* entry = nullptr;
  bool device_field_enabled = false;  // only for entries whose device address is entered freely
  const char* register_label = nullptr;  // "Flash地址" for qspi, "寄存器地址" otherwise
  std::string device_text;            // "0x%02X" of the entry's device address
  std::string register_text;          // "0x%08X" of its register address
};
BusSelection register_panel_select_bus(const BoardRegistry& registry, int selection);

constexpr const char* REG_LABEL_FLASH = "Flash地址";
constexpr const char* REG_LABEL_REGISTER = "寄存器地址";

}  // namespace kestrel
