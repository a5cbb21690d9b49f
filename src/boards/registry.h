// The board registry: the process-wide list of board entries built once from the table, with
// the board that every board-specific question is asked of.
#pragma once

#include "boards/board.h"

namespace kestrel {

// Zeroes `registry`, then fills it from the board table in table order; current = the first
// entry (TB610K-1CH). Every Card builds its own.
BoardRegistry& registry_build(BoardRegistry& registry, const void* owner);

// `text` is the status block's text (offset 64): a model name, ':' and the card's version.
// True when the current board changed; no match, or a text naming the current board, leaves it.
bool registry_select_by_status(BoardRegistry& registry, const char* text);

// The first entry whose first n name characters equal the text's first n, n being the position
// of the text's first ':'. nullptr for a missing text or one without ':'. A prefix rule: the tag
// "TB610" finds TB610K-1CH, an empty tag the first entry.
BoardEntry* registry_find_by_tag(BoardRegistry& registry, const char* text);

}  // namespace kestrel
