// Boot images as kestrelctl rescue and the window's Rescue… read them: every image the parser
// accepts has its sections inside the file and inside the controller's memory, and loading it
// into the simulated boot ROM never needs a request the ROM refuses.
#include "bootmode/boot_image.h"
#include "bootmode/boot_loader.h"
#include "sim/boot_rom.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const std::span<const uint8_t> file(data, size);
  const std::optional<BootImage> img = parse_boot_image(file);
  if (!img) return 0;
  if (img->end > size || !boot_memory_holds(img->entry, 0)) __builtin_trap();
  for (const BootSection& s : img->sections)
    if (uint64_t{s.offset} + s.bytes > size || !boot_memory_holds(s.address, s.bytes)) __builtin_trap();
  sim::SimBootBus bus;
  bus.add_rom();
  if (!boot_load(*bus.open("sim:0"), file, *img).ok) __builtin_trap();
  return 0;
}
