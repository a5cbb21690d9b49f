// The host's claim on a card between programs: each program here is a child process, so the
// locks are the kernel's, as between kestrelctl and the window.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/card_claim.h"

namespace kestrel::platform {
namespace {

// Another program: it takes the claim (for an upgrade or one long transaction), says so on a
// pipe, and keeps it until it is told to go or is killed.
class OtherProgram {
 public:
  OtherProgram(const std::string& key, bool upgrade) {
    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      auto claim = CardClaim::of(key);
      const bool ok = upgrade ? claim->take_exclusive() : claim->begin_transaction();
      char c = ok ? 'y' : 'n';
      if (write(ready[1], &c, 1) != 1) _exit(2);
      if (read(go[0], &c, 1) < 0) _exit(2);
      if (upgrade) claim->release_exclusive();
      else claim->end_transaction();
      _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    go_ = go[1];
    char c = 0;
    took_ = read(ready[0], &c, 1) == 1 && c == 'y';
    close(ready[0]);
  }
  ~OtherProgram() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (go_ >= 0) close(go_);
  }
  bool took() const { return took_; }
  pid_t pid() const { return pid_; }
  void release() {
    char c = 'g';
    if (write(go_, &c, 1) == 1) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void die() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int go_ = -1;
  bool took_ = false;
};

class CardClaimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "/kestrel_claim_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    setenv("KESTREL_LOCK_DIR", dir_.c_str(), 1);
    // Each test its own card: a claim this process opened before a fork would be shared with
    // the child instead of contended.
    key_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void TearDown() override {
    unsetenv("KESTREL_LOCK_DIR");
    std::filesystem::remove_all(dir_);
  }
  std::string dir_, key_;
};

TEST_F(CardClaimTest, AnotherProgramsUpgradeRefusesEverythingAndIsNamed) {
  OtherProgram other(key_, true);
  ASSERT_TRUE(other.took());
  auto claim = CardClaim::of(key_);
  ClaimHolder busy;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(claim->begin_transaction(&busy));
  EXPECT_FALSE(claim->take_exclusive(&busy));
  // Refused at once, not after the wait for a transaction.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
  EXPECT_EQ(busy.pid, other.pid());
  EXPECT_FALSE(busy.program.empty());
  EXPECT_EQ(busy.text(), "an upgrade is under way (" + busy.program + ", pid " + std::to_string(other.pid()) + ")");
  ASSERT_TRUE(claim->upgrade_elsewhere().has_value());
  EXPECT_EQ(claim->upgrade_elsewhere()->pid, other.pid());

  other.release();
  EXPECT_FALSE(claim->upgrade_elsewhere().has_value());
  EXPECT_TRUE(claim->begin_transaction());
  claim->end_transaction();
}

// The kernel drops the lock of a program that dies; its mark is then stale and names nobody.
TEST_F(CardClaimTest, AProgramThatDiesMidUpgradeLeavesTheCardFree) {
  OtherProgram other(key_, true);
  ASSERT_TRUE(other.took());
  other.die();
  auto claim = CardClaim::of(key_);
  EXPECT_FALSE(claim->upgrade_elsewhere().has_value());
  ASSERT_TRUE(claim->begin_transaction());
  claim->end_transaction();
  ASSERT_TRUE(claim->take_exclusive());
  claim->release_exclusive();
}

// Another program's transaction is waited for, not refused; one that never ends is refused
// without naming an upgrade.
TEST_F(CardClaimTest, AnotherProgramsTransactionIsWaitedFor) {
  auto claim_later = [this] { return CardClaim::of(key_); };
  {
    OtherProgram other(key_, false);
    ASSERT_TRUE(other.took());
    EXPECT_FALSE(claim_later()->upgrade_elsewhere().has_value());
    ClaimHolder busy{"x", 1};
    EXPECT_FALSE(claim_later()->begin_transaction(&busy));  // held past the wait
    EXPECT_EQ(busy.pid, 0);
  }
  OtherProgram other(key_, false);
  ASSERT_TRUE(other.took());
  auto claim = claim_later();
  // The other program lets go while this one waits.
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    other.release();
  });
  EXPECT_TRUE(claim->take_exclusive());
  releaser.join();
  claim->release_exclusive();
}

// Within one program the claim counts: the upgrade's own transactions pass, and the card is
// free again only when the last one ends.
TEST_F(CardClaimTest, OneProgramsOwnTransactionsPassItsUpgrade) {
  auto claim = CardClaim::of(key_);
  ASSERT_TRUE(claim->take_exclusive());
  EXPECT_TRUE(claim->begin_transaction());
  EXPECT_FALSE(claim->upgrade_elsewhere().has_value());
  claim->end_transaction();
  claim->release_exclusive();
  claim.reset();  // closed, so that the next program is a stranger to it
  OtherProgram other(key_, true);
  EXPECT_TRUE(other.took());
}

}  // namespace
}  // namespace kestrel::platform
