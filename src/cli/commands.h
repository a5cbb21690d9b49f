// kestrelctl's subcommands. Each registers itself on the CLI11 app and leaves the work to run
// in `action`, called with an attached session.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <map>
#include <string>

#include "cli/session.h"

namespace kestrel::cli {

using Action = std::function<int(Session&)>;

// Checks an option that takes seconds (see check_seconds).
inline CLI::Validator seconds_validator() {
  return CLI::Validator([](std::string& text) { return check_seconds(text); }, "SECONDS");
}

// What a subcommand needs when it is given without it, said as "<name> needs <text>": e.g.
// "an index, auto, lock or unlock" for input.
inline std::map<const CLI::App*, std::string>& command_needs() {
  static std::map<const CLI::App*, std::string> needs;
  return needs;
}
inline void set_needs(const CLI::App* command, std::string text) { command_needs()[command] = std::move(text); }

struct CommandSet {
  Action action;            // what the chosen subcommand does
  bool needs_card = true;   // false: runs without attaching (e.g. check-image without a card)
  bool scans_cards = true;  // false: touches no card at all, not even the start-up scan (history)
  Action many_action;       // for --card with several cards; null: the command takes one card
};

void add_card_commands(CLI::App& app, CommandSet& chosen);   // list, status, input, port, config, reg, monitor, log
void add_diag_commands(CLI::App& app, CommandSet& chosen);   // dump, debug, hdbc, scripts
void add_upgrade_commands(CLI::App& app, CommandSet& chosen);  // upgrade, check-image
void add_props_commands(CLI::App& app, CommandSet& chosen);    // props, audio
void add_texts_commands(CLI::App& app, CommandSet& chosen);    // texts
void add_history_commands(CLI::App& app, CommandSet& chosen);  // history
void add_picture_commands(CLI::App& app, CommandSet& chosen);  // snapshot
void add_rescue_commands(CLI::App& app, CommandSet& chosen);   // rescue

// `upgrade firmware PATH` on the attached card, with its checks, confirmation and verified end.
int upgrade_firmware_file(Session& s, const std::string& path);

}  // namespace kestrel::cli
