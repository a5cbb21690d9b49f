// Where the history lives: option, then KESTREL_HISTORY, then XDG_STATE_HOME, then HOME.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "history/history_path.h"

namespace {

using kestrel::history::resolve_history_path;

// Sets or clears one variable for the scope of a case.
class EnvVar {
 public:
  EnvVar(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
  }
  ~EnvVar() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(HistoryPath, PrecedenceOfOptionEnvironmentAndXdg) {
  using S = std::optional<std::string>;
  struct Case {
    std::string option;
    S kestrel, xdg, home;
    std::string path, source;
  } cases[] = {
      {"/o.db", "/k.db", "/x", "/h", "/o.db", "option"},
      {"", "/k.db", "/x", "/h", "/k.db", "KESTREL_HISTORY"},
      {"", "", "/x", "/h", "/x/kestrel/history.db", "XDG_STATE_HOME"},
      {"", std::nullopt, "/x", "/h", "/x/kestrel/history.db", "XDG_STATE_HOME"},
      {"", std::nullopt, "relative", "/h", "/h/.local/state/kestrel/history.db", "HOME"},
      {"", std::nullopt, "", "/h", "/h/.local/state/kestrel/history.db", "HOME"},
      {"", std::nullopt, std::nullopt, "/h", "/h/.local/state/kestrel/history.db", "HOME"},
  };
  for (const Case& c : cases) {
    EnvVar k("KESTREL_HISTORY", c.kestrel), x("XDG_STATE_HOME", c.xdg), h("HOME", c.home);
    const auto p = resolve_history_path(c.option);
    EXPECT_EQ(p.path, c.path);
    EXPECT_EQ(p.source, c.source);
  }
}

}  // namespace
