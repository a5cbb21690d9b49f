#include "boards/register_panel.h"

#include <cstdio>
#include <cstring>

#include "boards/board_table.h"

namespace kestrel {
namespace {

constexpr std::string_view kFieldSpace = " \t\r\n";

bool all_of(std::string_view s, bool (*pred)(char)) {
  for (char c : s)
    if (!pred(c)) return false;
  return true;
}
bool is_dec(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_dec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The field's text as the window's scratch buffer would hold it.
std::string_view field_text(const char* text) {
  return {text, strnlen(text, REG_FIELD_TEXT_MAX - 1)};
}

}  // namespace

bool number_field_valid(std::string_view text) {
  const size_t first = text.find_first_not_of(kFieldSpace);
  if (first == std::string_view::npos) return true;
  text = text.substr(first, text.find_last_not_of(kFieldSpace) - first + 1);
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return all_of(text.substr(2), is_hex);
  return all_of(text, is_dec);
}

bool number_field_valid(const char* text) { return !text || number_field_valid(field_text(text)); }

std::optional<std::string> register_field_message(int control, const char* text) {
  const char* what = nullptr;
  switch (control) {
    case IDC_REG_DEVICE: what = " invalid device address"; break;
    case IDC_REG_OFFSET: what = " invalid device offset"; break;
    case IDC_REG_LENGTH: what = " invalid translate length"; break;
    default: return std::nullopt;
  }
  if (number_field_valid(text)) return std::nullopt;
  return std::string(field_text(text)) + what;
}

std::span<const BusEntry> register_panel_buses(const BoardRegistry& registry) {
  const BoardEntry* cur = registry.current;
  if (cur && cur->descriptor && cur->descriptor->buses)
    return {cur->descriptor->buses, bus_list_count(cur->descriptor->buses)};
  return {fallback_buses(), FALLBACK_BUS_COUNT};
}

BusSelection register_panel_select_bus(const BoardRegistry& registry, int selection) {
  const std::span<const BusEntry> buses = register_panel_buses(registry);
  BusSelection sel;
  if (buses.empty()) return sel;
  if (selection < 0 || static_cast<size_t>(selection) >= buses.size()) selection = 0;
  const BusEntry& e = buses[static_cast<size_t>(selection)];
  sel.entry = &e;
  sel.device_field_enabled = e.free_address != 0;
  sel.register_label = e.kind == BUS_KIND_QSPI ? REG_LABEL_FLASH : REG_LABEL_REGISTER;
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(e.device_address));
  sel.device_text = buf;
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(e.register_address));
  sel.register_text = buf;
  return sel;
}

}  // namespace kestrel
