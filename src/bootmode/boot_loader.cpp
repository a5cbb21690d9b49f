#include "bootmode/boot_loader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kestrel {

const char* boot_status_name(BootStatus s) {
  switch (s) {
    case BootStatus::Ok: return "ok";
    case BootStatus::Gone: return "device gone";
    case BootStatus::Refused: return "refused";
    case BootStatus::Error: return "transfer error";
  }
  return "?";
}

namespace {

std::string request_text(const char* what, size_t bytes, uint32_t address, const BootResult& r) {
  char b[96];
  std::snprintf(b, sizeof b, "%s of %zu bytes at 0x%08X: ", what, bytes, address);
  std::string s = b;
  s += boot_status_name(r.status);
  if (!r.detail.empty()) s += " (" + r.detail + ")";
  return s;
}

BootLoadResult failed(BootLoadResult r, BootLoadStep step, uint32_t address, std::string error) {
  r.ok = false;
  r.step = step;
  r.address = address;
  r.error = std::move(error);
  return r;
}

}  // namespace

BootLoadResult boot_load(BootPort& port, std::span<const uint8_t> file, const BootImage& image,
                         const BootLoadHooks& hooks) {
  BootLoadResult r;
  const uint64_t total = image.load_bytes();
  std::vector<uint8_t> back(BOOT_CHUNK_MAX);
  for (const BootSection& s : image.sections) {
    if (static_cast<uint64_t>(s.offset) + s.bytes > file.size())
      return failed(r, BootLoadStep::Write, s.address, "the image's sections do not fit the file");
    for (uint32_t off = 0; off < s.bytes; off += BOOT_CHUNK_MAX) {
      if (hooks.stop && hooks.stop())
        return failed(r, BootLoadStep::Stopped, s.address + off, "stopped before the program was started");
      const uint32_t n = std::min<uint32_t>(BOOT_CHUNK_MAX, s.bytes - off);
      const uint32_t at = s.address + off;
      const std::span<const uint8_t> chunk = file.subspan(s.offset + off, n);
      if (BootResult w = port.write(at, chunk); !w.ok())
        return failed(r, BootLoadStep::Write, at, request_text("write", n, at, w));
      if (BootResult rb = port.read(at, std::span<uint8_t>(back.data(), n)); !rb.ok())
        return failed(r, BootLoadStep::ReadBack, at, request_text("read-back", n, at, rb));
      if (std::memcmp(back.data(), chunk.data(), n) != 0) {
        const size_t first = static_cast<size_t>(std::mismatch(chunk.begin(), chunk.end(), back.begin()).first - chunk.begin());
        char b[96];
        std::snprintf(b, sizeof b, "read-back differs at 0x%08X (wrote 0x%02X, read 0x%02X)",
                      at + static_cast<uint32_t>(first), chunk[first], back[first]);
        return failed(r, BootLoadStep::Compare, at, b);
      }
      r.loaded += n;
      if (hooks.progress) hooks.progress(r.loaded, total);
    }
  }
  if (hooks.stop && hooks.stop())
    return failed(r, BootLoadStep::Stopped, image.entry, "stopped before the program was started");
  // A program that starts at once may take the device off the bus before the status stage of
  // this request completes: that is the start we asked for, not a failure. Whether it really
  // runs shows when the card appears.
  const BootResult j = port.jump(image.entry);
  if (!j.ok() && j.status != BootStatus::Gone)
    return failed(r, BootLoadStep::Start, image.entry, request_text("start request", 0, image.entry, j));
  r.ok = true;
  return r;
}

}  // namespace kestrel
