// Script slots in the window: loaded by its constructor from ./qzscp, run by the script commands
// under bash with the attached card in the environment, their output and end in the log.
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "card/diagnostics.h"
#include "diag_window_fixture.h"
#include "../log/log_capture.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using sim::BoardModel;

constexpr int kScriptTimeoutMs = 20'000;  // real time: the script is a real process

class Scripts : public test::DiagWindow {
 protected:
  void SetUp() override {
    DiagWindow::SetUp();
    std::string tmpl = ::testing::TempDir() + "/scripts_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    fs::create_directories(root_ / "qzscp");
    script("0-show card.sh",
           "printf 'node=%s path=%s slot=%s\\n' \"$KESTREL_NODE\" \"$KESTREL_PATH\" \"$KESTREL_SLOT\"\n"
           "echo to-stderr >&2\n");
    script("1-fail.sh", "echo failing\nexit 3\n");
    cwd_ = fs::current_path();
    fs::current_path(root_);
  }
  void TearDown() override {
    window_.reset();  // the window's runner ends before the folder goes
    fs::current_path(cwd_);
    fs::remove_all(root_);
    DiagWindow::TearDown();
  }
  void script(const std::string& name, const std::string& body) { std::ofstream((root_ / "qzscp" / name).string()) << body; }

  fs::path root_, cwd_;
};

TEST_F(Scripts, TheWindowLoadsThemAtConstruction) {
  EXPECT_EQ(window().card().script_names(), (std::vector<std::string>{"show card", "fail"}));
  EXPECT_EQ(window().card().diag().scripts.owner, &window().card());
  EXPECT_EQ(window().card().diag().scripts.slot(1)->path, "qzscp/1-fail.sh");
}

TEST_F(Scripts, RunEndToEndWithTheCardInItsEnvironment) {
  attach(BoardModel::Meadow);
  const qhidev* card = window().card().link().current();
  ASSERT_NE(card, nullptr);
  test::LogCapture log;
  const uint32_t id = window().card().run_script(0);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(window().card().diag().runner.wait(id, kScriptTimeoutMs), 0);
  const std::string text = log.text();
  EXPECT_NE(text.find("node=" + card->node + " path=" + card->path + " slot=0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("to-stderr\n"), std::string::npos);
  EXPECT_NE(text.find(" *&* : script 0 show card started pid("), std::string::npos);
  EXPECT_NE(text.find(" *&* : script 0 show card ended exit(0)\r\n"), std::string::npos);
  EXPECT_EQ(window().card().diag().runner.running(), 0u);
}

// Closing the window (the runner going) ends a script still running, and what it started.
TEST_F(Scripts, ClosingEndsTheGroupsOfRunningScripts) {
  script("2-forever.sh", "echo $$ > group\nsleep 1000 &\nsleep 1000\n");
  window_.reset();  // a window that finds the new script at its construction
  const uint32_t id = window().card().run_script(2);
  ASSERT_NE(id, 0u);
  for (int i = 0; i < 250 && !fs::exists(root_ / "group"); ++i) usleep(20'000);
  std::ifstream in((root_ / "group").string());
  pid_t group = 0;
  ASSERT_TRUE(in >> group);
  usleep(200'000);
  EXPECT_EQ(kill(-group, 0), 0) << "the script runs";
  window_.reset();
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i, usleep(20'000)) gone = kill(-group, 0) != 0 && errno == ESRCH;
  EXPECT_TRUE(gone);
}

TEST_F(Scripts, AFailingScriptIsReported) {
  attach(BoardModel::TB610R_1CH);
  test::LogCapture log;
  const uint32_t id = window().card().run_script(1);
  ASSERT_EQ(window().card().diag().runner.wait(id, kScriptTimeoutMs), 3);
  EXPECT_NE(log.text().find("failing\n"), std::string::npos);
  EXPECT_NE(log.text().find(" err : script 1 fail failed exit(3)\r\n"), std::string::npos) << log.text();
}

TEST_F(Scripts, ScriptCommandsRunTheirSlotAndEmptySlotsDoNothing) {
  attach(BoardModel::TB610R_1CH);
  test::LogCapture log;
  EXPECT_TRUE(window().on_command(ids::ID_SCRIPT_FIRST + 1));
  ASSERT_EQ(window().card().diag().runner.wait(1, kScriptTimeoutMs), 3);  // the runner's first run
  EXPECT_TRUE(window().on_command(ids::ID_SCRIPT_FIRST + 2));
  EXPECT_TRUE(window().on_command(ids::ID_SCRIPT_LAST));
  EXPECT_EQ(window().card().diag().runner.wait(2, 0), std::nullopt);  // nothing further started
  EXPECT_EQ(window().card().run_script(2), 0u);
}

TEST_F(Scripts, AScriptFileGoneSinceTheScanFailsInTheLog) {
  attach(BoardModel::TB610R_1CH);
  window();
  fs::remove(root_ / "qzscp" / "1-fail.sh");
  test::LogCapture log;
  const uint32_t id = window().card().run_script(1);
  ASSERT_NE(id, 0u);
  const auto code = window().card().diag().runner.wait(id, kScriptTimeoutMs);
  ASSERT_TRUE(code.has_value());
  EXPECT_NE(*code, 0);
  EXPECT_NE(log.text().find(" err : script 1 fail failed exit("), std::string::npos) << log.text();
}

}  // namespace
}  // namespace kestrel
