// kestrelctl's subcommands. Each registers itself on the CLI11 app and leaves the work to run
// in `action`, called with an attached session.
#pragma once

#include <functional>

#include "cli/session.h"

namespace CLI {
class App;
}

namespace kestrel::cli {

using Action = std::function<int(Session&)>;

struct CommandSet {
  Action action;            // what the chosen subcommand does
  bool needs_card = true;   // false: runs without attaching (e.g. check-image without a card)
  bool scans_cards = true;  // false: touches no card at all, not even the start-up scan (history)
};

void add_card_commands(CLI::App& app, CommandSet& chosen);   // list, status, input, port, config, reg, monitor, log
void add_diag_commands(CLI::App& app, CommandSet& chosen);   // dump, debug, hdbc, scripts
void add_upgrade_commands(CLI::App& app, CommandSet& chosen);  // upgrade, check-image
void add_props_commands(CLI::App& app, CommandSet& chosen);    // props, audio
void add_texts_commands(CLI::App& app, CommandSet& chosen);    // texts
void add_history_commands(CLI::App& app, CommandSet& chosen);  // history

}  // namespace kestrel::cli
