#include "card/first_run.h"

#include <sys/utsname.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "devlink/qhidev.h"

namespace kestrel {

namespace {

constexpr std::string_view kRuleFile = "70-kestrel.rules";

std::string ids_of(const platform::HidInterfaceInfo& info) {
  char ids[32];
  std::snprintf(ids, sizeof ids, "%04x:%04x", info.vendor_id, info.product_id);
  return ids;
}

std::string card_at(const platform::HidInterfaceInfo& info) {
  return "a capture card (" + ids_of(info) + ") is connected at " + info.node;
}

std::string card_at_zh(const platform::HidInterfaceInfo& info) {
  return "采集卡（" + ids_of(info) + "）已连接在 " + info.node;
}

}  // namespace

NoCardDiagnosis diagnose_no_card(platform::HidBackend& backend, const KernelFacts& kernel) {
  NoCardDiagnosis d;
  std::vector<platform::HidInterfaceInfo> present;
  if (!backend.enumerate(present)) {
    d.reason = NoCardReason::CannotList;
    d.text = "no card found: the HID devices cannot be listed (/sys/class/hidraw cannot be read).";
    d.text_zh = "未找到采集卡：无法列出 HID 设备（无法读取 /sys/class/hidraw）。";
    return d;
  }
  const platform::HidInterfaceInfo* card = nullptr;
  for (const platform::HidInterfaceInfo& info : present)
    if (qhidev_filter_match(info.path, nullptr) != 0) {
      card = &info;
      break;
    }
  if (!card) {
    d.reason = NoCardReason::NoDevice;
    d.text =
        "no card found: no capture card is connected (no HID interface with a card's vendor and product ID). "
        "Check the USB cable and the card's power; lsusb lists what is connected.";
    d.text_zh =
        "未找到采集卡：没有连接采集卡（没有带采集卡厂商和产品 ID 的 HID 接口）。"
        "请检查 USB 线和采集卡的电源；lsusb 可列出已连接的设备。";
    return d;
  }
  if (std::optional<NoCardDiagnosis> why = diagnose_card(backend, *card, kernel)) {
    why->text = "no usable card: " + why->text;
    why->text_zh = "采集卡无法使用：" + why->text_zh;
    return *why;
  }
  d.reason = NoCardReason::Unknown;
  d.node = card->node;
  d.text = "no usable card: " + card_at(*card) + ", and it opens, but Kestrel could not use it. The log says more.";
  d.text_zh = "采集卡无法使用：" + card_at_zh(*card) + "，可以打开，但 Kestrel 无法使用它。详见日志。";
  return d;
}

std::optional<NoCardDiagnosis> diagnose_card(platform::HidBackend& backend, const platform::HidInterfaceInfo& info,
                                             const KernelFacts& kernel) {
  NoCardDiagnosis d;
  d.node = info.node;
  const std::string release = kernel.release.empty() ? std::string("this kernel") : "kernel " + kernel.release;
  const std::string release_zh = kernel.release.empty() ? std::string("此内核") : "内核 " + kernel.release + " ";
  if (!kernel.report_ioctls) {
    d.reason = NoCardReason::KernelTooOld;
    d.text = card_at(info) + ", but " + release +
             " is older than 5.11 and lacks the hidraw report calls Kestrel needs. Upgrade the kernel.";
    d.text_zh = card_at_zh(info) + "，但" + release_zh + "早于 5.11，缺少 Kestrel 需要的 hidraw 报告调用。请升级内核。";
    return d;
  }
  platform::OpenFailure why = platform::OpenFailure::None;
  std::string error;
  if (backend.open_checked(info.node, platform::Access::ReadWrite, why, &error)) return std::nullopt;
  switch (why) {
    case platform::OpenFailure::Permission:
      d.reason = NoCardReason::Permission;
      d.text = card_at(info) + ", but this user may not open it. The udev rule " + std::string(kRuleFile) +
               " gives the user at the seat access: install it in /usr/lib/udev/rules.d (the kestrel package "
               "does), then unplug the card and plug it in again.";
      d.text_zh = card_at_zh(info) + "，但当前用户无权打开它。udev 规则 " + std::string(kRuleFile) +
                  " 为当前座席的用户授予访问权限：请将其安装到 /usr/lib/udev/rules.d（kestrel 软件包会安装它），"
                  "然后拔下采集卡再重新插上。";
      break;
    case platform::OpenFailure::Unsupported:
      d.reason = NoCardReason::KernelTooOld;
      d.text = card_at(info) + ", but " + release +
               " lacks the hidraw report calls Kestrel needs (they came with Linux 5.11). Upgrade the kernel.";
      d.text_zh = card_at_zh(info) + "，但" + release_zh + "缺少 Kestrel 需要的 hidraw 报告调用（Linux 5.11 起才有）。请升级内核。";
      break;
    case platform::OpenFailure::NotFound:
      d.reason = NoCardReason::NodeMissing;
      d.text = card_at(info) + ", but that node does not exist (in a container, pass the device through).";
      d.text_zh = card_at_zh(info) + "，但该设备节点不存在（在容器中请把设备传入容器）。";
      break;
    default:
      d.reason = NoCardReason::Unknown;
      d.text = card_at(info) + ", but it cannot be opened" + (error.empty() ? std::string() : " (" + error + ")") +
               ". The log says more.";
      d.text_zh = card_at_zh(info) + "，但无法打开" + (error.empty() ? std::string() : "（" + error + "）") + "。详见日志。";
  }
  return d;
}

std::string_view no_card_reason_name(NoCardReason reason) {
  switch (reason) {
    case NoCardReason::CannotList: return "cannot-list";
    case NoCardReason::NoDevice: return "no-device";
    case NoCardReason::Permission: return "permission";
    case NoCardReason::KernelTooOld: return "kernel-too-old";
    case NoCardReason::NodeMissing: return "node-missing";
    case NoCardReason::Unknown: break;
  }
  return "unknown";
}

std::string running_kernel_release() {
  utsname u{};
  return ::uname(&u) == 0 ? std::string(u.release) : std::string();
}

}  // namespace kestrel
