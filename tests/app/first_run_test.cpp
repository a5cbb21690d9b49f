// The no-card diagnosis against an in-test backend: a table of interfaces and what opening each
// one does.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "card/first_run.h"

namespace kestrel {
namespace {

using platform::Access;
using platform::OpenFailure;

struct FakeDevice final : platform::HidDevice {
  explicit FakeDevice(int& live) : live_(live) { ++live_; }
  ~FakeDevice() override { --live_; }
  bool set_output_report(std::span<const uint8_t>) override { return false; }
  bool get_input_report(std::span<uint8_t>) override { return false; }
  bool set_feature_report(std::span<const uint8_t>) override { return false; }
  bool get_feature_report(std::span<uint8_t>) override { return false; }
  platform::ReadStatus read_interrupt(std::span<uint8_t>, int, size_t&) override { return platform::ReadStatus::Error; }
  void cancel_read() override {}
  bool set_input_buffers(uint32_t) override { return false; }
  int& live_;
};

struct TableBackend final : platform::HidBackend {
  bool listable = true;
  std::vector<platform::HidInterfaceInfo> interfaces;
  std::map<std::string, OpenFailure> failures;  // by node; a node not named opens
  std::vector<std::string> opened;              // nodes asked for, in order
  int live = 0;                                 // devices open now

