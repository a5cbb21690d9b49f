// kestrelctl's JSON output fed with arbitrary bytes where people and cards put text: a script file
// name (through the slot's display name and its path), a script's output (through the log lines),
// and a card's text (version text, an error message). Standard output must always carry one valid
// JSON document, and text that is valid UTF-8 must come back unchanged.
#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "boards/script_slots.h"
#include "cli/output.h"

using namespace kestrel;

namespace {

// The input split in three at its first two bytes 0x00 (what is missing is empty).
std::string_view take(std::string_view& rest) {
  const size_t cut = rest.find('\0');
  const std::string_view part = rest.substr(0, cut);
  rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  return part;
}

bool valid_utf8(std::string_view s) {
  try {
    (void)nlohmann::json(std::string(s)).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string file_name(take(rest));
  const std::string script_output(take(rest));
  const std::string card_text(rest);

  // What scripts list and scripts run put in the document.
  ScriptSlots slots;
  script_slot_store(&slots, 0, script_display_name(file_name), "qzscp/" + file_name);
  cli::Output out(true);
  nlohmann::json list = nlohmann::json::array();
  list.push_back({{"slot", 0}, {"name", slots.slot(0)->name}, {"path", slots.slot(0)->path}});
  out.doc()["scripts"] = list;
  out.doc()["lines"] = cli::log_lines(script_output);
  // What status, dump and the errors put there.
  out.doc()["version"] = card_text;
  out.fail(1, "cannot open " + file_name + " for writing");

  const auto j = nlohmann::json::parse(out.render(), nullptr, false);
  if (j.is_discarded()) __builtin_trap();
  (void)j.dump();  // throws (and so aborts) on any byte sequence that is not UTF-8
  if (valid_utf8(card_text) && j["version"] != card_text) __builtin_trap();
  return 0;
}
