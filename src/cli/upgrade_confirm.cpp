#include "cli/upgrade_confirm.h"

#include <unistd.h>

#include <cstdio>

#include "update/image_check.h"

namespace kestrel::cli {

namespace {

bool interactive() { return isatty(STDIN_FILENO) && isatty(STDERR_FILENO); }

}  // namespace

std::string verdict_text(const AlertRequest& r) {
  std::string v = r.verdict.value_or("");
  while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
  while (!v.empty() && v.front() == ' ') v.erase(v.begin());
  return v;
}

nlohmann::json alert_json(const AlertRequest& r) {
  char style[8];
  std::snprintf(style, sizeof style, "0x%04X", r.style);
  return {{"style", style},
          {"title", r.title.value_or("")},
          {"info", r.info.value_or("")},
          {"verdict", verdict_text(r)},
          {"accept", r.accept_caption.value_or("")}};
}

bool ask(const std::string& question) {
  std::fprintf(stderr, "%s [y/N] ", question.c_str());
  std::fflush(stderr);
  char answer[16] = {};
  if (!std::fgets(answer, sizeof answer, stdin)) return false;
  return answer[0] == 'y' || answer[0] == 'Y';
}

bool can_ask(Session& s) { return interactive() && !s.out().json(); }

bool has_signature(const ImageFile& img) {
  return img.size() >= 2 && img.begin()[0] == IMAGE_SIG0 && img.begin()[1] == IMAGE_SIG1;
}

std::string no_signature(const std::string& path) {
  return path + " is not a USB-controller image (no CY signature)";
}

}  // namespace kestrel::cli
