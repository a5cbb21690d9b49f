// Firmware image inspection: find_image_info over the image (with the zero byte callers put
// after it), then check_usb_image_buffer through every board's integrity test, with a window
// that declines and no card attached.
#include <cstring>

#include "boards/registry.h"
#include "fuzz_common.h"
#include "update/image_check.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  static BoardRegistry board_table_registry{};
  static BoardRegistry* registry = &registry_build(board_table_registry, nullptr);
  std::vector<uint8_t> img(data + 1, data + size);
  img.push_back(0);
  const uint8_t* end = img.data() + img.size() - 1;
  if (const char* info = find_image_info(img.data(), end)) {
    if (info < reinterpret_cast<const char*>(img.data()) || info > reinterpret_cast<const char*>(end))
      __builtin_trap();
  }
  qhidev_list none;
  HidLink link(none);
  std::vector<uint8_t> work(2 * 4096);
  ImageCheckContext ctx{link, registry, work, [](const AlertRequest&) { return false; }};
  const BoardEntry* entry = nullptr;
  if (registry->count > 0) entry = &registry->entries[data[0] % registry->count];
  if (check_usb_image_buffer(ctx, entry, img.data(), static_cast<uint32_t>(img.size() - 1))) __builtin_trap();
  return 0;
}
