// The window beside another program that upgrades the same card: it says so in the title, keeps
// its controls off and sends nothing, and picks the card up again when the other program is done.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/ids.h"
#include "platform/card_claim.h"
#include "platform/claiming_backend.h"
#include "window_fixture.h"

namespace kestrel {
namespace {

class BusyElsewhere : public test::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    std::string tmpl = ::testing::TempDir() + "/kestrel_busy_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    locks_ = tmpl;
    setenv("KESTREL_LOCK_DIR", locks_.c_str(), 1);
    platform::set_backend(&claimed_);
  }
  void TearDown() override {
    WindowTest::TearDown();
    if (other_ > 0) {
      kill(other_, SIGKILL);
      waitpid(other_, nullptr, 0);
    }
    unsetenv("KESTREL_LOCK_DIR");
    std::filesystem::remove_all(locks_);
  }
  // Another program, waiting for a byte on a pipe to take the card for an upgrade and a second
  // byte to let it go. Started before this process opens the card's claim, so that it is a
  // stranger to it.
  void start_other(const std::string& key) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int ack[2];
    ASSERT_EQ(pipe(ack), 0);
    other_ = fork();
    if (other_ == 0) {
      close(fds[1]);
      char c;
      if (read(fds[0], &c, 1) != 1) _exit(1);
      auto claim = platform::CardClaim::of(key);
      c = claim->take_exclusive() ? 'y' : 'n';
      if (write(ack[1], &c, 1) != 1) _exit(1);
      if (read(fds[0], &c, 1) != 1) _exit(1);
      claim->release_exclusive();
      if (write(ack[1], &c, 1) != 1) _exit(1);
      _exit(0);
    }
    close(fds[0]);
    close(ack[1]);
    to_other_ = fds[1];
    from_other_ = ack[0];
  }
  char tell_other() {
    char c = 'g';
    EXPECT_EQ(write(to_other_, &c, 1), 1);
    EXPECT_EQ(read(from_other_, &c, 1), 1);
    return c;
  }
  void tick_a_second() {
    for (int i = 0; i < 110; ++i) {
      clock_.advance_ns(10'000'000);
      window().session().on_timer(CardSession::kTimerId);
    }
  }

  platform::ClaimingBackend claimed_{backend_, [](const std::string& node) { return "window-" + node; }};
  std::string locks_;
  pid_t other_ = -1;
  int to_other_ = -1, from_other_ = -1;
};

TEST_F(BusyElsewhere, TheWindowStandsBackWhileAnotherProgramUpgrades) {
  start_other("window-sim:0");
  auto card = add(sim::BoardModel::TB610R_1CH);
  window().on_init_dialog();
  ASSERT_NE(list_.current, nullptr);
  tick_a_second();
  const std::string own_title = view_.title();
  ASSERT_EQ(own_title.rfind("KESTREL - usbd", 0), 0u) << own_title;

  ASSERT_EQ(tell_other(), 'y');
  card->clear_reports();
  tick_a_second();
  tick_a_second();
  EXPECT_TRUE(card->reports().empty());
  EXPECT_NE(view_.title().find("pid " + std::to_string(other_) + ")"), std::string::npos) << view_.title();
  EXPECT_FALSE(view_.enabled(ids::BTN_USB_FIRMWARE));

  ASSERT_EQ(tell_other(), 'g');
  tick_a_second();
  EXPECT_FALSE(card->reports().empty());
  EXPECT_EQ(view_.title().rfind("KESTREL - usbd", 0), 0u) << view_.title();
  EXPECT_TRUE(view_.enabled(ids::BTN_USB_FIRMWARE));
}

}  // namespace
}  // namespace kestrel
