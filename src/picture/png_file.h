// A frame as a PNG file (8-bit RGB), written whole or not at all.
#pragma once

#include <optional>
#include <string>

#include "picture/convert.h"

namespace kestrel::picture {

// Writes `img` to `path` through a temporary file beside it, renamed into place once complete.
// "" on success, else why not (the file is then left as it was).
std::string write_png(const Image& img, const std::string& path);

// Reads an 8-bit RGB or RGBA PNG back (the alpha dropped); nullopt, with `error` set, when the file
// is not one.
std::optional<Image> read_png(const std::string& path, std::string* error = nullptr);

}  // namespace kestrel::picture
