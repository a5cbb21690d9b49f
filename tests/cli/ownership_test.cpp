// One card, several programs: kestrelctl processes that share a simulated card's claim stand for
// the programs of one machine on one card. An upgrade holds the card: every other program sends
// nothing and says who holds it. And nothing from outside cuts a transfer: a hung-up terminal, a
// closed pipe.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/kestrelctl_run.h"
#include "support/test_images.h"

namespace {

namespace fs = std::filesystem;
using kestrel::test::finish_within;
using kestrel::test::ProcessResult;
using kestrel::test::Running;
using kestrel::test::start_kestrelctl;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Output reports of `id` at the HID download's 261 bytes in a --sim-report-log file.
size_t download_reports(const std::string& log, const char* id) {
  std::istringstream in(log);
  size_t n = 0;
  for (std::string line; std::getline(in, line);)
    if (line.rfind(std::string("output ") + id + " ", 0) == 0 && line.size() == 6 + 261 * 3) ++n;
  return n;
}

class Ownership : public ::testing::Test {
 protected:
  void SetUp() override {
    locks_ = dir_.path() + "/locks";
    fs::create_directories(locks_);
    // Every kestrelctl of this test inherits it: their claims meet here and nowhere else.
    setenv("KESTREL_LOCK_DIR", locks_.c_str(), 1);
  }
  void TearDown() override { unsetenv("KESTREL_LOCK_DIR"); }

  // Waits until some program has marked the card as upgraded; its text.
  std::string wait_for_upgrade_mark() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      for (const auto& e : fs::directory_iterator(locks_)) {
        const std::string text = slurp(e.path());
        if (text.rfind("upgrade ", 0) == 0) return text;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
  }

  kestrel::test::TempDir dir_;
  std::string locks_;
};

TEST_F(Ownership, AnotherProgramsUpgradeKeepsEveryOtherProgramOff) {
  const std::string bit = dir_.write("logic.bin", kestrel::test::fpga_bitstream(400000));
  const std::string img = dir_.write("fw.img", kestrel::test::with_trailer(kestrel::test::usb_image(kestrel::test::tagged("meadow", 65536))));
  const std::string card = "--sim-shared-claim one --simulate meadow ";
  Running first = start_kestrelctl(card + "--sim-page-ms 5 --yes upgrade fpga " + bit);
  ASSERT_GT(first.pid, 0);
  const std::string mark = wait_for_upgrade_mark();
  ASSERT_EQ(mark, "upgrade kestrelctl " + std::to_string(first.pid) + "\n");

  const std::string busy = "card busy: an upgrade is under way (kestrelctl, pid " + std::to_string(first.pid) + ")";
  for (const std::string& args : {std::string("input 1"), std::string("config half-rate on"), std::string("status"),
                                  "--yes --force upgrade firmware " + img, "--yes upgrade fpga " + bit}) {
    SCOPED_TRACE(args);
    const ProcessResult r = kestrel::test::run_kestrelctl(card + "--trace " + args, {}, true);
    EXPECT_EQ(r.code, 5) << r.out;
    EXPECT_NE(r.out.find(busy), std::string::npos) << r.out;
    // Nothing reached the card: the trace shows no report sent.
    EXPECT_EQ(r.out.find("> output"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("> feature"), std::string::npos) << r.out;
  }
  std::string out;
  EXPECT_EQ(finish_within(first, 60000, out), 0) << out;
  EXPECT_NE(out.find("upgrade OK!"), std::string::npos) << out;
  // Free again: the card answers the next program.
  EXPECT_EQ(kestrel::test::run_kestrelctl(card + "input 1").code, 0);
}

// A hung-up terminal (SIGHUP) mid-transfer: the transfer ends, then kestrelctl does (129); every
// page reached the card.
TEST_F(Ownership, HangUpDoesNotCutATransfer) {
  const uint32_t size = 200000;
  const std::string bit = dir_.write("logic.bin", kestrel::test::fpga_bitstream(size));
  const std::string log = dir_.path() + "/reports.log";
  Running r = start_kestrelctl("--simulate TB610M-1CH --sim-page-ms 2 --sim-report-log " + log + " --yes upgrade fpga " + bit);
  ASSERT_GT(r.pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  kill(r.pid, SIGHUP);
  std::string out;
  EXPECT_EQ(finish_within(r, 60000, out), 129) << out;
  EXPECT_NE(out.find("upgrade OK!"), std::string::npos) << out;
  EXPECT_EQ(download_reports(slurp(log), "04"), 1 + (size + 255) / 256);  // size page, then every data page
}

// `kestrelctl upgrade ... 2>&1 | head -c 1`: the reader goes after one byte, and the writes that
// follow are lost, not the transfer.
TEST_F(Ownership, AClosedPipeDoesNotCutATransfer) {
  const uint32_t size = 100000;
  const std::string bit = dir_.write("logic.bin", kestrel::test::fpga_bitstream(size));
  const std::string log = dir_.path() + "/reports.log";
  const std::string cmd = "bash -c '" + std::string(KESTRELCTL) + " --simulate TB610M-1CH --sim-page-ms 1 --sim-report-log " +
                          log + " --yes upgrade fpga " + bit + " 2>&1 | head -c 1 >/dev/null; echo rc=${PIPESTATUS[0]}'";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[256] = {};
  const size_t n = fread(buf, 1, sizeof buf - 1, p);
  pclose(p);
  EXPECT_EQ(std::string(buf, n), "rc=0\n");
  EXPECT_EQ(download_reports(slurp(log), "04"), 1 + (size + 255) / 256);
}

}  // namespace
