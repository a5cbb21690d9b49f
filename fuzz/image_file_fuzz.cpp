// Image files as the front ends take them: the bytes become a file, which goes through the loader
// every caller uses (kestrelctl's upgrade and check-image, the window's flash path), the match
// check's two entry points (over the loaded buffer, and over the file as the HID path reads it),
// the FPGA file check and the version the verified end compares. No card is attached and the
// confirmation declines.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "boards/registry.h"
#include "fuzz_common.h"
#include "update/fpga_check.h"
#include "update/image_check.h"
#include "update/image_file.h"
#include "update/verify.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  static BoardRegistry board_table_registry{};
  static BoardRegistry* registry = &registry_build(board_table_registry, nullptr);
  static const int fd = memfd_create("image", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data + 1, size - 1, 0) != static_cast<ssize_t>(size - 1)) return 0;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  const std::optional<ImageFile> img = ImageFile::load(path);
  if (!img || img->size() != size - 1) __builtin_trap();
  qhidev_list none;
  HidLink link(none);
  std::vector<uint8_t> work(2 * 4096);
  ImageCheckContext ctx{link, registry, work, [](const AlertRequest&) { return false; }};
  const BoardEntry* entry = registry->count > 0 ? &registry->entries[data[0] % registry->count] : nullptr;
  if (check_usb_image_buffer(ctx, entry, img->begin(), img->size())) __builtin_trap();
  if (check_usb_image_file(ctx, path)) __builtin_trap();
  (void)check_fpga_image(img->data());
  if (const auto v = image_version_of(img->data())) (void)card_runs_image(*v, v->text());
  return 0;
}
