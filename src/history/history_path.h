// Where the upgrade history lives. The first of these that is set wins:
//   1. an explicit path (kestrelctl --history-db, the desktop program's --history-db);
//   2. the environment variable KESTREL_HISTORY;
//   3. $XDG_STATE_HOME/kestrel/history.db (XDG_STATE_HOME only when it is an absolute path);
//   4. $HOME/.local/state/kestrel/history.db (HOME, else the password database's home).
// An empty option or variable counts as not set.
#pragma once

#include <string>

namespace kestrel::history {

constexpr const char* kHistoryEnv = "KESTREL_HISTORY";

struct HistoryPath {
  std::string path;    // empty when no home folder can be found (message says so)
  std::string source;  // "option", "KESTREL_HISTORY", "XDG_STATE_HOME" or "HOME"
  std::string message;
};

HistoryPath resolve_history_path(const std::string& option = {});

}  // namespace kestrel::history
