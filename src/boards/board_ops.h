// The per-board operations the table points to. Internal to src/boards: everyone else reaches
// them through a descriptor (board_probe, board_control, board_check_image in board.h).
#pragma once

#include "boards/board.h"

namespace kestrel::boards {

bool probe_tb610k(const BoardEntry& entry, BoardContext& ctx);
bool probe_tb610m(const BoardEntry& entry, BoardContext& ctx);
bool probe_tb610r(const BoardEntry& entry, BoardContext& ctx);
bool probe_tb720v(const BoardEntry& entry, BoardContext& ctx);
bool probe_always(const BoardEntry& entry, BoardContext& ctx);  // TB830R-1CH, TB850V-1CH
bool probe_meadow(const BoardEntry& entry, BoardContext& ctx);
bool probe_rw820c(const BoardEntry& entry, BoardContext& ctx);

bool check_image_always(const BoardEntry& entry, std::span<const uint8_t> image);   // boards 1..6
bool check_image_trailer(const BoardEntry& entry, std::span<const uint8_t> image);  // meadow, rw820c

// One control operation for all eight boards: what a board answers is decided by its control
// profile (control.cpp), looked up by the entry's board number.
bool control_board(const BoardEntry& entry, BoardContext& ctx, uint32_t code, uint32_t size, void* out);

}  // namespace kestrel::boards
