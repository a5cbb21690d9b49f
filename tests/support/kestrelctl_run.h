// Runs the built kestrelctl (its path in KESTRELCTL) as a process and reads what it prints.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

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

inline nlohmann::json json_of(const ProcessResult& r) {
  auto j = nlohmann::json::parse(r.out, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << "not JSON: " << r.out;
  return j;
}

}  // namespace kestrel::test
