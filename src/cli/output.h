// What kestrelctl prints: one JSON document with --json (errors included, nothing else on
// standard output), plain lines for people otherwise.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace kestrel::cli {

class Output {
 public:
  explicit Output(bool json) : json_(json) {}
  bool json() const { return json_; }

  // The JSON document being built; printed once by finish().
  nlohmann::json& doc() { return doc_; }
  // A line for people; ignored with --json.
  void line(const std::string& text);
  // An error: a message on standard error (or an "error" member in the JSON) and its exit code.
  int fail(int code, const std::string& message);
  // Prints the JSON document (with "ok" set from `code`) and passes the code through.
  int finish(int code);

 private:
  bool json_;
  nlohmann::json doc_ = nlohmann::json::object();
  bool failed_ = false;
};

}  // namespace kestrel::cli
