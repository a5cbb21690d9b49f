#include "cli/output.h"

#include <cstdio>

namespace kestrel::cli {

void Output::line(const std::string& text) {
  if (json_) return;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      out += '?';
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      out += '?';  // U+0080..U+009F: the C1 controls (CSI among them)
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int Output::fail(int code, const std::string& message) {
  failed_ = true;
  if (json_) {
    doc_["error"] = {{"code", code}, {"message", message}};
  } else {
    std::fprintf(stderr, "kestrelctl: %s\n", message.c_str());
  }
  return code;
}

std::string Output::render() const {
  // The default handler throws on a byte sequence that is not UTF-8, which would end the
  // process with nothing printed.
  return doc_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

int Output::finish(int code) {
  if (json_) {
    doc_["ok"] = code == 0;
    doc_["exit_code"] = code;
    const std::string s = render();
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fputc('\n', stdout);
  }
  std::fflush(stdout);
  return code;
}

nlohmann::json log_lines(std::string_view text) {
  nlohmann::json lines = nlohmann::json::array();
  std::string cur;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (!cur.empty()) lines.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

}  // namespace kestrel::cli
