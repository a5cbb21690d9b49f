// Script slots: up to sixteen numbered scripts found at start in a directory named "qzscp". A
// script file is named by its slot number (decimal, no leading zeros), a hyphen, a display name
// and ".sh": "0-reset.sh", "12-capture test.sh". Slot n holds the script numbered n.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

constexpr uint32_t SCRIPT_SLOT_COUNT = 16;
constexpr size_t SCRIPT_NAME_SIZE = 120;  // at most 119 characters and the NUL
constexpr const char* SCRIPT_DIR = "qzscp";

struct ScriptSlot {
  uint16_t reserved = 0;
  uint16_t index = 0;                 // slot number 0..15
  char name[SCRIPT_NAME_SIZE] = {};   // display name
  std::string path;                   // the script file as opened
};

// A script file the scan found but does not offer: the numbers must run without a gap.
struct SkippedScript {
  std::string path;
  uint32_t missing = 0;  // the number without a readable script that ended the scan
};

// Owned by the program's card (its session's); filled at start, freed with it.
struct ScriptSlots {
  const void* owner = nullptr;
  uint32_t capacity = SCRIPT_SLOT_COUNT;
  std::array<std::unique_ptr<ScriptSlot>, SCRIPT_SLOT_COUNT> slots;
  std::vector<SkippedScript> skipped;  // every scan's, in the order found

  const ScriptSlot* slot(uint32_t n) const { return n < capacity && n < slots.size() ? slots[n].get() : nullptr; }
};

// Puts a new record in slot n, replacing what was there. False when the holder is missing or n is
// not below its capacity. A name longer than 119 bytes is cut before the character that would
// cross that limit, so a UTF-8 character is never split.
bool script_slot_store(ScriptSlots* holder, uint32_t n, const std::string& name, const std::string& path);

// Fills slots 0, 1, ... from the files of `dir` ("" = the current directory) until a number has
// no readable file. For each number the matching entries are tried in name order; directories
// and anything else that is not a regular file are skipped, the first that opens for reading
// wins. Readable scripts numbered above the gap that ended the scan are listed in slots.skipped
// and logged as a warning. True when at least one slot was filled.
bool script_scan(ScriptSlots& slots, const std::string& dir);

// The display name of a matching file name: without ".sh", from after the first hyphen.
std::string script_display_name(const std::string& file_name);

// What the window does at start: "qzscp" relative to the current directory, and when that fills
// no slot, "qzscp" beside the program file `program_path`.
bool script_load_startup(ScriptSlots& slots, const std::string& program_path);
// The running program's file (/proc/self/exe), "" when it cannot be read.
std::string program_file_path();

// The names of slots 0, 1, ... up to the first empty one: what the menu offers, item n with
// command 32780 + n and the label script_menu_label(n, name).
std::vector<std::string> script_menu_names(const ScriptSlots& slots);
std::string script_menu_label(uint32_t n, const std::string& name);  // "%u %s"

}  // namespace kestrel
