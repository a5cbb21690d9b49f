// The request a confirmation shows and the injectable confirmation itself. The
// desktop program answers it with its dialog, the command line with a prompt or an option, and
// tests with a recorder. the image check fills the request; nothing here draws anything.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kestrel {

// Style word: low byte the re-confirm flag (non-zero: accepting asks a yes/no question first),
// high byte the colour class of the verdict line (1 green, 2 teal, 3 olive, other amber).
constexpr uint16_t ALERT_STYLE_SUITS = 0x0100;
constexpr uint16_t ALERT_STYLE_CAREFUL = 0x0200;
constexpr uint16_t ALERT_STYLE_FORCE = 0x0301;

struct AlertRequest {
  uint16_t style = 0;
  // An empty optional leaves the dialog template's own text in place.
  std::optional<std::string> title;
  std::optional<std::string> info;
  std::optional<std::string> verdict;
  std::optional<std::string> accept_caption;
  std::optional<std::string> cancel_caption;

  bool reconfirm() const { return (style & 0xFF) != 0; }
  uint8_t colour_class() const { return static_cast<uint8_t>(style >> 8); }
};

// True when the user accepted. A null function is a confirmation nobody can give: false.
using ShowAlertFn = std::function<bool(const AlertRequest&)>;

inline bool show_alert(const ShowAlertFn& fn, const AlertRequest& request) { return fn ? fn(request) : false; }

// The yes/no question the accept button asks when the re-confirm flag is set: the verdict, then
// "是否", then the accept caption (a missing part contributes nothing).
inline std::string alert_reconfirm_question(const AlertRequest& r) {
  std::string q = r.verdict.value_or(std::string());
  q += "是否";
  q += r.accept_caption.value_or(std::string());
  return q;
}

// The verdict line as words, for a record or a terminal: without its leading spaces and its line
// end.
inline std::string alert_verdict_words(const AlertRequest& r) {
  std::string v = r.verdict.value_or(std::string());
  while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
  const size_t first = v.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : v.substr(first);
}

}  // namespace kestrel
