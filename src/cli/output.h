// What kestrelctl prints: one JSON document with --json (errors included, nothing else on
// standard output), plain lines for people otherwise.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kestrel::cli {

class Output {
 public:
  explicit Output(bool json) : json_(json) {}
  bool json() const { return json_; }

  // The JSON document being built; printed once by finish(). Its strings may hold any bytes:
  // file names, script output and the card's own texts are not always UTF-8.
  nlohmann::json& doc() { return doc_; }
  // A line for people; ignored with --json.
  void line(const std::string& text);
  // An error: a message on standard error (or an "error" member in the JSON) and its exit code.
  int fail(int code, const std::string& message);
  // Prints the JSON document (with "ok" set from `code`) and passes the code through.
  int finish(int code);
  // The document as finish() prints it, without the line end. Bytes that are not UTF-8 become
  // U+FFFD, so the text is always one valid JSON document.
  std::string render() const;

 private:
  bool json_;
  nlohmann::json doc_ = nlohmann::json::object();
  bool failed_ = false;
};

// `text` safe to print on a terminal: every control character (C0, DEL, and C1 written as UTF-8)
// becomes '?', so a text from a card or a file cannot move the cursor, retitle the window or
// hide what follows. Everything else, other UTF-8 and bytes that are not UTF-8 included, is kept.
std::string printable(std::string_view text);

// Log text split into lines as the JSON document carries them: without their ends (CR LF, LF or
// a lone CR), empty lines dropped.
nlohmann::json log_lines(std::string_view text);

}  // namespace kestrel::cli
