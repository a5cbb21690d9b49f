// texts: the English equivalents of the texts that exist only in Chinese (the match check's
// verdicts and information, the menu items). The upgrade and check-image output keeps the
// card's Chinese texts, as support staff compare them; this says what they mean.
#include <CLI/CLI.hpp>

#include <iostream>
#include <iterator>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "res/ui_phrases.h"

namespace kestrel::cli {

namespace {

int cmd_texts(Session& s, const std::string& text) {
  Output& out = s.out();
  if (text.empty()) {
    nlohmann::json rows = nlohmann::json::array();
    for (const UiPhrase& p : ui_phrases()) {
      rows.push_back({{"zh", p.zh}, {"en", p.en}});
      out.line(std::string(p.zh) + "\t" + std::string(p.en));
    }
    out.doc()["texts"] = rows;
    return EXIT_OK;
  }
  std::string in = text;
  if (text == "-") in.assign(std::istreambuf_iterator<char>(std::cin), {});
  const std::string en = ui_translate_en(in);
  out.doc()["text"] = in;
  out.doc()["en"] = en;
  // Text read from a pipe ends in its own line break.
  if (!out.json() && !en.empty() && en.back() == '\n') std::cout << en << std::flush;
  else out.line(en);
  return EXIT_OK;
}

}  // namespace

void add_texts_commands(CLI::App& app, CommandSet& chosen) {
  static std::string text;
  auto* cmd = app.add_subcommand("texts", "English equivalents of the Chinese texts: the table, or TEXT (- reads "
                                          "standard input) with every listed text in English");
  cmd->add_option("text", text, "a text such as a verdict of check-image; - for standard input");
  cmd->callback([&] {
    chosen.needs_card = false;
    chosen.action = [](Session& s) { return cmd_texts(s, text); };
  });
}

}  // namespace kestrel::cli
