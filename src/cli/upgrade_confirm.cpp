#include "cli/upgrade_confirm.h"

#include <unistd.h>

#include <cstdio>

#include "cli/exit_codes.h"
#include "res/ui_phrases.h"
#include "update/fpga_check.h"
#include "update/image_check.h"

namespace kestrel::cli {

namespace {

bool interactive() { return isatty(STDIN_FILENO) && isatty(STDERR_FILENO); }

}  // namespace

std::string verdict_text(const AlertRequest& r) { return alert_verdict_words(r); }

nlohmann::json alert_json(const AlertRequest& r) {
  char style[8];
  std::snprintf(style, sizeof style, "0x%04X", r.style);
  return {{"style", style},
          {"title", r.title.value_or("")},
          {"info", r.info.value_or("")},
          {"verdict", verdict_text(r)},
          {"accept", r.accept_caption.value_or("")},
          {"title_en", ui_translate_en(r.title.value_or(""))},
          {"info_en", ui_translate_en(r.info.value_or(""))},
          {"verdict_en", ui_translate_en(verdict_text(r))},
          {"accept_en", ui_translate_en(r.accept_caption.value_or(""))}};
}

std::string shown_text(const std::string& text) {
  std::string t = ui_translate(text);
  std::string out;
  out.reserve(t.size());
  for (size_t i = 0; i < t.size(); ++i)
    if (!(t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n')) out += t[i];
  return out;
}

bool ask(const std::string& question) {
  std::fprintf(stderr, "%s [y/N] ", question.c_str());
  std::fflush(stderr);
  char answer[16] = {};
  if (!std::fgets(answer, sizeof answer, stdin)) return false;
  return answer[0] == 'y' || answer[0] == 'Y';
}

bool can_ask(Session& s) { return interactive() && !s.out().json(); }

bool confirm_check(Session& s, const AlertRequest& r, std::string& declined_why, const std::function<void()>& before_asking) {
  if (r.style == ALERT_STYLE_FORCE && !s.options().force) {
    // The verdict reached, not a generic "does not match": a damaged image says so.
    const bool damaged = r.info.value_or("").find(IMAGE_INFO_DAMAGED) != std::string::npos;
    declined_why = damaged ? "the image failed this board's integrity check (damaged, or made for another board); "
                             "--force goes ahead anyway"
                           : shown_text(verdict_text(r)) + "; --force goes ahead anyway";
    return false;
  }
  if (s.options().yes) return true;
  if (!can_ask(s)) {
    declined_why = kNeedsConfirmation;
    return false;
  }
  before_asking();
  AlertRequest q = r;
  q.verdict = verdict_text(r);
  // In the locale's language: the forced verdicts ask the window's second question.
  const std::string question =
      ui_translate(r.reconfirm() ? alert_reconfirm_question(q) : r.accept_caption.value_or("升级") + "?");
  if (ask(question)) return true;
  declined_why = "declined";
  return false;
}

bool has_signature(const ImageFile& img) {
  return img.size() >= 2 && img.begin()[0] == IMAGE_SIG0 && img.begin()[1] == IMAGE_SIG1;
}

std::string no_signature(const std::string& path) {
  return path + " is not a USB-controller image (no CY signature)";
}

int check_fpga_marks(Session& s, const std::string& path, const ImageFile& img, std::string& why) {
  Output& out = s.out();
  const FpgaImageCheck check = check_fpga_image(img.data());
  out.doc()["fpga_check"] = {{"ok", check.ok}, {"mark", check.mark}, {"reason", check.reason}};
  if (check.ok || s.options().force) return EXIT_OK;
  why = path + ": " + check.reason + "; --force writes it anyway";
  return out.fail(EXIT_IMAGE_REFUSED, why);
}

int confirm_fpga(Session& s, const std::string& path, const ImageFile& img, const std::string& onto, std::string& why) {
  Output& out = s.out();
  const FpgaImageCheck check = check_fpga_image(img.data());
  if (!out.json())
    std::fprintf(stderr, "FPGA image %s (%u bytes%s%s) onto %s\n", path.c_str(), img.size(), check.ok ? ", " : "",
                 check.ok ? check.mark.c_str() : "", onto.c_str());
  if (s.options().yes) return EXIT_OK;
  why = kNeedsConfirmation;
  if (!can_ask(s)) return out.fail(EXIT_IMAGE_REFUSED, why);
  why = "declined";
  if (!ask(ui_translate("写入这个FPGA逻辑文件?"))) return out.fail(EXIT_IMAGE_REFUSED, why);
  return EXIT_OK;
}

}  // namespace kestrel::cli
