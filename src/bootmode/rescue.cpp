#include "bootmode/rescue.h"

#include <algorithm>

#include "devlink/qhidev.h"
#include "log/clock.h"
#include "update/image_check.h"

namespace kestrel {

std::optional<RescueImage> rescue_image_load(const std::string& path, std::string* why, bool* unreadable) {
  if (unreadable) *unreadable = false;
  std::string error;
  std::optional<ImageFile> file = ImageFile::load(path, &error);
  if (!file) {
    if (unreadable) *unreadable = true;
    if (why) *why = error;
    return std::nullopt;
  }
  std::optional<BootImage> boot = parse_boot_image(file->data(), &error);
  if (!boot) {
    if (why) *why = path + ": " + error;
    return std::nullopt;
  }
  RescueImage r{std::move(*file), std::move(*boot), {}};
  // The loaded file keeps a zero byte after its end, which the info text search relies on.
  if (const char* info = find_image_info(r.file.begin(), r.file.begin() + r.file.size())) r.info = info;
  return r;
}

namespace {

std::vector<platform::HidInterfaceInfo> card_interfaces() {
  std::vector<platform::HidInterfaceInfo> all, cards;
  platform::HidBackend* b = platform::backend();
  if (!b || !b->enumerate(all)) return cards;
  for (auto& e : all)
    if (qhidev_filter_match(e.path, nullptr) != 0) cards.push_back(std::move(e));
  return cards;
}

}  // namespace

std::vector<std::string> rescue_cards_present() {
  std::vector<std::string> nodes;
  for (const auto& e : card_interfaces()) nodes.push_back(e.node);
  return nodes;
}

std::optional<size_t> rescue_pick_card(const std::vector<platform::HidInterfaceInfo>& fresh, const std::string& boot_port) {
  std::optional<size_t> portless;
  size_t portless_count = 0;
  for (size_t i = 0; i < fresh.size(); ++i) {
    if (!boot_port.empty() && fresh[i].port == boot_port) return i;
    if (fresh[i].port.empty() && portless_count++ == 0) portless = i;
  }
  if (portless_count == 1) return portless;
  return std::nullopt;
}

std::optional<platform::HidInterfaceInfo> rescue_wait_for_card(const std::vector<std::string>& before,
                                                                const std::string& boot_port, uint32_t timeout_ms,
                                                                const CardWaitHooks& hooks) {
  const uint64_t start = clock_now_ns();
  for (;;) {
    std::vector<platform::HidInterfaceInfo> fresh;
    for (auto& e : card_interfaces())
      if (std::find(before.begin(), before.end(), e.node) == before.end()) fresh.push_back(std::move(e));
    if (const std::optional<size_t> i = rescue_pick_card(fresh, boot_port)) return std::move(fresh[*i]);
    const uint64_t waited_ms = (clock_now_ns() - start) / 1'000'000;
    if (waited_ms >= timeout_ms || (hooks.stop && hooks.stop())) return std::nullopt;
    if (hooks.tick) hooks.tick(static_cast<uint32_t>(timeout_ms - waited_ms));
    sleep_ms(RESCUE_POLL_MS);
  }
}

std::optional<size_t> rescue_choose_device(const std::vector<BootDeviceInfo>& found, const std::string& given,
                                           std::string* why) {
  auto fail = [&](std::string text) -> std::optional<size_t> {
    if (why) *why = std::move(text);
    return std::nullopt;
  };
  if (found.empty()) return fail("no device in boot mode (04b4:00f3) found");
  if (given.empty()) {
    if (found.size() == 1) return 0;
    return fail(std::to_string(found.size()) +
                " devices in boot mode: choose one with --device, by its index or its port (like " + found[0].port +
                ")");
  }
  for (size_t i = 0; i < found.size(); ++i)
    if (given == found[i].port || given == found[i].id) return i;
  if (given.find_first_not_of("0123456789") == std::string::npos && given.size() < 6) {
    const size_t i = std::stoul(given);
    if (i < found.size()) return i;
    return fail("no device " + given + " in boot mode (found " + std::to_string(found.size()) + ")");
  }
  return fail("no device in boot mode at '" + given + "' (found " + std::to_string(found.size()) + ")");
}

}  // namespace kestrel
