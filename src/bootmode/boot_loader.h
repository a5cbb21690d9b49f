// Loading a boot image into a controller in boot mode: every section in requests of at most
// 4,096 bytes, each read back and compared, then the start request with the entry address.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "bootmode/boot_image.h"
#include "bootmode/boot_port.h"

namespace kestrel {

enum class BootLoadStep : uint8_t { Write, ReadBack, Compare, Start, Stopped };

struct BootLoadResult {
  bool ok = false;          // every byte written and read back equal, and the program started
  BootLoadStep step = BootLoadStep::Write;  // where it failed
  uint32_t address = 0;     // the request that failed
  uint64_t loaded = 0;      // bytes written and verified
  std::string error;        // a line for the user: "write of 4096 bytes at 0x40001000: device gone"
};

struct BootLoadHooks {
  // Bytes verified so far out of all; called after every chunk.
  std::function<void(uint64_t done, uint64_t total)> progress;
  // Asked between requests; true stops the load before the program is started (the device stays
  // in boot mode, nothing of its flash was touched).
  std::function<bool()> stop;
};

// `file` is the image file the sections were parsed from.
BootLoadResult boot_load(BootPort& port, std::span<const uint8_t> file, const BootImage& image,
                         const BootLoadHooks& hooks = {});

}  // namespace kestrel
