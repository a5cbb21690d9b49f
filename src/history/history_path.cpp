#include "history/history_path.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrel::history {

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string home_folder() {
  std::string home = env("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

}  // namespace

HistoryPath resolve_history_path(const std::string& option) {
  if (!option.empty()) return {option, "option", {}};
  if (std::string p = env(kHistoryEnv); !p.empty()) return {p, kHistoryEnv, {}};
  // The XDG rules ignore a relative XDG_STATE_HOME.
  if (std::string state = env("XDG_STATE_HOME"); !state.empty() && state[0] == '/')
    return {state + "/kestrel/history.db", "XDG_STATE_HOME", {}};
  if (std::string home = home_folder(); !home.empty()) return {home + "/.local/state/kestrel/history.db", "HOME", {}};
  return {{}, {}, "no place for the upgrade history: HOME is not set; give --history-db or KESTREL_HISTORY"};
}

}  // namespace kestrel::history
