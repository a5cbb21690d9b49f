#include "boards/script_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "log/log.h"

extern char** environ;

namespace kestrel {

namespace {

constexpr size_t kOutputChunk = 4096;
constexpr int kReapPollMs = 50;  // after the output closed, how often to look whether it ended
// After SIGKILL the watcher still has to see the output close and reap the script.
constexpr int kAfterKillMs = 1000;

// Our environment without the variables we set, then ours.
std::vector<std::string> script_environment(const ScriptCard& card, uint32_t slot) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string v(*e);
    bool ours = false;
    for (const char* name : {SCRIPT_ENV_NODE, SCRIPT_ENV_PATH, SCRIPT_ENV_SLOT})
      if (v.compare(0, std::strlen(name) + 1, std::string(name) + "=") == 0) ours = true;
    if (!ours) env.push_back(v);
  }
  env.push_back(std::string(SCRIPT_ENV_NODE) + "=" + card.node);
  env.push_back(std::string(SCRIPT_ENV_PATH) + "=" + card.path);
  env.push_back(std::string(SCRIPT_ENV_SLOT) + "=" + std::to_string(slot));
  return env;
}

}  // namespace

struct ScriptRunner::Run {
  uint32_t slot = 0;
  std::string name;
  pid_t pid = -1;    // the shell, leader of the script's process group
  int out_fd = -1;  // read end of the script's output
  bool reaped = false;  // waitpid took the leader: its group number is no longer ours
  bool ended = false;
  int exit_code = 0;
  std::thread watcher;
};

ScriptRunner::ScriptRunner() : stop_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ScriptRunner::~ScriptRunner() {
  std::vector<Run*> live;
  {
    std::lock_guard<std::mutex> g(mu_);
    for (auto& [id, run] : runs_)
      if (!run->ended) live.push_back(run.get());
  }
  if (!live.empty()) end_runs(live, SCRIPT_STOP_GRACE_MS);
  if (stop_fd_ >= 0) {
    const uint64_t one = 1;
    (void)!write(stop_fd_, &one, sizeof one);
  }
  std::map<uint32_t, std::unique_ptr<Run>> runs;
  {
    std::lock_guard<std::mutex> g(mu_);
    runs.swap(runs_);
  }
  for (auto& [id, run] : runs)
    if (run->watcher.joinable()) run->watcher.join();
  if (stop_fd_ >= 0) close(stop_fd_);
}

void ScriptRunner::signal_groups(const std::vector<Run*>& runs, int sig) {
  for (Run* r : runs)
    if (!r->reaped) kill(-r->pid, sig);
}

bool ScriptRunner::wait_all(std::unique_lock<std::mutex>& lk, const std::vector<Run*>& runs, int ms) {
  return ended_.wait_for(lk, std::chrono::milliseconds(ms), [&runs] {
    for (const Run* r : runs)
      if (!r->ended) return false;
    return true;
  });
}

void ScriptRunner::end_runs(const std::vector<Run*>& runs, int grace_ms) {
  std::unique_lock<std::mutex> lk(mu_);
  signal_groups(runs, SIGTERM);
  if (wait_all(lk, runs, grace_ms)) return;
  signal_groups(runs, SIGKILL);
  wait_all(lk, runs, kAfterKillMs);
}

std::optional<int> ScriptRunner::stop(uint32_t id, int grace_ms) {
  Run* run = nullptr;
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = runs_.find(id);
    if (it == runs_.end()) return std::nullopt;
    run = it->second.get();
    if (run->ended) return run->exit_code;
  }
  log_printf(0, " war : script %u %s stopped\r\n", run->slot, run->name.c_str());
  end_runs({run}, grace_ms);
  std::lock_guard<std::mutex> g(mu_);
  if (!run->ended) return std::nullopt;
  return run->exit_code;
}

