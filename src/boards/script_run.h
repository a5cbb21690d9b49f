// Running a script slot: the slot's file under bash (/bin/sh where there is no bash) in the background, in a process group of
// its own, with the attached card named in its environment, its output (standard output and
// error) copied into the log as it comes, and its end — or its failure to start — reported in the
// log.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "boards/script_slots.h"

namespace kestrel {

// The shell that runs a script. bash, because its echo prints a backslash as it is: dash, Debian's
// /bin/sh, reads "\\" in `echo "$KESTREL_PATH"` as an escape and drops one of the interface
// path's leading backslashes. SCRIPT_SHELL_FALLBACK where bash is missing.
constexpr const char* SCRIPT_SHELL = "/bin/bash";
constexpr const char* SCRIPT_SHELL_FALLBACK = "/bin/sh";
// Environment a script finds: the attached card's device node and interface path ("" when no card
// is attached), and its own slot number.
constexpr const char* SCRIPT_ENV_NODE = "KESTREL_NODE";
constexpr const char* SCRIPT_ENV_PATH = "KESTREL_PATH";
constexpr const char* SCRIPT_ENV_SLOT = "KESTREL_SLOT";

// How long a script has to end after SIGTERM before its group gets SIGKILL.
constexpr int SCRIPT_STOP_GRACE_MS = 2000;

struct ScriptCard {
  std::string node;
  std::string path;
};

class ScriptRunner {
 public:
  ScriptRunner();
  // Ends the process group of every script still running (as stop() does, all at once), then
  // stops copying output: closing the program leaves no script behind.
  ~ScriptRunner();
  ScriptRunner(const ScriptRunner&) = delete;
  ScriptRunner& operator=(const ScriptRunner&) = delete;

  // Starts the slot's script and returns at once: a run id (> 0), or 0 when it could not start
  // (the reason is logged).
  uint32_t start(const ScriptSlot& slot, const ScriptCard& card);

  // Waits up to `timeout_ms` of real time (the script runs in real time) for run `id` to end.
  // Its exit code (128 + signal number when a signal ended it), or nullopt when it has not
  // ended or there is no such run.
  std::optional<int> wait(uint32_t id, int timeout_ms);
  // Runs started and not yet ended.
  size_t running() const;

  // Ends run `id` and everything it started in its process group: SIGTERM, then SIGKILL when
  // the run has not ended `grace_ms` later. Its exit code once it ended (128 + the signal that
  // ended it, or its own code when it ended first), nullopt when there is no such run or it
  // still has not ended (a process that left the group may hold its output open).
  std::optional<int> stop(uint32_t id, int grace_ms = SCRIPT_STOP_GRACE_MS);

 private:
  struct Run;
  void watch(Run& run);
  // Sends `sig` to the groups of the given runs that have not been reaped (under mu_: a reaped
  // leader's group number may be taken by another process).
  void signal_groups(const std::vector<Run*>& runs, int sig);
  // Waits up to `ms` until every given run has ended; true when they all have.
  bool wait_all(std::unique_lock<std::mutex>& lk, const std::vector<Run*>& runs, int ms);
  // TERM, grace, KILL, and a short wait for the watchers to see the end.
  void end_runs(const std::vector<Run*>& runs, int grace_ms);

  mutable std::mutex mu_;
  std::condition_variable ended_;
  std::map<uint32_t, std::unique_ptr<Run>> runs_;
  uint32_t next_id_ = 1;
  int stop_fd_ = -1;  // eventfd: set when the runner goes away
};

}  // namespace kestrel
