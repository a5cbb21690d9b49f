// kestrelctl used as a new user would, on simulated cards: signals that end it, time limits,
// bytes that are not UTF-8 in the JSON, dumps the card did not fully answer, files it must not
// overwrite, short register replies, script slots, readable messages and help, and the dumps of
// the simulated FPGA.
#include <gtest/gtest.h>

#include "support/kestrelctl_run.h"
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/output.h"

namespace {

namespace fs = std::filesystem;
using kestrel::test::finish_within;
using kestrel::test::json_of;
using kestrel::test::ProcessResult;
using kestrel::test::read_for;
using kestrel::test::Running;
using kestrel::test::start_kestrelctl;

ProcessResult run(const std::string& args, const std::string& cwd = {}, bool with_stderr = false) {
  return kestrel::test::run_kestrelctl(args, cwd, with_stderr);
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class Folder : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "/kestrelctl_robust_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    fs::create_directories(dir_ / "qzscp");
  }
  void TearDown() override { fs::remove_all(dir_); }
  void script(const std::string& name, const std::string& body) {
    std::ofstream((dir_ / "qzscp" / name).string(), std::ios::binary) << body;
  }
  // True when no process of group `pgid` is left (killed ones may take a moment to be reaped).
  static bool group_gone(pid_t pgid) {
    for (int i = 0; i < 100; ++i) {
      if (kill(-pgid, 0) != 0 && errno == ESRCH) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  fs::path dir_;
};

struct SignalCase {
  int sig;
  int code;
};

// ---- Ctrl-C and SIGTERM end status --watch at once, and it prints once a second meanwhile ----

class WatchSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(WatchSignal, EndsAtOnceAndPacesItself) {
  Running r = start_kestrelctl("--simulate meadow status --watch");
  ASSERT_GT(r.pid, 0);
  std::string out;
  read_for(r, 2500, out);
  const size_t blocks = count(out, "board         meadow");
  EXPECT_GE(blocks, 2u) << out;
  EXPECT_LE(blocks, 4u) << "one status a second, not as fast as it can";
  kill(r.pid, GetParam().sig);
  EXPECT_EQ(finish_within(r, 3000, out), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Signals, WatchSignal, ::testing::Values(SignalCase{SIGINT, 130}, SignalCase{SIGTERM, 143}));

// ---- scripts run: a signal or --timeout ends the script's whole process group ----

struct ScriptStopCase {
  const char* body;     // after the line that writes the group's number
  int sig;              // 0: --timeout ends it
  int code;
};

class ScriptStop : public Folder, public ::testing::WithParamInterface<ScriptStopCase> {};

TEST_P(ScriptStop, EndsTheScriptAndAllItStarted) {
  const ScriptStopCase& c = GetParam();
  script("0-forever.sh", std::string("echo $$ > \"$PWD/group\"\n") + c.body);
  Running r = start_kestrelctl(std::string("--json --simulate meadow scripts run 0") + (c.sig ? "" : " --timeout 0.5"),
                               dir_.string());
  ASSERT_GT(r.pid, 0);
  std::string out;
  for (int i = 0; i < 250 && !fs::exists(dir_ / "group"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(fs::exists(dir_ / "group"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the background sleep starts
  if (c.sig) kill(r.pid, c.sig);
  // A script that ignores SIGTERM gets SIGKILL after the grace period (2 s).
  EXPECT_EQ(finish_within(r, 8000, out), c.code) << out;
  const pid_t pgid = std::stoi(slurp(dir_ / "group"));
  EXPECT_TRUE(group_gone(pgid)) << "group " << pgid << " still has processes";
  const auto j = nlohmann::json::parse(out, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << out;
  EXPECT_EQ(j["exit_code"], c.code);
  EXPECT_EQ(j.value("timed_out", false), c.sig == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, ScriptStop,
    ::testing::Values(ScriptStopCase{"sleep 1000 &\nsleep 1000\n", SIGINT, 130},
                      ScriptStopCase{"sleep 1000 &\nsleep 1000\n", SIGTERM, 143},
                      ScriptStopCase{"trap '' TERM\nsleep 1000 &\nsleep 1000\n", SIGTERM, 143},
                      ScriptStopCase{"sleep 1000 &\nsleep 1000\n", 0, 1}));

// ---- Times: --seconds and --timeout take a number above 0 ----

class BadSeconds : public ::testing::TestWithParam<const char*> {};

TEST_P(BadSeconds, AreRefusedAsUsage) {
  const auto t0 = std::chrono::steady_clock::now();
  const ProcessResult r = run(std::string("--json --simulate rw820c ") + GetParam());
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_EQ(json_of(r)["ok"], false);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << "it ran instead of refusing";
}

INSTANTIATE_TEST_SUITE_P(Values, BadSeconds,
                         ::testing::Values("monitor --seconds 0", "monitor --seconds -1", "log --seconds 0",
                                           "log --seconds -0.5", "log --seconds nan", "monitor --seconds inf",
                                           "log --seconds 1e30", "log --seconds soon", "scripts run 0 --timeout 0"));

TEST(Listen, MonitorEndsAtOnceWhereTheBoardCannotAnswer) {
  const auto t0 = std::chrono::steady_clock::now();
  const ProcessResult r = run("--simulate meadow monitor --seconds 30", {}, true);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("this board does not answer the monitor query"), std::string::npos) << r.out;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

TEST(Listen, LogSaysWhenNoDebugTextCame) {
  const ProcessResult r = run("--simulate TB610R-1CH log --seconds 0.3");
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("no debug text received"), std::string::npos) << r.out;
}

// ---- --json: one valid document whatever bytes the names, outputs and card texts carry ----

TEST(OutputJson, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  kestrel::cli::Output out(true);
  out.doc()["version"] = std::string("V2.0 \xB2\xE2\xCA\xD4\xFF");  // GBK, then a byte no encoding uses
  out.doc()["lines"] = kestrel::cli::log_lines("ok\r\n\xC3(\r\x80\n");
  out.doc()["name"] = "测试";
  const auto j = nlohmann::json::parse(out.render(), nullptr, false);
  ASSERT_FALSE(j.is_discarded());
  const std::string version = j["version"];
  EXPECT_EQ(version.rfind("V2.0 \xEF\xBF\xBD", 0), 0u) << version;
  EXPECT_EQ(version.find('\xFF'), std::string::npos);
  EXPECT_NO_THROW((void)j.dump()) << "the document holds valid UTF-8 only";
  EXPECT_EQ(j["lines"], (nlohmann::json{"ok", "\xEF\xBF\xBD(", "\xEF\xBF\xBD"}));
  EXPECT_EQ(j["name"], "测试") << "valid UTF-8 stays as it is";
}

TEST_F(Folder, JsonSurvivesGbkScriptNamesOutputsAndFileNames) {
  script("0-\xB2\xE2\xCA\xD4.sh", "printf 'out \\262\\342\\n'\n");  // "测试" in GBK, and GBK output
  struct Case {
    std::string args;
    int code;
  } cases[] = {{"scripts list", 0}, {"scripts run 0", 0}, {"dump registers --out reg\xFF.txt", 0}};
  for (const Case& c : cases) {
    const ProcessResult r = run("--json --simulate TB830R-1CH " + c.args, dir_.string());
    EXPECT_EQ(r.code, c.code) << c.args;
    const auto j = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << c.args << ": " << r.out;
  }
}

// ---- Dumps the card did not fully answer exit 1 and say which part failed ----

struct PartialDump {
  std::string args;
  std::string part;
  std::string first_line;  // the dump still prints
};

class DumpFailures : public Folder, public ::testing::WithParamInterface<PartialDump> {};

TEST_P(DumpFailures, ExitOneAndNameThePart) {
  const PartialDump& c = GetParam();
  const ProcessResult r = run("--json " + c.args, dir_.string());
  EXPECT_EQ(r.code, 1) << r.out;
  const auto j = json_of(r);
  EXPECT_EQ(j["failed_part"], c.part);
  EXPECT_TRUE(j.contains("error"));
  if (!c.first_line.empty()) {
    ASSERT_TRUE(j.contains("lines"));
    EXPECT_EQ(j["lines"][0].get<std::string>().rfind(c.first_line, 0), 0u) << j["lines"][0];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Parts, DumpFailures,
    ::testing::Values(
        PartialDump{"--simulate TB830R-1CH --sim-drop 12 dump fpga", "fpga registers", " tb830r board FPGA errno(112)"},
        PartialDump{"--simulate meadow --sim-drop 9 dump run-status", "debug block second part", " *&* : lenght 01C0"},
        PartialDump{"--simulate rw820c --sim-drop 8 dump debug-info", "debug block", " *&* : lenght 0190"},
        PartialDump{"--simulate TB830R-1CH --sim-drop 12 dump registers --out r.txt", "fpga registers", ""}));

TEST(DumpFailures, TheCountsOfAFailedFpgaDump) {
  const auto j = json_of(run("--json --simulate TB830R-1CH --sim-drop 12 dump fpga"));
  EXPECT_EQ(j["failed_reads"], 112);
  EXPECT_EQ(j["reads"], 112);
}

// ---- Register files: an existing path only with --yes, a symbolic link never ----

TEST_F(Folder, RegisterFilesNeverOverwriteUnasked) {
  const fs::path target = dir_ / "keep.txt", link = dir_ / "link.txt", existing = dir_ / "old.txt";
  std::ofstream(target) << "precious";
  std::ofstream(existing) << "old";
  fs::create_symlink(target, link);
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string out;
    bool yes;
    int code;
  } cases[] = {{existing.string(), false, 2}, {link.string(), false, 2}, {link.string(), true, 2},
               {dir_.string(), true, 2},      {fifo.string(), true, 2},     {existing.string(), true, 0}};
  for (const Case& c : cases) {
    const ProcessResult r =
        run(std::string("--json --simulate TB830R-1CH ") + (c.yes ? "--yes " : "") + "dump registers --out " + c.out);
    EXPECT_EQ(r.code, c.code) << c.out << (c.yes ? " --yes" : "") << ": " << r.out;
  }
  EXPECT_EQ(slurp(target), "precious") << "the link's target is untouched";
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(slurp(existing).rfind(" board FPGA version : ", 0), 0u) << "replaced with --yes";
}

// ---- reg read: bytes the card did not return are marked, and counted ----

TEST(RegRead, AShortReplyIsMarkedAndCounted) {
  // Register 0xF8 on: the card has only eight registers left to return.
  ProcessResult r = run("--simulate TB830R-1CH reg read 0x10 0xf8 16", {}, true);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("f8: 00 00 00 00 00 00 00 00 -- -- -- -- -- -- -- --\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the card returned 8 of 16 bytes"), std::string::npos) << r.out;
  const auto j = json_of(run("--json --simulate TB830R-1CH reg read 0x10 0xf8 16"));
  EXPECT_EQ(j["returned"], 8);
  EXPECT_EQ(j["count"], 16);
  EXPECT_TRUE(j["data"][8].is_null());
  EXPECT_EQ(j["data"][7], 0);
}

// ---- Script slots: a skipped script is named, and the card's path reaches the script whole ----

TEST_F(Folder, ScriptsListNamesASkippedScript) {
  script("0-a.sh", "true\n");
  script("2-c.sh", "true\n");
  ProcessResult r = run("--simulate meadow scripts list", dir_.string(), true);
  EXPECT_NE(r.out.find("warning: qzscp/2-c.sh is not offered: no script numbered 1"), std::string::npos) << r.out;
  const auto j = json_of(run("--json --simulate meadow scripts list", dir_.string()));
  ASSERT_EQ(j["warnings"].size(), 1u);
  EXPECT_EQ(j["scripts"].size(), 1u);
}

TEST_F(Folder, TheInterfacePathKeepsItsBackslashes) {
  script("0-path.sh", "echo \"$KESTREL_PATH\"\n");
  const ProcessResult r = run("--simulate meadow scripts run 0", dir_.string());
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("\n\\\\?\\hid#vid_28e9&pid_6912"), std::string::npos) << r.out;
}

// ---- Answers for people ----

TEST(ForPeople, StatusPrintsPlainFields) {
  const ProcessResult r = run("--simulate meadow status");
  EXPECT_EQ(r.code, 0);
  for (const char* line : {"\nusbd          0x", "\nidle          ", "\nrunning       ", "\ndefault size  1920 X 1080:2\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;
  EXPECT_EQ(r.out.find("KESTREL - "), std::string::npos) << "no window title";
}

TEST(ForPeople, DefaultSizeByWidthAndHeight) {
  struct Case {
    const char* board;
    const char* value;
    const char* chosen;
  } cases[] = {{"TB610R-1CH", "1280x720", "1280 X 720 :8"}, {"TB610R-1CH", "800X600", " 800 X 600 :10"},
               {"TB610R-1CH", "8", "1280 X 720 :8"},        {"meadow", "3840x2160", "3840 X 2160:1"}};
  for (const Case& c : cases) {
    const auto j = json_of(run(std::string("--json --simulate ") + c.board + " config default-size " + c.value));
    EXPECT_EQ(j["ok"], true) << c.value;
    EXPECT_EQ(j["default_size"], c.chosen) << c.value;
  }
  const ProcessResult r = run("--simulate TB610R-1CH config default-size 1x1", {}, true);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("1920 X 1080:1"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("NONE"), std::string::npos) << "an entry the card refuses is not offered";
}

TEST(ForPeople, TheDefaultSizeBoxOfEachBoardShowsItsSize) {
  for (const char* board : {"meadow", "rw820c"}) {
    const auto j = json_of(run(std::string("--json --simulate ") + board + " status"));
    EXPECT_EQ(j["default_size"], "1920 X 1080:" + std::string(board == std::string("meadow") ? "2" : "1")) << board;
  }
}

struct UsageCase {
  const char* args;
  const char* says;
};

class Usage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(Usage, SaysWhatWasMeant) {
  const ProcessResult r = run(std::string("--simulate meadow ") + GetParam().args, {}, true);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find(GetParam().says), std::string::npos) << r.out;
  const auto j = json_of(run(std::string("--json --simulate meadow ") + GetParam().args));
  EXPECT_NE(j["error"]["message"].get<std::string>().find(GetParam().says), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, Usage,
    ::testing::Values(UsageCase{"statsu", "did you mean status?"}, UsageCase{"stauts", "did you mean status?"},
                      UsageCase{"dump fpag", "did you mean dump fpga?"},
                      UsageCase{"scripts lsit", "did you mean scripts list?"},
                      UsageCase{"input", "input needs an index, auto, lock or unlock"},
                      UsageCase{"dump", "dump needs run-status, debug-info, version, fpga or registers"},
                      UsageCase{"dump registers", "registers needs --out FILE"},
                      UsageCase{"reg read 0x10", "read needs a device address, a first register and a count"},
                      UsageCase{"config", "config needs half-rate on|off, or default-size"}));

TEST(ForPeople, HelpSpeaksOfWhatCommandsDoNotOfTheirIds) {
  const std::regex ids("(command|button|control code|code) [0-9]{2,}|W[01] bits");
  for (const char* cmd : {"", "status", "dump", "dump registers", "debug", "hdbc", "scripts", "scripts run", "config",
                          "reg read", "monitor", "log"}) {
    const ProcessResult r = run(std::string(cmd) + " --help");
    EXPECT_EQ(r.code, 0) << cmd;
    std::smatch m;
    EXPECT_FALSE(std::regex_search(r.out, m, ids)) << cmd << ": " << m.str();
  }
  EXPECT_NE(run("scripts --help").out.find("N-name.sh"), std::string::npos);
  EXPECT_NE(run("scripts run --help").out.find("KESTREL_SLOT"), std::string::npos);
}

// ---- The simulated FPGA shows the simulated signal: 1920 x 1080 at 60, YUV422 ----

struct FpgaCase {
  const char* board;
  std::vector<std::string> lines;
};

class SimFpga : public ::testing::TestWithParam<FpgaCase> {};

TEST_P(SimFpga, DumpShowsTheSignal) {
  const ProcessResult r = run(std::string("--simulate ") + GetParam().board + " dump fpga");
  EXPECT_EQ(r.code, 0);
  for (const std::string& l : GetParam().lines) EXPECT_NE(r.out.find("\r\n" + l + "\r\n"), std::string::npos) << l << "\n" << r.out;
}

const std::string kView = " view : 1920 x 1080 framerate 0:60";
const std::string kGeometry = " data : config(1:1920x1080) total:000FD200 lpkt:0FFD nref:00FD tail:04F7 xkey:00FD:04F7";
const std::string kCounters = " bsize: 4000 dlen: 000FD200 bfcnt(0FFD:0FFD) fbnum(00FD:00FD) sblen(04F7:04F7)";

INSTANTIATE_TEST_SUITE_P(
    Boards, SimFpga,
    ::testing::Values(
        FpgaCase{"TB610K-1CH", {kView, " scout: 00438780", " deno : 00000000 3d denoise", kGeometry, kCounters}},
        FpgaCase{"TB610R-1CH", {kView, " rate : 0000003C", kGeometry, kCounters}},
        FpgaCase{"TB850V-1CH", {kView, " scout: 04380780", kGeometry, kCounters}},
        FpgaCase{"TB830R-1CH", {kView, " scout: 00438780", " deno : 00000000 3d denoise"}},
        FpgaCase{"rw820c", {kView, " scout: 00438780"}},
        FpgaCase{"TB720V-2CH",
                 {" one  : 1920 x 1080 framerate 60:0", " two  : 1920 x 1080 framerate 60:0",
                  " scout: 00438780 [3E]  00438780 [7E]", " TXEN : 03 [2E] {b0:ch0:{1:on, 0:off}, b1:ch1:{1:on, 0:off}}"}}));

}  // namespace
