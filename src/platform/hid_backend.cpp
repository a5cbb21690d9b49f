#include "platform/hid_backend.h"

#include <atomic>

namespace kestrel::platform {

namespace {
std::atomic<HidBackend*> g_backend{nullptr};
}

void set_backend(HidBackend* b) { g_backend.store(b, std::memory_order_release); }
HidBackend* backend() { return g_backend.load(std::memory_order_acquire); }

}  // namespace kestrel::platform
