#include "platform/hid_backend.h"

#include <atomic>

namespace kestrel::platform {

namespace {
std::atomic<HidBackend*> g_backend{nullptr};
}

void set_backend(HidBackend* b) { g_backend.store(b, std::memory_order_release); }
HidBackend* backend() { return g_backend.load(std::memory_order_acquire); }

std::unique_ptr<HidDevice> HidBackend::open_checked(const std::string& node, Access access,
                                                    OpenFailure& why, std::string* error) {
  auto dev = open(node, access, error);
  why = dev ? OpenFailure::None : OpenFailure::Other;
  return dev;
}

bool HidBackend::describe(const std::string& node, HidInterfaceInfo& out) {
  std::vector<HidInterfaceInfo> all;
  if (!enumerate(all)) return false;
  for (auto& i : all) {
    if (i.node == node) {
      out = std::move(i);
      return true;
    }
  }
  return false;
}

}  // namespace kestrel::platform
