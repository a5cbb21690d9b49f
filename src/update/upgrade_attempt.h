// The history row an upgrade begins before anything reaches the card, made the same way by every
// front end (the window, kestrelctl with one card, and each card of kestrelctl --card all), so
// that the rows they write can be told apart by their content only.
#pragma once

#include <cstdint>
#include <string>

#include "history/history_store.h"
#include "update/image_file.h"

namespace kestrel {

// `card`: the board, node, USB port path and serial of the card about to be upgraded (the port
// and serial find its rows again after a replug gave it another node). `image` null for a file
// that could not be read. `kind` is UPGRADE_KIND_USB or UPGRADE_KIND_FPGA.
//
// Not forced: an attempt is forced only once it goes ahead past a mismatch, which its outcome
// says (Outcome::forced); --force alone, or an upgrade that never met the question (every FPGA
// upgrade), is not.
history::Attempt upgrade_attempt(const history::CardIdentity& card, uint16_t kind, const std::string& file,
                                 const ImageFile* image, const std::string& version_before);

}  // namespace kestrel