uint32_t ScriptRunner::start(const ScriptSlot& slot, const ScriptCard& card) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    log_printf(0, " err : script %u %s cannot start: %s\r\n", slot.index, slot.name, std::strerror(errno));
    return 0;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 2);

  std::vector<std::string> env = script_environment(card, slot.index);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string shell = access(SCRIPT_SHELL, X_OK) == 0 ? SCRIPT_SHELL : SCRIPT_SHELL_FALLBACK, path = slot.path;
  char* argv[] = {shell.data(), path.data(), nullptr};

  // A group of its own: stopping the script reaches whatever it started, and Ctrl-C at the
  // terminal reaches kestrel (which then stops the script) rather than the script alone.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, shell.c_str(), &fa, &attr, argv, envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    log_printf(0, " err : script %u %s cannot start: %s\r\n", slot.index, slot.name, std::strerror(rc));
    return 0;
  }
  log_printf(0, " *&* : script %u %s started pid(%d)\r\n", slot.index, slot.name, static_cast<int>(pid));

  std::lock_guard<std::mutex> g(mu_);
  // Threads of runs that ended earlier are joined here, so that they do not pile up.
  for (auto& [old_id, old] : runs_)
    if (old->ended && old->watcher.joinable()) old->watcher.join();
  const uint32_t id = next_id_++;
  auto run = std::make_unique<Run>();
  run->slot = slot.index;
  run->name = slot.name;
  run->pid = pid;
  run->out_fd = fds[0];
  Run& r = *run;
  runs_.emplace(id, std::move(run));
  r.watcher = std::thread([this, &r] { watch(r); });
  return id;
}

// Copies the script's output into the log until it closes, then waits for the script to end;
// gives up when the runner goes away.
void ScriptRunner::watch(Run& run) {
  bool open = true, stopping = false;
  int status = 0;
  bool reaped = false;
  while (!reaped && !stopping) {
    pollfd p[2] = {{stop_fd_, POLLIN, 0}, {run.out_fd, POLLIN, 0}};
    const int n = poll(p, open ? 2 : 1, open ? -1 : kReapPollMs);
    if (n < 0 && errno != EINTR) break;
    if (p[0].revents & POLLIN) stopping = true;
    if (open && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[kOutputChunk];
      const ssize_t got = read(run.out_fd, buf, sizeof buf);
      if (got > 0) log_write_raw(buf, static_cast<uint32_t>(got));
      else if (got == 0 || errno != EINTR) open = false;
    }
    if (!open) {
      std::lock_guard<std::mutex> g(mu_);
      reaped = run.reaped = waitpid(run.pid, &status, WNOHANG) == run.pid;
    }
  }
  close(run.out_fd);
  if (!reaped) {
    // The runner is going away while the script still runs: leave it be.
    std::lock_guard<std::mutex> g(mu_);
    run.ended = true;
    run.exit_code = -1;
    ended_.notify_all();
    return;
  }
  int code = 0;
  if (WIFEXITED(status)) {
    code = WEXITSTATUS(status);
    if (code == 0) log_printf(0, " *&* : script %u %s ended exit(0)\r\n", run.slot, run.name.c_str());
    else log_printf(0, " err : script %u %s failed exit(%d)\r\n", run.slot, run.name.c_str(), code);
  } else if (WIFSIGNALED(status)) {
    code = 128 + WTERMSIG(status);
    log_printf(0, " err : script %u %s killed by signal %d\r\n", run.slot, run.name.c_str(), WTERMSIG(status));
  }
  std::lock_guard<std::mutex> g(mu_);
  run.ended = true;
  run.exit_code = code;
  ended_.notify_all();
}

std::optional<int> ScriptRunner::wait(uint32_t id, int timeout_ms) {
  std::unique_lock<std::mutex> lk(mu_);
  auto it = runs_.find(id);
  if (it == runs_.end()) return std::nullopt;
  Run* r = it->second.get();
  if (!ended_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [r] { return r->ended; })) return std::nullopt;
  return r->exit_code;
}

size_t ScriptRunner::running() const {
  std::lock_guard<std::mutex> g(mu_);
  size_t n = 0;
  for (const auto& [id, run] : runs_) n += run->ended ? 0 : 1;
  return n;
}

}  // namespace kestrel
