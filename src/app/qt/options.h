// The desktop program's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrel::qt {

struct Options {
  std::string simulate;       // board name: one simulated card of that board instead of hidraw
  std::string log_file;       // append the log to this file
  bool log_console = false;   // the log to standard error
  bool log_pane = false;      // the log in a pane below the controls
  bool trace = false;         // every report to or from the card on standard error
  std::optional<uint32_t> level_mask;
  std::optional<uint32_t> module_mask;
  std::string screenshot;     // save a picture of the window here and end
  uint32_t sim_page_ms = 0;   // simulated cards take this long per flash page, ten times as long
                              // per erase block (an upgrade slow enough to watch)
  bool help = false;
  bool version = false;
};

// False with a one-line `error` for an unknown option, a missing value or a mask that is not
// hexadecimal.
bool parse_options(int argc, const char* const* argv, Options& out, std::string& error);
const char* usage_text();

// A hexadecimal number of at most 8 digits, with or without 0x.
bool parse_hex32(const std::string& s, uint32_t& out);

}  // namespace kestrel::qt
