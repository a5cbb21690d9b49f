// Script file names: the display name taken from a file name, and the menu label made of it.
#include <string>

#include "boards/script_slots.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const std::string shown = script_display_name(name);
  if (shown.size() > name.size()) __builtin_trap();
  ScriptSlots slots;
  script_slot_store(&slots, static_cast<uint32_t>(size % (SCRIPT_SLOT_COUNT + 1)), shown, name);
  for (const std::string& n : script_menu_names(slots)) (void)script_menu_label(0, n);
  return 0;
}
