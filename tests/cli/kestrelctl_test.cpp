// kestrelctl as a process: simulated cards of several models, JSON validated, and the card's
// report log (written by the hidden --sim-report-log) checked for what each setting sent.
#include <gtest/gtest.h>

#include "support/kestrelctl_run.h"
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kestrel::test::json_of;
using kestrel::test::ProcessResult;

ProcessResult run(const std::string& args) { return kestrel::test::run_kestrelctl(args); }

std::string temp_path(const std::string& name) { return ::testing::TempDir() + "/kestrelctl_" + name; }

// The framed requests of the report log: one vector of bytes per output report.
std::vector<std::vector<uint8_t>> outputs(const std::string& log) {
  std::ifstream in(log);
  std::vector<std::vector<uint8_t>> out;
  for (std::string line; std::getline(in, line);) {
    std::istringstream ss(line);
    std::string kind;
    ss >> kind;
    if (kind != "output") continue;
    std::vector<uint8_t> bytes;
    for (std::string h; ss >> h;) bytes.push_back(static_cast<uint8_t>(std::stoul(h, nullptr, 16)));
    out.push_back(bytes);
  }
  return out;
}

std::vector<std::vector<uint8_t>> payloads(const std::string& log, uint8_t cmd) {
  std::vector<std::vector<uint8_t>> p;
  for (const auto& r : outputs(log))
    if (r.size() >= 8 && (r[0] == 11 || r[0] == 10) && r[2] == cmd) p.emplace_back(r.begin() + 8, r.begin() + 8 + (r[4] | (r[5] << 8)));
  return p;
}

class StatusByModel : public ::testing::TestWithParam<const char*> {};

