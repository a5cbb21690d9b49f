// The hidraw backend in a umockdev test bed: sysfs, the /dev node, the hidraw ioctls and the
// udev events are the test bed's, and the backend reaches them through its ordinary system
// calls (the preload library redirects them). The binary runs itself again under that library.
#include <poll.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "devlink/qhidev.h"
#include "log/clock.h"
#include "platform/hid_tree.h"
#include "platform/hidraw_backend.h"

namespace kestrel::platform {
namespace {

// The requests as the kernel numbers them: _IOC(read|write, 'H', nr, size).
constexpr unsigned long kSetOutput265 = 0xC109480B;
constexpr unsigned long kGetInput265 = 0xC109480A;
constexpr unsigned long kSetFeature261 = 0xC1054806;
constexpr unsigned long kGetFeature261 = 0xC1054807;

// What the emulated node was asked, and how it answers.
struct IoctlScript {
  std::mutex m;
  std::vector<std::pair<unsigned long, std::vector<uint8_t>>> calls;
  std::vector<uint8_t> reply;  // copied over the caller's buffer
  long result = -2;            // -2: the size of the request
  int error = 0;
};

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  auto* s = static_cast<IoctlScript*>(user);
  const unsigned long req = umockdev_ioctl_client_get_request(client);
  const size_t size = _IOC_SIZE(req);
  GError* e = nullptr;
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &e);
  if (!data) {
    g_clear_error(&e);
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return TRUE;
  }
  std::lock_guard<std::mutex> g(s->m);
  s->calls.emplace_back(req, std::vector<uint8_t>(data->data, data->data + size));
  if (!s->reply.empty()) std::memcpy(data->data, s->reply.data(), std::min(size, s->reply.size()));
  umockdev_ioctl_client_complete(client, s->result == -2 ? static_cast<long>(size) : s->result, s->error);
  return TRUE;
}

class Umockdev : public ::testing::Test {
 protected:
  void SetUp() override {
    bed_ = umockdev_testbed_new();
    GError* e = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(bed_, test::umockdev_description(card_).c_str(), &e))
        << (e ? e->message : "");
    handler_ = UMOCKDEV_IOCTL_BASE(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), &script_);
    ASSERT_TRUE(umockdev_testbed_attach_ioctl(bed_, "/dev/hidraw0", handler_, &e)) << (e ? e->message : "");
    // After the test bed: the monitor binds to the bed's event socket.
    backend_ = std::make_unique<HidrawBackend>(test::fixture_options("/"));
  }
  void TearDown() override {
    backend_.reset();
    if (bed_) umockdev_testbed_detach_ioctl(bed_, "/dev/hidraw0", nullptr);
    if (handler_) g_object_unref(handler_);
    if (bed_) g_object_unref(bed_);
  }
  std::unique_ptr<HidDevice> open_card() { return backend_->open("/dev/hidraw0", Access::ReadWrite); }

  test::FakeHid card_;
  UMockdevTestbed* bed_ = nullptr;
  UMockdevIoctlBase* handler_ = nullptr;
  IoctlScript script_;
  std::unique_ptr<HidrawBackend> backend_;
};

TEST_F(Umockdev, EnumeratesTheTestBedsDevices) {
  std::vector<HidInterfaceInfo> all;
  ASSERT_TRUE(backend_->enumerate(all));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].node, "/dev/hidraw0");
  EXPECT_EQ(all[0].path, "\\\\?\\hid#vid_04b4&pid_00ed&mi_02#1-2&hidraw0#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  EXPECT_EQ(all[0].release, 0x0100);
  EXPECT_EQ(all[0].product, "USB Video");
  EXPECT_EQ(all[0].report_descriptor, test::card_descriptor());
}

TEST_F(Umockdev, SetOutputReportIsOneIoctlOfTheReportsSize) {
  auto d = open_card();
  ASSERT_TRUE(d);
  std::array<uint8_t, 265> r{};
  for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i * 7);
  r[0] = 11;
  EXPECT_TRUE(d->set_output_report(r));
  ASSERT_EQ(script_.calls.size(), 1u);
  EXPECT_EQ(script_.calls[0].first, kSetOutput265);
  EXPECT_EQ(script_.calls[0].second, std::vector<uint8_t>(r.begin(), r.end()));
}

TEST_F(Umockdev, GetInputReportAsksByIdAndReturnsTheAnswer) {
  auto d = open_card();
  ASSERT_TRUE(d);
  script_.reply.assign(265, 0);
  for (size_t i = 0; i < 265; ++i) script_.reply[i] = static_cast<uint8_t>(0xA0 + i);
  std::array<uint8_t, 265> r{};
  r[0] = 9;
  EXPECT_TRUE(d->get_input_report(r));
  ASSERT_EQ(script_.calls.size(), 1u);
  EXPECT_EQ(script_.calls[0].first, kGetInput265);
  EXPECT_EQ(script_.calls[0].second[0], 9) << "the report ID goes in byte 0";
  EXPECT_EQ(std::vector<uint8_t>(r.begin(), r.end()), script_.reply);
}

