// kestrelctl's engineering commands as a process on simulated cards: the dumps as plain lines and
// wrapped in JSON, the register files, the debug channel, hdbc and the script slots.
#include <gtest/gtest.h>

#include "support/kestrelctl_run.h"
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using kestrel::test::json_of;
using kestrel::test::ProcessResult;

ProcessResult run(const std::string& args, const std::string& cwd = {}) { return kestrel::test::run_kestrelctl(args, cwd); }

bool has_line(const nlohmann::json& j, const std::string& prefix) {
  if (!j.contains("lines")) return false;
  for (const auto& l : j["lines"])
    if (l.get<std::string>().rfind(prefix, 0) == 0) return true;
  return false;
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "/kestrelctl_diag_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST(KestrelctlDump, RunStatusOfMeadowIsItsBoardDump) {
  const ProcessResult r = run("--simulate meadow dump run-status");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out.rfind(" *&* : lenght 01C0 offt D8 second E8\r\n 00000000 ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\r\n 000001B0 "), std::string::npos);  // 448 bytes: the last line starts at 0x1B0
  EXPECT_EQ(r.out.find("\r\n 000001C0 "), std::string::npos);
}

TEST(KestrelctlDump, RunStatusOfAGenericBoard) {
  const ProcessResult r = run("--simulate TB610R-1CH dump run-status");
  EXPECT_EQ(r.code, 0);
  for (const char* line : {"\r\n qzdbg(bdap:", "\r\n idle ", "\r\n tick ", "\r\n vpin ", "\r\n fvpd ", "\r\n lock ",
                           "\r\n audo ", "\r\n view ", "\r\n uvc  active:", "\r\n uac  active:"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;
}

// Every case prints exactly one JSON document, errors included.
struct JsonCase {
  std::string args;
  int code;
  std::string first_line;  // the first of "lines", when the case prints dump lines
};

void PrintTo(const JsonCase& c, std::ostream* os) { *os << c.args; }

class KestrelctlDiagJson : public ::testing::TestWithParam<JsonCase> {};

TEST_P(KestrelctlDiagJson, OneDocument) {
  const JsonCase& c = GetParam();
  const ProcessResult r = run("--json " + c.args);
  EXPECT_EQ(r.code, c.code) << r.out;
  const auto j = json_of(r);
  EXPECT_EQ(j["ok"], c.code == 0);
  EXPECT_EQ(j["exit_code"], c.code);
  if (c.code != 0) {
    EXPECT_TRUE(j.contains("error"));
  }
  if (!c.first_line.empty()) {
    ASSERT_TRUE(j.contains("lines")) << r.out;
    ASSERT_FALSE(j["lines"].empty());
    EXPECT_EQ(j["lines"][0].get<std::string>().rfind(c.first_line, 0), 0u) << j["lines"][0];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KestrelctlDiagJson,
    ::testing::Values(JsonCase{"--simulate meadow dump run-status", 0, " *&* : lenght 01C0 offt D8 second E8"},
                      JsonCase{"--simulate rw820c dump debug-info", 0, " *&* : lenght 0190 offt D8 second B8"},
                      JsonCase{"--simulate TB610R-1CH dump run-status", 0, " qzdbg(bdap:1 "},
                      JsonCase{"--simulate TB610R-1CH dump debug-info", 0, " cyfx work detail global status"},
                      JsonCase{"--simulate TB850V-1CH dump version", 0, " TB850V-1CH:"},
                      JsonCase{"--simulate TB720V-2CH dump fpga", 0, " tb720v board FPGA errno(0) version("},
                      JsonCase{"--simulate meadow dump fpga", 1, ""},
                      JsonCase{"--simulate nosuchboard dump version", 2, ""},
                      JsonCase{"--simulate meadow dump", 2, ""},
                      JsonCase{"--simulate TB610R-1CH dump registers --model tb999 --out x.txt", 2, ""},
                      JsonCase{"--simulate TB610R-1CH dump registers --model generic --out /nonexistent/dir/x.txt", 1, ""},
                      JsonCase{"--simulate TB610R-1CH debug on", 0, " *&* : qzdbg control status(1) ready(1)"},
                      JsonCase{"--simulate TB610R-1CH debug state", 0, ""},
                      JsonCase{"--simulate TB610R-1CH debug maybe", 2, ""},
                      JsonCase{"--simulate TB610R-1CH hdbc 1", 0, ""},
                      JsonCase{"--simulate TB610R-1CH hdbc 5", 2, ""},
                      JsonCase{"--simulate TB610R-1CH scripts list", 0, ""},
                      JsonCase{"--simulate TB610R-1CH scripts run 0", 2, ""}));

TEST(KestrelctlDump, FpgaDumpOpensTheGeometryLine) {
  const auto j = json_of(run("--json --simulate TB610K-1CH dump fpga"));
  EXPECT_TRUE(has_line(j, " tb610k board FPGA errno(0) version("));
  EXPECT_TRUE(has_line(j, " data : config("));
  EXPECT_TRUE(has_line(j, " bsize: 4000 dlen: "));
}

TEST(KestrelctlHdbc, Mode3WritesW0WithoutBits10To15) {
  const auto j = json_of(run("--json --simulate TB610R-1CH hdbc 3"));
  EXPECT_EQ(j["read"], (nlohmann::json{0x0001FC01, 0x10}));
  EXPECT_EQ(j["written"], (nlohmann::json{0x00010001, 0x10}));
}

TEST_F(TempDir, RegisterFilesOfEachModel) {
  struct Case {
    const char* model;
    const char* first;
    size_t lines;
  } cases[] = {{"generic", " board FPGA version : ", 172},
               {"tb610", " board FPGA version : ", 172},
               {"tb610r", " board FPGA version : ", 172 + 384},
               {"tb720v", " TB720V board FPGA inter debug 0x25~27, 0x2B~2D", 179}};
  for (const Case& c : cases) {
    const std::string file = (dir_ / (std::string(c.model) + ".txt")).string();
    const auto j = json_of(run("--json --simulate TB610R-1CH dump registers --model " + std::string(c.model) + " --out " + file));
    EXPECT_EQ(j["ok"], true) << c.model;
    EXPECT_EQ(j["file"], file);
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    EXPECT_EQ(text.rfind(c.first, 0), 0u) << c.model;
    size_t n = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++n;
    EXPECT_EQ(n, c.lines) << c.model;
  }
}

TEST_F(TempDir, ScriptsFromTheCurrentDirectory) {
  fs::create_directories(dir_ / "qzscp");
  std::ofstream((dir_ / "qzscp" / "0-hello.sh").string()) << "echo \"hello from $KESTREL_SLOT\"\n";
  std::ofstream((dir_ / "qzscp" / "1-broken.sh").string()) << "echo broken\nexit 4\n";

  auto j = json_of(run("--json --simulate meadow scripts list", dir_.string()));
  ASSERT_EQ(j["scripts"].size(), 2u);
  EXPECT_EQ(j["scripts"][0]["name"], "hello");
  EXPECT_EQ(j["scripts"][1]["command"], 32781);

  ProcessResult r = run("--simulate meadow scripts run 0", dir_.string());
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("hello from 0\n"), std::string::npos) << r.out;

  r = run("--json --simulate meadow scripts run 1", dir_.string());
  EXPECT_EQ(r.code, 1);
  j = json_of(r);
  EXPECT_EQ(j["exit_code"], 1);
  EXPECT_TRUE(has_line(j, "broken"));
  EXPECT_TRUE(has_line(j, " err : script 1 broken failed exit(4)"));
}

}  // namespace