TEST_P(StatusByModel, JsonCarriesTheDocumentedFields) {
  const ProcessResult r = run(std::string("--simulate ") + GetParam() + " --json status");
  EXPECT_EQ(r.code, 0);
  const auto j = json_of(r);
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j["board"], GetParam());
  for (const char* key : {"version", "link_flags", "signal_format", "title", "input", "color_format", "default_size",
                          "output_port", "usbd", "idle_percent", "running_seconds", "busy", "signal"})
    EXPECT_TRUE(j.contains(key)) << key;
  EXPECT_TRUE(j["input"].contains("locked"));
  EXPECT_EQ(j["title"].get<std::string>().rfind("KESTREL - usbd(", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Models, StatusByModel, ::testing::Values("meadow", "rw820c", "TB610R-1CH", "TB850V-1CH"));

TEST(Kestrelctl, ListNamesTheCard) {
  const ProcessResult r = run("--simulate meadow --json list");
  EXPECT_EQ(r.code, 0);
  const auto j = json_of(r);
  ASSERT_EQ(j["cards"].size(), 1u);
  // Prefix 7 names only "pid_69": the rest of the product ID stays in the name.
  EXPECT_EQ(j["cards"][0]["name"], "USB Video - 12&mi_02#7&2a3b&0&0000");
  EXPECT_EQ(j["cards"][0]["node"], "sim:0");
}

// A card named by its USB port path; a port with no card on it is a usage error that says what
// is attached.
TEST(Kestrelctl, CardByPortPath) {
  ProcessResult r = run("--simulate meadow --json list");
  ASSERT_EQ(r.code, 0);
  auto j = json_of(r);
  EXPECT_EQ(j["cards"][0]["port"], "1-1");
  EXPECT_EQ(j["cards"][0]["serial"], "KSIM0001");
  EXPECT_EQ(j["cards"][0]["product"], "USB Video");

  r = run("--simulate meadow list");
  EXPECT_NE(r.out.find("\n   board meadow  port 1-1  serial KSIM0001  product USB Video\n"), std::string::npos) << r.out;

  r = run("--simulate meadow --json --card 1-1 status");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(json_of(r)["board"], "meadow");

  r = run("--simulate meadow --json --card 1-7 status");
  EXPECT_EQ(r.code, 2);
  j = json_of(r);
  EXPECT_EQ(j["ok"], false);
  EXPECT_EQ(j["error"]["message"], "no card on port 1-7; attached: 0 port 1-1 node sim:0");
}

// Cards of one model have alike names: list tells them apart by the board each card's status
// names, its USB port and its serial, as text and as JSON.
TEST(Kestrelctl, ListShowsBoardPortAndSerialOfEachCard) {
  ProcessResult r = run("--simulate meadow,TB610M-1CH,TB610M-1CH --json list");
  ASSERT_EQ(r.code, 0) << r.out;
  const auto j = json_of(r);
  ASSERT_EQ(j["cards"].size(), 3u);
  const char* boards[] = {"meadow", "TB610M-1CH", "TB610M-1CH"};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const auto& c = j["cards"][i];
    EXPECT_EQ(c["board"], boards[i]);
    EXPECT_EQ(c["port"], "1-" + std::to_string(i + 1));
    EXPECT_EQ(c["serial"], "KSIM000" + std::to_string(i + 1));
    EXPECT_EQ(c["node"], "sim:" + std::to_string(i));
  }

  r = run("--simulate meadow,TB610M-1CH,TB610M-1CH list");
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("\n   board TB610M-1CH  port 1-2  serial KSIM0002  product "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n   board TB610M-1CH  port 1-3  serial KSIM0003  product "), std::string::npos) << r.out;
}

// The English of the Chinese texts: the whole table, one verdict, a text of several lines.
TEST(Kestrelctl, TextsGivesTheEnglishEquivalents) {
  ProcessResult r = run("--simulate meadow texts");
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("强制升级\tForce upgrade\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("运行状态查询\tRun status query\n"), std::string::npos) << r.out;

  r = run("--json texts ' 固件信息与目标板不匹配, 不可升级'");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(json_of(r)["en"], " Firmware does not match the target board; must not upgrade");

  r = run("texts \"$(printf ' 固件信息:\\n TB610K-1CH:V2\\n 谨慎升级')\"");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, " Firmware info:\n TB610K-1CH:V2\n Upgrade with care\n");
}

TEST(Kestrelctl, ErrorsAreJsonToo) {
  struct Case {
    std::string args;
    int code;
  } cases[] = {{"--simulate nosuchboard --json status", 2},
               {"--simulate meadow --json input 9", 2},
               {"--simulate meadow --json --card 3 status", 3},
               {"--simulate meadow --json frobnicate", 2},
               {"--simulate TB610M-1CH --json port 1", 1}};
  for (const auto& c : cases) {
    const ProcessResult r = run(c.args);
    EXPECT_EQ(r.code, c.code) << c.args;
    const auto j = json_of(r);
    EXPECT_EQ(j["ok"], false) << c.args;
    EXPECT_TRUE(j.contains("error")) << c.args;
  }
}

// The program-wide options where users type them: after the subcommand, as the hints read
// ("add --yes", "--force goes ahead anyway").
TEST(Kestrelctl, ProgramOptionsAfterTheSubcommand) {
  const std::string bit = temp_path("after.bin");
  {
    std::ofstream f(bit, std::ios::binary);
    const unsigned char sync[] = {0xAA, 0x99, 0x55, 0x66};
    f.write(reinterpret_cast<const char*>(sync), 4);
    f << std::string(4092, '\x11');
  }
  for (const std::string& args : std::vector<std::string>{"upgrade fpga " + bit + " --simulate meadow --yes --json",
                                 "status --json --simulate TB610R-1CH --card 0", "input 1 --simulate meadow --json",
                                 "dump version --json --simulate meadow"}) {
    const ProcessResult r = run(args);
    EXPECT_EQ(r.code, 0) << args << "\n" << r.out;
    EXPECT_EQ(json_of(r)["ok"], true) << args;
  }
}

TEST(Kestrelctl, SettingsReachTheCard) {
  const std::string log = temp_path("settings.log");
  struct Case {
    std::string args;
    uint8_t cmd;
    std::vector<uint8_t> payload;
  } cases[] = {
      {"input 1", 10, {0x41, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"input auto", 10, {0x80, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"port 2", 15, {6, 2, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const ProcessResult r = run("--simulate meadow --sim-report-log " + log + " " + c.args);
    EXPECT_EQ(r.code, 0) << c.args;
    const auto p = payloads(log, c.cmd);
    ASSERT_FALSE(p.empty()) << c.args;
    EXPECT_EQ(p.back(), c.payload) << c.args;
  }
  // Half rate and default size are stored in the configuration record (command 22).
  ProcessResult r = run("--simulate TB610R-1CH --sim-report-log " + log + " config default-size \"1280 X 720\"");
  EXPECT_EQ(r.code, 0);
  auto puts = payloads(log, 22);
  ASSERT_EQ(puts.size(), 1u);
  EXPECT_EQ(puts[0][1], 8);
  r = run("--simulate TB610R-1CH --sim-report-log " + log + " config half-rate on");
  EXPECT_EQ(r.code, 0);
  puts = payloads(log, 22);
  ASSERT_EQ(puts.size(), 1u);
  EXPECT_EQ(puts[0][0], 1);
}

TEST(Kestrelctl, PropertiesAndAudioPolicyReachTheCard) {
  const std::string log = temp_path("props.log");
  ProcessResult r = run("--simulate meadow --sim-report-log " + log + " props set brightness=-20");
  EXPECT_EQ(r.code, 0);
  // The move goes out as one block with mask 0x0001 and brightness 0xEC, then OK stores it.
  const auto blocks = payloads(log, 13);
  ASSERT_GE(blocks.size(), 2u);
  EXPECT_EQ(blocks.back()[0], 0x01);
  EXPECT_EQ(blocks.back()[2], 0xEC);
  const auto stores = payloads(log, 10);
  ASSERT_FALSE(stores.empty());
  EXPECT_EQ(stores.back()[0], 0x01);
  EXPECT_EQ(stores.back()[1], 0x80);

  r = run("--simulate meadow --json props set brightness=999");
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(json_of(r).contains("error"));

  r = run("--simulate meadow --json audio set 0");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(json_of(r)["audio_policy"]["index"], 0);
}

TEST(Kestrelctl, RegisterReadPrintsTheBytes) {
  const ProcessResult r = run("--simulate TB610R-1CH --json reg read 0x20 0xea 2");
  EXPECT_EQ(r.code, 0);
  const auto j = json_of(r);
  ASSERT_EQ(j["data"].size(), 2u);
  EXPECT_EQ(j["data"][0], 0x20);  // the receiver's identity register
}

}  // namespace
