#include "app/qt/options.h"

#include <cctype>
#include <string_view>

namespace kestrel::qt {

bool parse_hex32(const std::string& s, uint32_t& out) {
  std::string_view v(s);
  if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) v.remove_prefix(2);
  if (v.empty() || v.size() > 8) return false;
  uint32_t n = 0;
  for (char c : v) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    n = n * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10));
  }
  out = n;
  return true;
}

bool parse_options(int argc, const char* const* argv, Options& out, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_value = false;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      has_value = true;
    }
    auto take = [&](std::string& dest) {
      if (!has_value) {
        if (i + 1 >= argc) {
          error = arg + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      dest = value;
      return true;
    };
    auto take_mask = [&](std::optional<uint32_t>& dest) {
      std::string text;
      if (!take(text)) return false;
      uint32_t n = 0;
      if (!parse_hex32(text, n)) {
        error = arg + " takes a hexadecimal number such as 0x20000, not '" + text + "'";
        return false;
      }
      dest = n;
      return true;
    };
    bool ok = true;
    if (arg == "--simulate") ok = take(out.simulate);
    else if (arg == "--log-file") ok = take(out.log_file);
    else if (arg == "--screenshot") ok = take(out.screenshot);
    else if (arg == "--sim-page-ms") {
      std::string text;
      ok = take(text);
      if (ok && (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)) {
        error = "--sim-page-ms takes a number of milliseconds such as 20, not '" + text + "'";
        return false;
      }
      if (ok) out.sim_page_ms = static_cast<uint32_t>(std::stoul(text));
    } else if (arg == "--log-level-mask") ok = take_mask(out.level_mask);
    else if (arg == "--log-module-mask") ok = take_mask(out.module_mask);
    else if (arg == "--log-console" && !has_value) out.log_console = true;
    else if (arg == "--log-pane" && !has_value) out.log_pane = true;
    else if (arg == "--trace" && !has_value) out.trace = true;
    else if ((arg == "--help" || arg == "-h") && !has_value) out.help = true;
    else if (arg == "--version" && !has_value) out.version = true;
    else {
      error = "unknown option '" + std::string(argv[i]) + "'";
      return false;
    }
    if (!ok) return false;
  }
  return true;
}

const char* usage_text() {
  return "usage: kestrel [options]\n"
         "  --simulate BOARD        a simulated card of this board instead of the attached cards;\n"
         "                          several: BOARD,BOARD,...\n"
         "  --log-file PATH         append the log to PATH\n"
         "  --log-console           write the log to standard error\n"
         "  --log-pane              show the log in a pane below the window's controls\n"
         "  --log-level-mask HEX    open these log levels (bit n = level n)\n"
         "  --log-module-mask HEX   open these log modules (bits 5..31)\n"
         "  --trace                 write every report sent to or received from the card to standard error\n"
         "  --screenshot PATH       save a picture of the window as PNG and end\n"
         "  --sim-page-ms MS        with --simulate: each flash page takes MS ms, each erase block ten\n"
         "                          times as long (an upgrade slow enough to watch)\n"
         "  --help                  this text\n"
         "  --version               the version\n";
}

}  // namespace kestrel::qt