  bool enumerate(std::vector<platform::HidInterfaceInfo>& out) override {
    if (!listable) return false;
    out = interfaces;
    return true;
  }
  std::unique_ptr<platform::HidDevice> open(const std::string& node, Access access, std::string* error) override {
    OpenFailure why;
    return open_checked(node, access, why, error);
  }
  std::unique_ptr<platform::HidDevice> open_checked(const std::string& node, Access access, OpenFailure& why,
                                                    std::string* error) override {
    EXPECT_EQ(access, Access::ReadWrite) << "the diagnosis asks for what a card's use needs";
    opened.push_back(node);
    auto f = failures.find(node);
    why = f == failures.end() ? OpenFailure::None : f->second;
    if (why != OpenFailure::None) {
      if (error) *error = node + ": open refused";
      return nullptr;
    }
    return std::make_unique<FakeDevice>(live);
  }
  int hotplug_fd() override { return -1; }
  std::vector<platform::HotplugEvent> drain_hotplug() override { return {}; }
};

platform::HidInterfaceInfo iface(const std::string& node, uint16_t vid, uint16_t pid) {
  platform::HidInterfaceInfo i;
  i.node = node;
  char path[160];
  std::snprintf(path, sizeof path, "\\\\?\\hid#vid_%04x&pid_%04x&mi_02#7&2a3b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                vid, pid);
  i.path = path;
  i.vendor_id = vid;
  i.product_id = pid;
  return i;
}

const KernelFacts kNewKernel{"6.1.0-13-amd64", true};

TEST(FirstRun, NothingToListOrNoCardAmongTheInterfaces) {
  TableBackend unlistable;
  unlistable.listable = false;
  EXPECT_EQ(diagnose_no_card(unlistable, kNewKernel).reason, NoCardReason::CannotList);

  TableBackend empty;
  NoCardDiagnosis d = diagnose_no_card(empty, kNewKernel);
  EXPECT_EQ(d.reason, NoCardReason::NoDevice);
  EXPECT_NE(d.text.find("no capture card is connected"), std::string::npos) << d.text;
  EXPECT_NE(d.text_zh.find("没有连接采集卡"), std::string::npos) << d.text_zh;

  // A keyboard and a mouse: HID interfaces, but no card's IDs. Nothing of theirs is opened.
  TableBackend others;
  others.interfaces = {iface("/dev/hidraw0", 0x046d, 0xc31c), iface("/dev/hidraw1", 0x04b4, 0x0001)};
  d = diagnose_no_card(others, kNewKernel);
  EXPECT_EQ(d.reason, NoCardReason::NoDevice);
  EXPECT_TRUE(d.node.empty());
  EXPECT_TRUE(others.opened.empty());
}

// A card is there; what opening its node does decides the reason.
TEST(FirstRun, CardPresentTheOpenSaysWhy) {
  struct Case {
    OpenFailure open;
    NoCardReason reason;
    const char* says;
    const char* says_zh;  // the Chinese text of the desktop program
  };
  const Case cases[] = {
      {OpenFailure::Permission, NoCardReason::Permission, "70-kestrel.rules", "无权打开它。udev 规则 70-kestrel.rules"},
      {OpenFailure::Unsupported, NoCardReason::KernelTooOld, "5.11", "Linux 5.11"},
      {OpenFailure::NotFound, NoCardReason::NodeMissing, "does not exist", "该设备节点不存在"},
      {OpenFailure::Other, NoCardReason::Unknown, "open refused", "无法打开（/dev/hidraw4: open refused）。"},
      {OpenFailure::None, NoCardReason::Unknown, "The log says more", "可以打开，但 Kestrel 无法使用它"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(no_card_reason_name(c.reason)));
    TableBackend be;
    // The card is the second interface, behind a device that is not a card (vendor 28e9 with a
    // product outside 69xx), and of the 69xx family the filter matches by its first two digits.
    be.interfaces = {iface("/dev/hidraw0", 0x28e9, 0x0290), iface("/dev/hidraw4", 0x28e9, 0x6912)};
    be.failures["/dev/hidraw4"] = c.open;
    const NoCardDiagnosis d = diagnose_no_card(be, kNewKernel);
    EXPECT_EQ(d.reason, c.reason);
    EXPECT_EQ(d.node, "/dev/hidraw4");
    EXPECT_EQ(be.opened, std::vector<std::string>{"/dev/hidraw4"});
    EXPECT_EQ(be.live, 0) << "the node is closed again";
    EXPECT_NE(d.text.find("/dev/hidraw4"), std::string::npos) << d.text;
    EXPECT_NE(d.text.find("28e9:6912"), std::string::npos) << d.text;
    EXPECT_NE(d.text.find(c.says), std::string::npos) << d.text;
    EXPECT_EQ(d.text_zh.rfind("采集卡无法使用：采集卡（28e9:6912）已连接在 /dev/hidraw4，", 0), 0u) << d.text_zh;
    EXPECT_NE(d.text_zh.find(c.says_zh), std::string::npos) << d.text_zh;
  }
}

TEST(FirstRun, AnOldKernelIsNamedBeforeAnyOpen) {
  TableBackend be;
  be.interfaces = {iface("/dev/hidraw2", 0x04b4, 0x00ed)};
  const NoCardDiagnosis d = diagnose_no_card(be, KernelFacts{"5.10.0-28-amd64", false});
  EXPECT_EQ(d.reason, NoCardReason::KernelTooOld);
  EXPECT_NE(d.text.find("kernel 5.10.0-28-amd64"), std::string::npos) << d.text;
  EXPECT_NE(d.text_zh.find("内核 5.10.0-28-amd64 早于 5.11"), std::string::npos) << d.text_zh;
  EXPECT_TRUE(be.opened.empty());

  // With no card connected the kernel is beside the point: the missing card is what to fix.
  TableBackend none;
  EXPECT_EQ(diagnose_no_card(none, KernelFacts{"5.10.0-28-amd64", false}).reason, NoCardReason::NoDevice);
}

// kestrelctl list checks each card it lists: a card that opens is fine, one that does not says why.
TEST(FirstRun, AListedCardIsCheckedOnItsOwn) {
  TableBackend be;
  const platform::HidInterfaceInfo card = iface("/dev/hidraw7", 0x04b4, 0x2060);
  EXPECT_FALSE(diagnose_card(be, card, kNewKernel).has_value());
  EXPECT_EQ(be.live, 0);

  be.failures["/dev/hidraw7"] = OpenFailure::Permission;
  const std::optional<NoCardDiagnosis> d = diagnose_card(be, card, kNewKernel);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->reason, NoCardReason::Permission);
  EXPECT_EQ(d->text.rfind("a capture card (04b4:2060) is connected at /dev/hidraw7, but this user may not open it", 0),
            0u) << d->text;
}

}  // namespace
}  // namespace kestrel
