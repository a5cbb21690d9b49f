// The upgrade history: every recorded attempt, oldest first, for one card or all, as lines for
// people, one JSON document, or CSV for a spreadsheet. Reads the database only; touches no card.
#include <CLI/CLI.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "history/history_path.h"
#include "history/history_store.h"

namespace kestrel::cli {

namespace {

using namespace history;

struct HistoryOptions {
  std::string card;
  std::string since;
  bool csv = false;
};

std::string format_time(int64_t ms, bool utc) {
  const time_t secs = static_cast<time_t>(ms / 1000);
  tm t{};
  utc ? gmtime_r(&secs, &t) : localtime_r(&secs, &t);
  char b[40];
  if (utc) {
    const size_t n = std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &t);
    std::snprintf(b + n, sizeof b - n, ".%03dZ", static_cast<int>(ms % 1000));
  } else {
    std::strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", &t);
  }
  return b;
}

// --since: a date "2025-01-31", a time "2025-01-31 14:00[:00]" (or with 'T'), local unless it
// ends in 'Z'; or an age: "30m", "12h", "7d". False for anything else.
bool parse_since(const std::string& text, int64_t now_ms, int64_t& out) {
  char unit = 0;
  long long n = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%lld%c%n", &n, &unit, &used) == 2 && used == static_cast<int>(text.size()) && n >= 0) {
    const int64_t per = unit == 'm' ? 60'000 : unit == 'h' ? 3'600'000 : unit == 'd' ? 86'400'000 : 0;
    if (per && n < INT64_MAX / per) {
      out = now_ms - n * per;
      return true;
    }
  }
  tm t{};
  t.tm_isdst = -1;
  std::string rest = text;
  const bool utc = !rest.empty() && rest.back() == 'Z';
  if (utc) rest.pop_back();
  if (rest.size() > 10 && rest[10] == 'T') rest[10] = ' ';
  const char* end = nullptr;
  for (const char* fmt : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d"})
    if ((end = strptime(rest.c_str(), fmt, &t)) && *end == '\0') break;
  if (!end || *end != '\0') return false;
  const time_t secs = utc ? timegm(&t) : mktime(&t);
  if (secs == -1) return false;
  out = static_cast<int64_t>(secs) * 1000;
  return true;
}

const char* verified_text(const std::optional<bool>& v) { return !v ? "" : *v ? "verified" : "not verified"; }

nlohmann::json record_json(const Record& r) {
  const Attempt& a = r.attempt;
  nlohmann::json j = {{"id", r.id},
                      {"started", format_time(r.started_ms, true)},
                      {"ended", r.ended_ms ? nlohmann::json(format_time(*r.ended_ms, true)) : nlohmann::json()},
                      {"board", a.card.board},
                      {"usb_serial", a.card.usb_serial},
                      {"port_path", a.card.port_path},
                      {"node", a.card.node},
                      {"image_kind", image_kind_name(a.kind)},
                      {"file", a.file_name},
                      {"size", a.file_size},
                      {"sha256", a.sha256},
                      {"info", a.info_text},
                      {"verdict", a.verdict},
                      {"forced", a.forced},
                      {"path", transfer_path_name(a.path)},
                      {"result", result_name(r.result)},
                      {"engine_result", r.engine_result ? nlohmann::json(*r.engine_result) : nlohmann::json()},
                      {"version_before", a.version_before},
                      {"version_after", r.version_after},
                      {"verified", r.verified ? nlohmann::json(*r.verified) : nlohmann::json()},
                      {"detail", r.detail}};
  return j;
}

// One CSV field (RFC 4180): quoted when it holds a comma, a quote or a line break. A text that
// begins like a formula (= + - @, a tab or a CR) gets a leading single quote, so a
// spreadsheet shows it instead of running it: the texts come from cards and image files. Numbers
// are written as they are. On a terminal the texts lose their control characters too.
std::string csv_field(const nlohmann::json& v, bool terminal) {
  std::string s = v.is_string() ? v.get<std::string>() : v.is_null() ? std::string() : v.dump();
  if (v.is_string() && !s.empty() && std::string_view("=+-@\t\r").find(s[0]) != std::string_view::npos)
    s.insert(0, 1, '\'');
  if (terminal) s = printable(s);
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

void print_csv(const std::vector<Record>& records) {
  // nlohmann::json orders keys by name; the columns follow the record's own order instead.
  static const char* const kColumns[] = {"id", "started", "ended", "board", "usb_serial", "port_path", "node",
                                         "image_kind", "file", "size", "sha256", "info", "verdict", "forced",
                                         "path", "result", "engine_result", "version_before", "version_after",
                                         "verified", "detail"};
  const bool terminal = isatty(STDOUT_FILENO) == 1;
  std::string line;
  for (const char* c : kColumns) line += std::string(line.empty() ? "" : ",") + c;
  std::printf("%s\r\n", line.c_str());
  for (const Record& r : records) {
    const nlohmann::json j = record_json(r);
    line.clear();
    for (size_t i = 0; i < std::size(kColumns); ++i) line += (i ? "," : "") + csv_field(j[kColumns[i]], terminal);
    std::printf("%s\r\n", line.c_str());
  }
}

// Lines for people. Every text in them comes from the database, where the card (version, serial)
// and the image (info text) put it: each line is printed without control characters.
void print_lines(Output& out, const std::vector<Record>& records) {
  auto line = [&out](const std::string& text) { out.line(printable(text)); };
  for (const Record& r : records) {
    const Attempt& a = r.attempt;
    std::string card = a.card.board.empty() ? "?" : a.card.board;
    for (const std::string* part : {&a.card.port_path, &a.card.usb_serial, &a.card.node})
      if (!part->empty()) card += " " + *part;
    std::string end = result_name(r.result);
    if (r.engine_result && r.result == Result::Failed) end += " (result " + std::to_string(*r.engine_result) + ")";
    if (r.verified) end += std::string(", ") + verified_text(r.verified);
    line("#" + std::to_string(r.id) + "  " + format_time(r.started_ms, false) + "  " + card);
    line("    " + std::string(image_kind_name(a.kind)) + " " + a.file_name + " (" + std::to_string(a.file_size) +
         " bytes" + (a.path == TransferPath::None ? "" : std::string(", ") + transfer_path_name(a.path)) +
         (a.forced ? ", forced" : "") + ")  " + end);
    if (!r.version_after.empty())
      line("    version " + (a.version_before.empty() ? "?" : a.version_before) + " -> " + r.version_after);
    else if (!a.version_before.empty())
      line("    version before: " + a.version_before);
    if (!r.detail.empty()) line("    " + r.detail);
  }
}

int cmd_history(Session& s, const HistoryOptions& h) {
  Output& out = s.out();
  if (h.csv && out.json()) return out.fail(EXIT_USAGE, "--json and --csv exclude each other");
  Filter filter;
  filter.card = h.card.empty() ? s.options().card : h.card;
  if (!h.since.empty()) {
    int64_t since = 0;
    const int64_t now = static_cast<int64_t>(std::time(nullptr)) * 1000;
    if (!parse_since(h.since, now, since))
      return out.fail(EXIT_USAGE, "--since takes a date (2025-01-31), a time (2025-01-31 14:00) or an age (7d, 12h, 30m)");
    filter.since_ms = since;
  }
  const HistoryPath where = resolve_history_path(s.options().history_db);
  if (where.path.empty()) return out.fail(EXIT_FAILED, where.message);
  out.doc()["database"] = where.path;
  std::vector<Record> records;
  struct stat st {};
  // A history never written is empty; reading it must not create it.
  if (stat(where.path.c_str(), &st) == 0) {
    const HistoryRead r = HistoryStore::open_for_reading(where.path).query(filter);
    if (!r.ok) return out.fail(EXIT_FAILED, r.message);
    records = r.records;
  }
  if (h.csv) {
    print_csv(records);
    return EXIT_OK;
  }
  nlohmann::json list = nlohmann::json::array();
  for (const Record& r : records) list.push_back(record_json(r));
  out.doc()["attempts"] = list;
  if (records.empty()) out.line("no upgrade recorded" + (filter.card.empty() ? "" : " for " + filter.card) + " in " + where.path);
  print_lines(out, records);
  return EXIT_OK;
}

}  // namespace

void add_history_commands(CLI::App& app, CommandSet& chosen) {
  static HistoryOptions h;
  auto* cmd = app.add_subcommand("history", "Recorded upgrade attempts, oldest first (database: --history-db)");
  cmd->add_option("--card", h.card, "Only this card: its board, USB serial, USB port path or node");
  cmd->add_option("--since", h.since, "Only attempts since a date, a time or an age (2025-01-31, 7d, 12h)");
  cmd->add_flag("--csv", h.csv, "Print CSV (a header line, one line per attempt)");
  cmd->callback([&] {
    chosen.needs_card = false;
    chosen.scans_cards = false;
    chosen.action = [](Session& s) { return cmd_history(s, h); };
  });
}

}  // namespace kestrel::cli
