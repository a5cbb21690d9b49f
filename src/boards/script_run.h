// Running a script slot: the slot's file under /bin/sh in the background, with the attached card
// named in its environment, its output (standard output and error) copied into the log as it
// comes, and its end — or its failure to start — reported in the log.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "boards/script_slots.h"

namespace kestrel {

constexpr const char* SCRIPT_SHELL = "/bin/sh";
// Environment a script finds: the attached card's device node and interface path ("" when no card
// is attached), and its own slot number.
constexpr const char* SCRIPT_ENV_NODE = "KESTREL_NODE";
constexpr const char* SCRIPT_ENV_PATH = "KESTREL_PATH";
constexpr const char* SCRIPT_ENV_SLOT = "KESTREL_SLOT";

struct ScriptCard {
  std::string node;
  std::string path;
};

class ScriptRunner {
 public:
  ScriptRunner();
  // Stops copying output and returns at once. A script still running is not waited for; its
  // output has nowhere to go from then on (a write to the closed pipe ends it).
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

 private:
  struct Run;
  void watch(Run& run);

  mutable std::mutex mu_;
  std::condition_variable ended_;
  std::map<uint32_t, std::unique_ptr<Run>> runs_;
  uint32_t next_id_ = 1;
  int stop_fd_ = -1;  // eventfd: set when the runner goes away
};

}  // namespace kestrel
