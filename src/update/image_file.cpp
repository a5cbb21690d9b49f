#include "update/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrel {

namespace {

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};


}  // namespace

std::optional<ImageFile> ImageFile::load(const std::string& path, std::string* error) {
  auto refuse = [error](std::string why) -> std::optional<ImageFile> {
    if (error) *error = std::move(why);
    return std::nullopt;
  };
  // O_NONBLOCK: a FIFO given by mistake must not hang the open; it is refused below.
  Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (f.fd < 0) {
    const int e = errno;
    if (e == EISDIR) return refuse(path + " is a directory");
    return refuse("cannot read " + path + ": " + std::strerror(e));
  }
  struct stat st {};
  if (::fstat(f.fd, &st) != 0) return refuse("cannot read " + path + ": " + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return refuse(path + " is a directory");
  if (!S_ISREG(st.st_mode)) return refuse(path + " is not a regular file");
  if (static_cast<uint64_t>(st.st_size) > IMAGE_FILE_MAX)
    return refuse(path + " is too large for an image (" + std::to_string(st.st_size) + " bytes)");

  ImageFile img;
  img.bytes_.assign(static_cast<size_t>(st.st_size) + 1, 0);
  size_t got = 0;
  const size_t want = static_cast<size_t>(st.st_size);
  while (got < want) {
    const ssize_t n = ::read(f.fd, img.bytes_.data() + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return refuse("cannot read " + path + ": " + std::strerror(errno));
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  // A file that shrank while it was read is not the file that was chosen.
  if (got != want) return refuse("cannot read " + path + ": the file changed while it was read");
  img.bytes_[got] = 0;
  return img;
}

std::shared_ptr<const ImageFile> ImageFile::load_shared(const std::string& path, std::string* error) {
  std::optional<ImageFile> img = load(path, error);
  if (!img) return nullptr;
  return std::make_shared<const ImageFile>(std::move(*img));
}

ImageFile ImageFile::from_bytes(std::span<const uint8_t> bytes) {
  ImageFile img;
  img.bytes_.assign(bytes.begin(), bytes.end());
  img.bytes_.push_back(0);
  return img;
}

}  // namespace kestrel
