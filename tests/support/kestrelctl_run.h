// Runs the built kestrelctl (its path in KESTRELCTL) as a process and reads what it prints.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

namespace kestrel::test {

struct ProcessResult {
  int code = -1;
  std::string out;  // standard output only
};

// `cwd` empty: the test's own directory. Standard input is empty, so nothing can wait for it.
// Standard error is dropped, or read after standard output with `with_stderr`.
inline ProcessResult run_kestrelctl(const std::string& args, const std::string& cwd = {}, bool with_stderr = false) {
  const std::string cmd = (cwd.empty() ? std::string() : "cd '" + cwd + "' && ") + std::string(KESTRELCTL) + " " +
                          args + (with_stderr ? " 2>&1" : " 2>/dev/null") + " </dev/null";
  ProcessResult r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  const int st = pclose(p);
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// kestrelctl started in the background (through sh, which execs it), for tests that signal it.
struct Running {
  pid_t pid = -1;
  int out_fd = -1;  // its standard output
};

inline Running start_kestrelctl(const std::string& args, const std::string& cwd = {}) {
  const std::string cmd = (cwd.empty() ? std::string() : "cd '" + cwd + "' && ") + "exec " + std::string(KESTRELCTL) +
                          " " + args + " 2>/dev/null </dev/null";
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  return {pid, fds[0]};
}

// Reads its output for `ms` (without waiting for it to end).
inline void read_for(Running& r, int ms, std::string& out) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{r.out_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(r.out_fd, buf, sizeof buf);
    if (n <= 0) {
      std::this_thread::sleep_for(left);
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
}

// Waits up to `ms` for it to end, reading the rest of its output into `out`. Its exit code, or -1
// when it had not ended by then (it is killed so that the test goes on).
inline int finish_within(Running& r, int ms, std::string& out) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  int status = 0;
  // Whatever the run left behind may hold the pipe open: never block on it.
  fcntl(r.out_fd, F_SETFL, O_NONBLOCK);
  for (;;) {
    pollfd p{r.out_fd, POLLIN, 0};
    if (poll(&p, 1, 20) > 0) {
      char buf[4096];
      const ssize_t n = read(r.out_fd, buf, sizeof buf);
      if (n > 0) out.append(buf, static_cast<size_t>(n));
    }
    if (waitpid(r.pid, &status, WNOHANG) == r.pid) break;
    if (std::chrono::steady_clock::now() > end) {
      kill(r.pid, SIGKILL);
      waitpid(r.pid, &status, 0);
      close(r.out_fd);
      return -1;
    }
  }
  for (char buf[4096];;) {
    const ssize_t n = read(r.out_fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(r.out_fd);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline nlohmann::json json_of(const ProcessResult& r) {
  auto j = nlohmann::json::parse(r.out, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << "not JSON: " << r.out;
  return j;
}

}  // namespace kestrel::test
