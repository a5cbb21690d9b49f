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

std::optional<platform::HidInterfaceInfo> rescue_wait_for_card(const std::vector<std::string>& before, uint32_t timeout_ms,
                                                                const CardWaitHooks& hooks) {
  const uint64_t start = clock_now_ns();
  for (;;) {
    for (auto& e : card_interfaces())
      if (std::find(before.begin(), before.end(), e.node) == before.end()) return std::move(e);
    const uint64_t waited_ms = (clock_now_ns() - start) / 1'000'000;
    if (waited_ms >= timeout_ms || (hooks.stop && hooks.stop())) return std::nullopt;
    if (hooks.tick) hooks.tick(static_cast<uint32_t>(timeout_ms - waited_ms));
    sleep_ms(RESCUE_POLL_MS);
  }
}

}  // namespace kestrel