TEST_F(Umockdev, FeatureReportsBothWays) {
  auto d = open_card();
  ASSERT_TRUE(d);
  std::array<uint8_t, 261> set{};
  set[0] = 1;
  set[1] = 0x5A;
  EXPECT_TRUE(d->set_feature_report(set));
  script_.reply = {7, 0x11, 0x22};
  std::array<uint8_t, 261> get{};
  get[0] = 7;
  EXPECT_TRUE(d->get_feature_report(get));
  ASSERT_EQ(script_.calls.size(), 2u);
  EXPECT_EQ(script_.calls[0].first, kSetFeature261);
  EXPECT_EQ(script_.calls[0].second, std::vector<uint8_t>(set.begin(), set.end()));
  EXPECT_EQ(script_.calls[1].first, kGetFeature261);
  EXPECT_EQ(get[1], 0x11);
  EXPECT_EQ(get[2], 0x22);
}

TEST_F(Umockdev, AShortAnswerLeavesZerosBehindIt) {
  auto d = open_card();
  ASSERT_TRUE(d);
  script_.reply.assign(191, 0xEE);
  script_.result = 3;
  std::array<uint8_t, 191> r;
  r.fill(0x55);
  r[0] = 4;
  EXPECT_TRUE(d->get_input_report(r));
  EXPECT_EQ(r[2], 0xEE);
  EXPECT_EQ(r[3], 0) << "no stale byte after the answer";
  EXPECT_EQ(r[190], 0);
}

TEST_F(Umockdev, APartlyTakenReportIsAFailure) {
  auto d = open_card();
  ASSERT_TRUE(d);
  script_.result = 100;
  std::array<uint8_t, 265> r{11};
  EXPECT_FALSE(d->set_output_report(r));
}

TEST_F(Umockdev, AnUnpluggedDeviceFailsItsReports) {
  auto d = open_card();
  ASSERT_TRUE(d);
  script_.result = -1;
  script_.error = ENODEV;
  std::array<uint8_t, 265> r{9};
  EXPECT_FALSE(d->get_input_report(r));
  EXPECT_FALSE(d->set_output_report(r));
}

bool wait_readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
}

TEST_F(Umockdev, ArrivalAndRemovalReachTheHotplugDescriptor) {
  const int fd = backend_->hotplug_fd();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(backend_->drain_hotplug().empty());
  const std::string devpath = "/sys/" + card_.hidraw_path();
  umockdev_testbed_uevent(bed_, devpath.c_str(), "add");
  ASSERT_TRUE(wait_readable(fd, 5000));
  auto ev = backend_->drain_hotplug();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, HotplugEvent::Kind::Arrival);
  EXPECT_EQ(ev[0].node, "/dev/hidraw0");
  EXPECT_FALSE(wait_readable(fd, 0)) << "drained";

  umockdev_testbed_uevent(bed_, devpath.c_str(), "change");
  umockdev_testbed_uevent(bed_, devpath.c_str(), "remove");
  ASSERT_TRUE(wait_readable(fd, 5000));
  std::vector<HotplugEvent> all;
  for (int i = 0; i < 50 && all.empty(); ++i) {
    auto more = backend_->drain_hotplug();
    all.insert(all.end(), more.begin(), more.end());
    if (all.empty()) wait_readable(fd, 100);
  }
  ASSERT_EQ(all.size(), 1u) << "a change is neither arrival nor removal";
  EXPECT_EQ(all[0].kind, HotplugEvent::Kind::Removal);
  EXPECT_EQ(all[0].node, "/dev/hidraw0");
}

// Discovery and open of the device list, on this backend, down to a report on the node.
TEST_F(Umockdev, TheCardIsListedOpenedAndTalkedTo) {
  SimClock clock;
  clock_set_source(&clock);
  set_backend(backend_.get());
  qhidev_list list;
  ASSERT_TRUE(qhidev_enum(list));
  ASSERT_EQ(list.count, 1u);
  EXPECT_EQ(list.items[0]->name, "USB Video - mi_02#1-2&hidraw0");
  EXPECT_EQ(list.items[0]->caps.input_report_length, 265);
  EXPECT_EQ(list.items[0]->caps.feature_report_length, 261);
  EXPECT_FALSE(list.items[0]->handle);
  ASSERT_TRUE(qhidev_open(list, 0));
  ASSERT_TRUE(list.current && list.current->handle);
  std::array<uint8_t, 63> r{10};
  EXPECT_TRUE(list.current->handle->set_output_report(r));
  ASSERT_EQ(script_.calls.size(), 1u);
  EXPECT_EQ(script_.calls[0].second.size(), 63u);
  qhidev_release_all(list);
  set_backend(nullptr);
  clock_set_source(nullptr);
}

}  // namespace
}  // namespace kestrel::platform

int main(int argc, char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (!preload || !std::strstr(preload, "libumockdev-preload")) {
    std::string p = "libumockdev-preload.so.0";
    if (preload && *preload) p += std::string(":") + preload;
    ::setenv("LD_PRELOAD", p.c_str(), 1);
    // A sanitizer runtime wants to come first among the libraries; the preload one only
    // redirects system calls and does not mind.
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    ::setenv("ASAN_OPTIONS", (asan.empty() ? asan : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
    ::execv("/proc/self/exe", argv);
    std::perror("re-running under libumockdev-preload");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
