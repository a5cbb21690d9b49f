// Opening nodes and the interrupt-IN read of the hidraw backend, under a fixture root. The read
// runs on a pseudo-terminal standing in for the node: it has what the read relies on (poll,
// a read per arrival, a hang-up when the other side goes away), which a plain file has not.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>

#include "platform/hid_tree.h"
#include "platform/hidraw_backend.h"

namespace kestrel::platform {
namespace {

using namespace std::chrono_literals;

TEST(KernelRelease, ReportIoctlsNeed511) {
  EXPECT_TRUE(kernel_has_report_ioctls("5.11.0"));
  EXPECT_TRUE(kernel_has_report_ioctls("6.1.0-13-amd64"));
  EXPECT_TRUE(kernel_has_report_ioctls("10.0"));
  EXPECT_FALSE(kernel_has_report_ioctls("5.10.209-1"));
  EXPECT_FALSE(kernel_has_report_ioctls("4.19.0"));
  EXPECT_TRUE(kernel_has_report_ioctls("unparsable")) << "given the benefit of the doubt";
}

class HidrawOpen : public ::testing::Test {
 protected:
  void SetUp() override { node_ = tree_.add(test::FakeHid{}); }
  test::FakeHidTree tree_;
  HidrawBackend backend_{test::fixture_options(tree_.root())};
  std::string node_;
};

TEST_F(HidrawOpen, QueryOnlyNeedsNoPermissionAndRefusesReports) {
  ASSERT_EQ(::chmod(node_.c_str(), 0), 0);
  OpenFailure why = OpenFailure::Other;
  auto d = backend_.open_checked(node_, Access::QueryOnly, why);
  ASSERT_TRUE(d);
  EXPECT_EQ(why, OpenFailure::None);
  std::array<uint8_t, 265> r{9};
  EXPECT_FALSE(d->set_output_report(r));
  EXPECT_FALSE(d->get_input_report(r));
  EXPECT_FALSE(d->set_feature_report(r));
  EXPECT_FALSE(d->get_feature_report(r));
  size_t got = 1;
  EXPECT_EQ(d->read_interrupt(r, 0, got), ReadStatus::Error);
  EXPECT_EQ(got, 0u);
  d->cancel_read();  // nothing to wake; must not fail
}

TEST_F(HidrawOpen, MissingNodeIsNotFound) {
  for (Access a : {Access::QueryOnly, Access::ReadWrite}) {
    OpenFailure why = OpenFailure::None;
    std::string error;
    EXPECT_FALSE(backend_.open_checked(tree_.root() + "/dev/hidraw9", a, why, &error));
    EXPECT_EQ(why, OpenFailure::NotFound);
    EXPECT_NE(error.find("hidraw9"), std::string::npos) << error;
  }
}

TEST_F(HidrawOpen, NodeWithoutPermissionSaysSo) {
  ASSERT_EQ(::chmod(node_.c_str(), 0600), 0);
  // Root opens anything: check as an ordinary user.
  const bool as_root = ::geteuid() == 0;
  if (as_root) {
    ASSERT_EQ(::seteuid(65534), 0);
  }
  OpenFailure why = OpenFailure::None;
  std::string error;
  auto d = backend_.open_checked(node_, Access::ReadWrite, why, &error);
  if (as_root) {
    ASSERT_EQ(::seteuid(0), 0);
  }
  EXPECT_FALSE(d);
  EXPECT_EQ(why, OpenFailure::Permission);
  EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
}

TEST_F(HidrawOpen, KernelBefore511CannotTalkToACard) {
  HidrawBackend old(test::fixture_options(tree_.root(), "5.10.0-28-amd64"));
  OpenFailure why = OpenFailure::None;
  std::string error;
  EXPECT_FALSE(old.open_checked(node_, Access::ReadWrite, why, &error));
  EXPECT_EQ(why, OpenFailure::Unsupported);
  EXPECT_NE(error.find("5.10.0-28-amd64"), std::string::npos) << error;
  EXPECT_NE(error.find("Linux 5.11 or later"), std::string::npos) << error;
  EXPECT_TRUE(old.open_checked(node_, Access::QueryOnly, why)) << "listing still works";
}

TEST_F(HidrawOpen, ReadWriteOpensTheNode) {
  auto d = backend_.open(node_, Access::ReadWrite);
  ASSERT_TRUE(d);
  EXPECT_FALSE(d->set_input_buffers(272)) << "hidraw's queue is fixed";
  // A plain file knows no hidraw ioctl: the calls fail instead of pretending.
  std::array<uint8_t, 63> r{10};
  EXPECT_FALSE(d->set_output_report(r));
  EXPECT_FALSE(d->get_feature_report(r));
}

class HidrawRead : public ::testing::Test {
 protected:
  void SetUp() override {
    int slave = -1;
    ASSERT_EQ(::openpty(&master_, &slave, nullptr, nullptr, nullptr), 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(slave, &t), 0);
    ::cfmakeraw(&t);
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &t), 0);
    const std::string pts = ::ttyname(slave);
    ::close(slave);
    node_ = tree_.root() + "/dev/hidraw0";
    std::filesystem::create_symlink(pts, node_);
    dev_ = backend_.open(node_, Access::ReadWrite);
    ASSERT_TRUE(dev_);
  }
  void TearDown() override {
    dev_.reset();
    if (master_ >= 0) ::close(master_);
  }
  void send(std::initializer_list<uint8_t> bytes) {
    const std::vector<uint8_t> v(bytes);
    ASSERT_EQ(::write(master_, v.data(), v.size()), static_cast<ssize_t>(v.size()));
  }

  test::FakeHidTree tree_;
  HidrawBackend backend_{test::fixture_options(tree_.root())};
  int master_ = -1;
  std::string node_;
  std::unique_ptr<HidDevice> dev_;
  std::array<uint8_t, 264> buf_{};
  size_t got_ = 0;
};

TEST_F(HidrawRead, DeliversAReport) {
  send({8, 1, 2, 3, 4});
  ASSERT_EQ(dev_->read_interrupt(buf_, 2000, got_), ReadStatus::Ok);
  ASSERT_EQ(got_, 5u);
  EXPECT_EQ((std::vector<uint8_t>(buf_.begin(), buf_.begin() + 5)), (std::vector<uint8_t>{8, 1, 2, 3, 4}));
}

TEST_F(HidrawRead, TimesOut) {
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(dev_->read_interrupt(buf_, 30, got_), ReadStatus::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 25ms);
  EXPECT_EQ(got_, 0u);
}

TEST_F(HidrawRead, CancelWakesAReadBlockedOnAnotherThread) {
  auto reader = std::async(std::launch::async, [&] {
    size_t got = 0;
    return dev_->read_interrupt(buf_, -1, got);
  });
  EXPECT_EQ(reader.wait_for(50ms), std::future_status::timeout) << "the read blocks while nothing arrives";
  dev_->cancel_read();
  ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(reader.get(), ReadStatus::Cancelled);
}

TEST_F(HidrawRead, ACancelWithNoReaderIsKeptForTheNextReadOnly) {
  dev_->cancel_read();
  EXPECT_EQ(dev_->read_interrupt(buf_, -1, got_), ReadStatus::Cancelled);
  EXPECT_EQ(dev_->read_interrupt(buf_, 20, got_), ReadStatus::Timeout);
}

TEST_F(HidrawRead, HangUpIsDeviceGone) {
  ::close(master_);
  master_ = -1;
  EXPECT_EQ(dev_->read_interrupt(buf_, 2000, got_), ReadStatus::Gone);
}

}  // namespace
}  // namespace kestrel::platform
