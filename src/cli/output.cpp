#include "cli/output.h"

#include <cstdio>

namespace kestrel::cli {

void Output::line(const std::string& text) {
  if (json_) return;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
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

int Output::finish(int code) {
  if (json_) {
    doc_["ok"] = code == 0;
    doc_["exit_code"] = code;
    const std::string s = doc_.dump(2);
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fputc('\n', stdout);
  }
  std::fflush(stdout);
  return code;
}

}  // namespace kestrel::cli
