// The kestrel program as a process: options, the first log line, a picture of the window, the
// orderly end, and the errors a user sees.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Outcome {
  int status = -1;
  std::string output;  // standard output and standard error
};

// Runs kestrel with `args` under `env` (a prefix such as "LANG=C QT_QPA_PLATFORM=offscreen").
Outcome run(const std::string& env, const std::string& args) {
  const std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + env + " " KESTREL_BIN " " + args + " 2>&1";
  Outcome r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kestrel_program_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string dir_;
};

TEST_F(Program, StartsLogsItsFirstLineDrawsTheWindowAndEnds) {
  const std::string log = dir_ + "/kestrel.log";
  const std::string png = dir_ + "/window.png";
  const Outcome r = run("LANG=zh_CN.UTF-8 QT_QPA_PLATFORM=offscreen",
                    "--simulate TB610R-1CH --log-file " + log + " --screenshot " + png);
  EXPECT_EQ(r.status, 0) << r.output;
  const std::string text = slurp(log);
  const std::string first = " kestrel 2.0.6800 build 2024-12-25 10:01:06 +0800 CST\r\n";
  ASSERT_GE(text.size(), first.size());
  EXPECT_EQ(text.substr(0, first.size()), first);
  EXPECT_NE(text.find("board status change to TB610R-1CH"), std::string::npos) << text;
  EXPECT_EQ(slurp(png).substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}

TEST_F(Program, UnknownBoardNamesTheBoards) {
  const Outcome r = run("QT_QPA_PLATFORM=offscreen", "--simulate TB999");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("unknown board 'TB999'"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("TB610R-1CH"), std::string::npos);
  EXPECT_NE(r.output.find("meadow"), std::string::npos);
}

TEST_F(Program, BadOptionsAndNoDisplayAreExplained) {
  Outcome r = run("QT_QPA_PLATFORM=offscreen", "--log-level-mask zz");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("hexadecimal"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("usage: kestrel"), std::string::npos);

  r = run("", "--simulate meadow");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("no display"), std::string::npos) << r.output;

  // A display that is named but not there: the same advice, no crash of the platform plugin.
  for (const char* env : {"DISPLAY=:97", "DISPLAY=unix:97", "QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=kestrel-none"}) {
    r = run(env, "--simulate meadow");
    EXPECT_EQ(r.status, 1) << env << ": " << r.output;
    EXPECT_NE(r.output.find("kestrel: no display (cannot connect to"), std::string::npos) << env << ": " << r.output;
    EXPECT_NE(r.output.find("kestrelctl"), std::string::npos) << r.output;
  }

  r = run("", "--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("--simulate BOARD"), std::string::npos);
  EXPECT_NE(r.output.find("--version"), std::string::npos);

  r = run("", "--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "kestrel 2.0.6800 build 2024-12-25 10:01:06 +0800 CST\n");
}

}  // namespace
