// Runs the built kestrelctl on a pseudo-terminal, as a user at a console would (link with util).
#pragma once

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/kestrelctl_run.h"

namespace kestrel::test {

// Runs kestrelctl on a pseudo-terminal, as a user at a console would, answering every question
// with `answer`; what it printed (both streams) and its exit code.
inline ProcessResult run_on_terminal(const std::string& args, const std::string& answer, const std::string& lang = "C") {
  ProcessResult r;
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return r;
  if (pid == 0) {
    const std::string cmd = "LANG=" + lang + " LC_ALL= " + std::string(KESTRELCTL) + " " + args;
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string all;
  size_t answered = 0;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the child has closed the terminal
    all.append(buf, static_cast<size_t>(n));
    // Each "[y/N]" gets the answer once.
    for (size_t at = all.find("[y/N]", answered); at != std::string::npos; at = all.find("[y/N]", answered)) {
      answered = at + 5;
      const std::string line = answer + "\n";
      if (write(master, line.data(), line.size()) < 0) break;
    }
  }
  close(master);
  int st = 0;
  waitpid(pid, &st, 0);
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.out = all;
  return r;
}

inline size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

}  // namespace kestrel::test
