#include "picture/png_file.h"

#include <libyuv.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kestrel::picture {

namespace {

// libpng reports errors by longjmp; nothing with a destructor may live between setjmp and the
// calls, so the row buffers are made before.
bool encode(FILE* f, const Image& img, const std::vector<png_bytep>& rows) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(img.width), static_cast<png_uint_32>(img.height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, const_cast<png_bytepp>(rows.data()));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

// The process's umask, read without changing it: umask(2) can only set it, and the umask is the
// whole process's, so setting it even for an instant gives a file another thread creates in that
// instant the wrong mode. Linux shows it in /proc/self/status (since 4.7); where it cannot be read
// the picture stays private to its owner.
mode_t current_umask() {
  FILE* f = std::fopen("/proc/self/status", "re");
  if (!f) return 077;
  mode_t mask = 077;
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    unsigned v = 0;
    if (std::sscanf(line, "Umask: %o", &v) == 1) {
      mask = static_cast<mode_t>(v & 0777);
      break;
    }
  }
  std::fclose(f);
  return mask;
}

}  // namespace

std::string write_png(const Image& img, const std::string& path) {
  if (img.width <= 0 || img.height <= 0) return "no picture to write";
  std::vector<uint8_t> rgb(static_cast<size_t>(img.width) * img.height * 3);
  libyuv::ARGBToRAW(img.bgra.data(), img.width * 4, rgb.data(), img.width * 3, img.width, img.height);
  std::vector<png_bytep> rows(static_cast<size_t>(img.height));
  for (int y = 0; y < img.height; ++y) rows[static_cast<size_t>(y)] = rgb.data() + static_cast<size_t>(y) * img.width * 3;

  std::string tmp = path + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) return "cannot write " + path + ": " + std::strerror(errno);
  // mkstemp makes the file 0600; a picture is no secret. Set on the descriptor, before the file
  // has its name: the mode is the one of the file this program made, whatever the path names by
  // then. Should it fail, the picture stays private.
  ::fchmod(fd, 0644 & ~current_umask());
  FILE* f = ::fdopen(fd, "wb");
  if (!f) {
    ::close(fd);
    ::unlink(tmp.c_str());
    return "cannot write " + path + ": " + std::strerror(errno);
  }
  const bool ok = encode(f, img, rows);
  const bool flushed = std::fflush(f) == 0 && ::fsync(fd) == 0;
  const int write_errno = errno;
  std::fclose(f);
  if (!ok || !flushed || std::rename(tmp.c_str(), path.c_str()) != 0) {
    const int e = !ok || !flushed ? write_errno : errno;
    ::unlink(tmp.c_str());
    return "cannot write " + path + ": " + std::strerror(e ? e : EIO);
  }
  return {};
}

std::optional<Image> read_png(const std::string& path, std::string* error) {
  png_image pi{};
  pi.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&pi, path.c_str())) {
    if (error) *error = path + ": " + pi.message;
    return std::nullopt;
  }
  pi.format = PNG_FORMAT_BGRA;
  Image img;
  img.width = static_cast<int>(pi.width);
  img.height = static_cast<int>(pi.height);
  img.bgra.resize(PNG_IMAGE_SIZE(pi));
  if (!png_image_finish_read(&pi, nullptr, img.bgra.data(), 0, nullptr)) {
    if (error) *error = path + ": " + pi.message;
    png_image_free(&pi);
    return std::nullopt;
  }
  return img;
}

}  // namespace kestrel::picture
