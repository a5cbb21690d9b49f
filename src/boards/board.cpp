#include "boards/board.h"

namespace kestrel {

bool board_probe(const BoardEntry& entry, BoardContext& ctx) {
  return entry.descriptor && entry.descriptor->probe && entry.descriptor->probe(entry, ctx);
}

bool board_control(const BoardEntry& entry, BoardContext& ctx, uint32_t code, uint32_t size, void* out) {
  return entry.descriptor && entry.descriptor->control && entry.descriptor->control(entry, ctx, code, size, out);
}

bool board_check_image(const BoardEntry& entry, std::span<const uint8_t> image) {
  return entry.descriptor && entry.descriptor->check_image && entry.descriptor->check_image(entry, image);
}

bool board_control_current(const BoardRegistry& registry, BoardContext& ctx, uint32_t code, uint32_t size,
                           void* out) {
  return registry.current && board_control(*registry.current, ctx, code, size, out);
}

}  // namespace kestrel
