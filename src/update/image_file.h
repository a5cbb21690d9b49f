// Image files as every caller reads them: whole, with one zero byte after the last byte (the info
// text search runs in zero-terminated strings and relies on it), and with a reason when the file
// cannot be used. The desktop program, kestrelctl and the image check all load through here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

// The largest image file taken: far above any controller image or bitstream these cards hold,
// low enough that a wrong file (a disk image, /dev/zero behind a link) is refused at once.
constexpr uint64_t IMAGE_FILE_MAX = 64ull << 20;

class ImageFile {
 public:
  // The file's bytes, without the zero byte that follows them in memory.
  std::span<const uint8_t> data() const { return {bytes_.data(), bytes_.size() - 1}; }
  const uint8_t* begin() const { return bytes_.data(); }
  uint32_t size() const { return static_cast<uint32_t>(bytes_.size() - 1); }
  bool empty() const { return size() == 0; }

  // Reads `path` whole. nullopt when it cannot be used, with `error` (if given) saying why in a
  // line for the user: "PATH is a directory", "PATH is not a regular file", "cannot read PATH:
  // <reason>", "PATH is too large for an image (N bytes)".
  static std::optional<ImageFile> load(const std::string& path, std::string* error = nullptr);
  // The same, as the one buffer an upgrade shares: its checks, its record and its transfer.
  static std::shared_ptr<const ImageFile> load_shared(const std::string& path, std::string* error = nullptr);
  // The same over bytes already in memory (tests, fuzzing).
  static ImageFile from_bytes(std::span<const uint8_t> bytes);

 private:
  std::vector<uint8_t> bytes_{0};  // always ends in the zero byte
};

}  // namespace kestrel
