// kestrelctl: every user task and engineering dump of Kestrel from the command line, on the same
// core as the desktop program.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/many_cards.h"
#include "cli/exit_codes.h"
#include "cli/output.h"
#include "cli/session.h"
#include "res/version.h"

namespace {

using kestrel::cli::command_needs;

constexpr const char* kFooter =
    "Exit codes: 0 success, 1 failure (the card refused or did not answer), 2 usage,\n"
    "3 no card, 4 image refused, 5 card busy or input locked, 6 no frame from the card's picture.\n"
    "With --json, standard output carries exactly one JSON document, errors included.";

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

// The error of a command line CLI11 refused, said for a person: an unknown command with the
// nearest known one, a missing argument with what it needs; else CLI11's own text.
std::string usage_message(const CLI::App& app, const CLI::ParseError& e) {
  const CLI::App* at = &app;
  while (!at->get_subcommands().empty()) at = at->get_subcommands().front();
  const std::vector<const CLI::App*> commands = at->get_subcommands({});
  const std::string where = at == &app ? std::string() : at->get_name() + " ";
  std::vector<std::string> rest = at->remaining();
  // An unknown word after a command falls through to the command above it, with the options.
  for (const CLI::App* up = at->get_parent(); rest.empty() && up; up = up->get_parent()) rest = up->remaining();
  if (!commands.empty() && !rest.empty() && rest.front().rfind("-", 0) != 0) {
    const std::string& typed = rest.front();
    std::string nearest, names;
    size_t best = 3;  // at most two letters wrong, missing, extra or swapped
    for (const CLI::App* c : commands) {
      names += (names.empty() ? "" : ", ") + c->get_name();
      const size_t d = edit_distance(typed, c->get_name());
      if (d < best) {
        best = d;
        nearest = c->get_name();
      }
    }
    if (!nearest.empty()) return "unknown command '" + where + typed + "'; did you mean " + where + nearest + "?";
    return "unknown command '" + where + typed + "'; commands: " + names;
  }
  if (dynamic_cast<const CLI::RequiredError*>(&e)) {
    auto it = command_needs().find(at);
    if (it != command_needs().end()) return at->get_name() + " needs " + it->second;
  }
  return e.what();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrel::cli;
  GlobalOptions opt;
  CommandSet chosen;

  CLI::App app{"kestrelctl: service and maintenance of USB video-capture cards", "kestrelctl"};
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("kestrelctl ") + kestrel::KESTREL_BUILD_STAMP);
  app.add_option("--card,-c", opt.card, "Card to use: index in 'list', its node, interface path or USB port path (1-2.3) "
                 "(default 0); for status and upgrade also a comma-separated list of them, or all");
  app.add_option("--simulate", opt.simulate, "Use a simulated card of this board (meadow, rw820c, TB610R-1CH, ...); several: a "
                 "comma-separated list");
  app.add_flag("--json", opt.json, "Print one JSON document on standard output, errors included");
  app.add_option("--log", opt.log_file, "Append the log to this file");
  app.add_option("--log-level", opt.log_level, "Level mask of the log filter (bit n passes level n), e.g. 0x20008");
  app.add_option("--log-modules", opt.log_modules, "Module mask of the log filter, e.g. 0x01000000");
  app.add_option("--history-db", opt.history_db,
                 "The upgrade history database (default: $KESTREL_HISTORY, else $XDG_STATE_HOME/kestrel/history.db)");
  app.add_flag("--yes,-y", opt.yes, "Answer yes where the desktop program would ask");
  app.add_flag("--force", opt.force, "Go ahead even with an image that does not match the card");
  app.add_flag("--trace", opt.trace, "Write every report sent to or received from the card to standard error");
  app.add_option("--sim-report-log", opt.sim_report_log, "Write the simulated card's received reports to this file")
      ->group("");
  app.add_option("--sim-hostile", opt.sim_hostile, "Make the simulated card hostile, with this seed")->group("");
  app.add_option("--sim-after-upgrade", opt.sim_after_upgrade, "What the simulated card does after an upgrade")->group("");
  app.add_option("--sim-replug-after", opt.sim_replug_after_s, "Replug the simulated card when it needs a restart")->group("");
  app.add_option("--sim-refuse-opens", opt.sim_refuse_opens,
                 "The simulated card back from its restart refuses this many opens (no permission yet)")
      ->group("");
  app.add_option("--sim-drop", opt.sim_drop, "The simulated card never answers this command (code; repeatable)")
      ->allow_extra_args(false)
      ->group("");
  app.add_option("--sim-shared-claim", opt.sim_shared_claim,
                 "The simulated card shares its claim with other programs under this name")->group("");
  app.add_option("--sim-page-ms", opt.sim_page_ms, "The simulated card's time per flash page (erase block: ten times)")
      ->group("");
  // The program-wide options are taken after the subcommand as well ("upgrade firmware X.img
  // --yes", as the hints read): every subcommand made below inherits this.
  app.fallthrough();
  add_card_commands(app, chosen);
  add_diag_commands(app, chosen);
  add_upgrade_commands(app, chosen);
  add_props_commands(app, chosen);
  add_texts_commands(app, chosen);
  add_history_commands(app, chosen);
  add_picture_commands(app, chosen);
  add_rescue_commands(app, chosen);
  app.require_subcommand(1);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    const std::string message = usage_message(app, e);
    if (opt.json) {
      Output out(true);
      out.fail(EXIT_USAGE, message);
      return out.finish(EXIT_USAGE);
    }
    std::fprintf(stderr, "kestrelctl: %s\nRun with --help for more information.\n", message.c_str());
    return EXIT_USAGE;
  }

  Output out(opt.json);
  int rc = EXIT_OK;
  {
    Session session(opt, out);
    rc = session.setup();
    // Several cards: each is attached as a card of its own, not as the current card.
    const bool many = chosen.many_action && is_card_list(opt.card);
    if (rc == EXIT_OK && many) rc = chosen.many_action(session);
    else {
      if (rc == EXIT_OK && chosen.needs_card) rc = session.attach();
      else if (rc == EXIT_OK && chosen.scans_cards) session.card_session().init();
      if (rc == EXIT_OK && chosen.action) rc = chosen.action(session);
    }
  }
  return out.finish(rc);
}
