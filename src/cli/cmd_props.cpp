// Picture properties and the audio policy: the property dialog's logic driven from the command
// line, so the card sees exactly what the dialog would send.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "card/property_editor.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "res/ui_text.h"

namespace kestrel::cli {

namespace {

using namespace propdlg;

// The row names on the command line: the English captions, lower case, spaces as '-'.
std::string row_name(uint32_t row) {
  std::string n = ui_text_en[20 + row];
  for (char& c : n) c = c == ' ' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return n;
}

// Reads the policy and the properties as opening the dialog does; false when the card did not
// answer the property read (the dialog would show nothing then).
bool open(PropertyEditor& d) {
  if (!d.open()) return false;
  d.start();
  return true;
}

nlohmann::json rows_json(const PropertyEditor& d) {
  nlohmann::json rows = nlohmann::json::array();
  for (uint32_t i = 0; i < ROWS; ++i) {
    const PropRow& t = d.rows()[i];
    rows.push_back({{"name", row_name(i)}, {"value", t.value}, {"min", t.lo}, {"max", t.hi}, {"enabled", t.enabled}});
  }
  return rows;
}

int print_props(Session& s, const PropertyEditor& d) {
  s.out().doc()["properties"] = rows_json(d);
  for (uint32_t i = 0; i < ROWS; ++i) {
    const PropRow& t = d.rows()[i];
    std::string line = row_name(i);
    line.resize(16, ' ');
    line += t.enabled ? std::to_string(t.value) + "  (" + std::to_string(t.lo) + ".." + std::to_string(t.hi) + ")"
                      : "-  (not offered)";
    s.out().line(line);
  }
  return EXIT_OK;
}

int cmd_props(Session& s, const std::string& what, const std::vector<std::string>& assignments) {
  Output& out = s.out();
  PropertyEditor d(s.card());
  if (!open(d)) return out.fail(EXIT_FAILED, "the card did not answer the property read");
  if (what == "get") return print_props(s, d);
  if (what == "default" || what == "revert") {
    if (what == "default") d.on_default(); else d.on_revert();
    d.on_timer(TIMER_ID);
    d.on_ok();
    return print_props(s, d);
  }
  if (what != "set") return out.fail(EXIT_USAGE, "props takes get, set name=value..., default or revert");
  if (assignments.empty()) return out.fail(EXIT_USAGE, "props set needs name=value pairs");
  for (const std::string& a : assignments) {
    const size_t eq = a.find('=');
    const std::string name = a.substr(0, eq);
    uint32_t row = ROWS;
    for (uint32_t i = 0; i < ROWS; ++i)
      if (row_name(i) == name) row = i;
    if (eq == std::string::npos || row == ROWS) {
      std::string names;
      for (uint32_t i = 0; i < ROWS; ++i) names += (i ? ", " : "") + row_name(i);
      return out.fail(EXIT_USAGE, "props set takes name=value with a name of: " + names);
    }
    const PropRow& t = d.rows()[row];
    char* end = nullptr;
    const long value = std::strtol(a.c_str() + eq + 1, &end, 10);
    if (eq + 1 == a.size() || *end != '\0' || value < t.lo || value > t.hi)
      return out.fail(EXIT_USAGE, name + " takes a whole number " + std::to_string(t.lo) + ".." + std::to_string(t.hi));
    if (!t.enabled) return out.fail(EXIT_FAILED, name + " is not offered by this card");
    d.move_row(row, static_cast<int>(value), 5 /* thumb track */);
  }
  // One timer tick writes the moves as one block; OK stores them in the card.
  d.on_timer(TIMER_ID);
  d.on_ok();
  return print_props(s, d);
}

int cmd_audio(Session& s, const std::string& what, const std::string& value) {
  Output& out = s.out();
  PropertyEditor d(s.card());
  if (!open(d)) return out.fail(EXIT_FAILED, "the card did not answer the property read");
  const std::vector<std::string> names = PropertyEditor::policy_names();
  if (what == "set") {
    int index = -1;
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == value || std::to_string(i) == value) index = static_cast<int>(i);
    if (index < 0) {
      std::string items;
      for (size_t i = 0; i < names.size(); ++i) items += "\n  " + std::to_string(i) + "  " + names[i];
      return out.fail(EXIT_USAGE, "audio set takes an index or a name:" + items);
    }
    d.choose_policy(index);
    d.on_ok();
    if (policy_index_of_code(d.current_policy()) != index)
      return out.fail(EXIT_FAILED, "the card did not take the audio policy");
  } else if (what != "get") {
    return out.fail(EXIT_USAGE, "audio takes get or set <index|name>");
  }
  const int sel = d.policy_choice();
  const std::string name = sel >= 0 && sel < static_cast<int>(names.size()) ? names[static_cast<size_t>(sel)] : "";
  out.doc()["audio_policy"] = {{"index", sel}, {"name", name}, {"code", d.current_policy()}};
  out.line("audio policy " + std::to_string(sel) + " " + name);
  return EXIT_OK;
}

}  // namespace

void add_props_commands(CLI::App& app, CommandSet& chosen) {
  static std::string props_what, audio_what, audio_value;
  static std::vector<std::string> props_args;
  auto* props = app.add_subcommand("props", "Picture properties: get, set name=value..., default, revert");
  props->add_option("action", props_what, "get | set | default | revert")->required();
  set_needs(props, "get, set name=value..., default or revert");
  props->add_option("assignments", props_args, "name=value (brightness=-20 contrast=10 ...)");
  props->callback([&] { chosen.action = [](Session& s) { return cmd_props(s, props_what, props_args); }; });

  auto* audio = app.add_subcommand("audio", "Audio policy: get, or set <index|name>");
  audio->add_option("action", audio_what, "get | set")->required();
  set_needs(audio, "get, or set and a policy index or name");
  audio->add_option("value", audio_value, "policy index or name");
  audio->callback([&] { chosen.action = [](Session& s) { return cmd_audio(s, audio_what, audio_value); }; });
}

}  // namespace kestrel::cli
