// The exchanges that attach an opened card: its event record (feature report 1, else command 1)
// and its status block (report 4, else command 4) set the link flags that say how to talk to it,
// the status text picks its board, and a card that sends asynchronous reports is asked to.
#pragma once

#include <cstdint>
#include <span>

namespace kestrel {

class HidLink;
struct qhidev;
struct BoardRegistry;

// `pages`: three pages of work area (the status block lands in page 0 after the frame header;
// command 4 is built in page 2 and answered into page 1). `status_valid` is the status block's
// validity flag to keep (the window's is process-wide; a card driven on its own keeps its own).
// `registry` may be null: no board is picked.
void card_attach_exchanges(HidLink& link, qhidev& device, BoardRegistry* registry, std::span<uint8_t> pages,
                           uint8_t& status_valid);

}  // namespace kestrel
