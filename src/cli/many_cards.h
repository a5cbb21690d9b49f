// Several cards in one kestrelctl run: --card all, or a comma-separated list of indexes, nodes,
// interface paths and USB port paths.
#pragma once

#include <string>
#include <vector>

#include "cli/session.h"
#include "devlink/qhidev.h"

namespace kestrel::cli {

// True when --card names more than one card (or all of them).
inline bool is_card_list(const std::string& card) { return card == "all" || card.find(',') != std::string::npos; }

// The list's indexes that `selection` names, in list order, each once. False with the first
// name that matches no card in `unknown` (or the whole selection when it names none).
bool select_cards(const qhidev_list& listed, const std::string& selection, std::vector<uint32_t>& chosen,
                  std::string& unknown);

// select_cards with --card, reporting a selection that names no card (exit 3; 2 for a port path
// that names none; "no card found" when nothing is attached). EXIT_OK or that exit code.
int choose_cards(Session& s, const qhidev_list& listed, std::vector<uint32_t>& chosen);

// The worse of two cards' exit codes: the run's exit code is the worst card's.
int worse_exit(int a, int b);

// `upgrade firmware PATH` on every chosen card at once.
int cmd_upgrade_many(Session& s, const std::string& what, const std::string& path);

}  // namespace kestrel::cli
