#include "boards/registry.h"

#include <cstring>

#include "boards/board_table.h"

namespace kestrel {

BoardRegistry& registry_build(BoardRegistry& registry, const void* owner) {
  registry = BoardRegistry{};
  registry.owner = owner;
  registry.capacity = REGISTRY_CAPACITY;
  uint16_t number = 0;
  for (const BoardDescriptor* d : board_table()) {
    ++number;
    if (!d || !d->name || d->name[0] == '\0' || registry.count >= registry.capacity) continue;
    BoardEntry& e = registry.entries[registry.count++];
    e.registry = &registry;
    e.descriptor = d;
    e.board_number = number;
    std::strncpy(e.name, d->name, BOARD_NAME_MAX - 1);
    e.name[BOARD_NAME_MAX - 1] = '\0';
  }
  registry.current = registry.count ? &registry.entries[0] : nullptr;
  return registry;
}

namespace {

// The entry's name followed by ':' at the start of the text.
bool names_board(const BoardEntry& e, const char* text) {
  const size_t n = std::strlen(e.name);
  return n != 0 && std::strncmp(e.name, text, n) == 0 && text[n] == ':';
}

}  // namespace

bool registry_select_by_status(BoardRegistry& registry, const char* text) {
  if (!text) return false;
  if (registry.current && names_board(*registry.current, text)) return false;
  for (uint32_t i = 0; i < registry.count; ++i) {
    BoardEntry& e = registry.entries[i];
    if (!names_board(e, text)) continue;
    if (registry.current == &e) return false;
    registry.current = &e;
    return true;
  }
  return false;
}

BoardEntry* registry_find_by_tag(BoardRegistry& registry, const char* text) {
  if (!text) return nullptr;
  const char* colon = std::strchr(text, ':');
  if (!colon) return nullptr;
  const size_t n = static_cast<size_t>(colon - text);
  for (uint32_t i = 0; i < registry.count; ++i) {
    BoardEntry& e = registry.entries[i];
    // strncmp stops at a name shorter than the tag, which then does not match.
    if (std::strncmp(e.name, text, n) == 0) return &e;
  }
  return nullptr;
}

}  // namespace kestrel
