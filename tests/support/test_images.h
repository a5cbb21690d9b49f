// Test fixtures for the upgrade path: USB-controller (FX3) images with the "CY" signature and an
// embedded info text, images with the 16-byte trailer that meadow and rw820c require, and FPGA
// bitstreams of chosen sizes; plus a temporary directory to put them in as files.
//
//   auto img = test::usb_image({.tag = "meadow"});          // "CY" ... "key-meadow:... build ... GCC:"
//   auto sealed = test::with_trailer(img);                  // passes board_check_image on meadow
//   auto bit = test::fpga_bitstream(1000);
//   test::TempDir dir;  std::string path = dir.write("fw.img", img);
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "devlink/frame.h"

namespace kestrel::test {

struct UsbImageSpec {
  std::string tag = "meadow";                   // the board tag before the ':'
  std::string version = "V2.0.6800";            // free text after the ':'
  std::string stamp = "2024-12-25 10:01:06";    // after "build" (and `spaces` spaces)
  int spaces = 1;
  std::string tail = " GCC: (GNU) 12.2.0";      // must hold "GCC:" to be an info text
  bool with_info = true;                        // false: no "key-" at all
  std::string decoy;                            // an earlier "key-" text that must not count
  uint32_t size = 4096;                         // total bytes (grown to fit the texts)
  uint32_t info_offset = 0x400;                 // where "key-" starts
  uint8_t fill_seed = 0x31;
};

// A spec for `tag` (and a size), the others at their defaults.
inline UsbImageSpec tagged(const std::string& tag, uint32_t size = 4096) {
  UsbImageSpec s;
  s.tag = tag;
  s.size = size;
  return s;
}
// A spec without any "key-" text.
inline UsbImageSpec without_info() {
  UsbImageSpec s;
  s.with_info = false;
  return s;
}

// The info text the check accepts: tag ":" version " build" spaces stamp tail.
inline std::string info_text(const UsbImageSpec& s) {
  return s.tag + ":" + s.version + " build" + std::string(static_cast<size_t>(s.spaces), ' ') + s.stamp + s.tail;
}

// Deterministic filler without the letter 'k' or a zero byte, so it never starts a candidate or
// ends a text.
inline uint8_t filler_byte(uint32_t i, uint8_t seed) {
  uint8_t b = static_cast<uint8_t>((i * 131u + seed * 7u + (i >> 8) * 17u) & 0xFF);
  if (b == 'k' || b == 0) b = 0x5A;
  return b;
}

// A boot image the controller would start: "CY", control byte 0 (code), type 0xB0, one section
// in system RAM holding the filler and the info text, the entry section, the checksum; a size
// that is not a whole number of words leaves the last bytes after the checksum, where a board's
// trailer would be.
inline std::vector<uint8_t> usb_image(const UsbImageSpec& s = {}) {
  constexpr size_t kHead = 12, kTail = 12;  // header and first section head; entry section and checksum
  std::string body;
  if (!s.decoy.empty()) body += "key-" + s.decoy + std::string(1, '\0');
  if (s.with_info) body += "key-" + info_text(s) + std::string(1, '\0');
  const size_t need = s.info_offset + body.size() + 16 + kTail;
  std::vector<uint8_t> img(std::max<size_t>(s.size, need));
  for (uint32_t i = 0; i < img.size(); ++i) img[i] = filler_byte(i, s.fill_seed);
  std::copy(body.begin(), body.end(), img.begin() + s.info_offset);
  const uint32_t words = static_cast<uint32_t>((img.size() - kHead - kTail) / 4);
  img[0] = 'C';
  img[1] = 'Y';
  img[2] = 0x00;
  img[3] = 0xB0;
  put_le32(img.data() + 4, words);
  put_le32(img.data() + 8, 0x40000000);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < words; ++i) sum += get_le32(img.data() + kHead + 4 * i);
  uint8_t* end = img.data() + kHead + 4 * words;
  put_le32(end, 0);
  put_le32(end + 4, 0x40000000);
  put_le32(end + 8, sum);
  return img;
}

// A USB image of exactly `size` bytes with a valid info text for `tag`.
inline std::vector<uint8_t> usb_image_of_size(uint32_t size, const std::string& tag = "meadow") {
  auto img = usb_image(tagged(tag, size));
  img.resize(size);
  return img;
}

// The image with the 16-byte trailer appended: "ZHHH", 4 bytes not examined, the total length
// (little-endian) and the CRC word that makes the CRC register over the whole image end at 0.
inline std::vector<uint8_t> with_trailer(std::vector<uint8_t> img, int32_t length_adjust = 0) {
  const uint32_t total = static_cast<uint32_t>(img.size() + 16);
  uint8_t t[12];
  put_le32(t, MAGIC_ZHHH);
  put_le32(t + 4, 0x0A0B0C0D);
  put_le32(t + 8, total + static_cast<uint32_t>(length_adjust));
  img.insert(img.end(), t, t + 12);
  const uint32_t r = crc32_register(img.data(), img.size());
  uint8_t c[4];
  put_le32(c, r);
  img.insert(img.end(), c, c + 4);
  return img;
}

// An FPGA bitstream of `size` bytes: a pattern with no long runs of 0xFF.
inline std::vector<uint8_t> fpga_bitstream(uint32_t size, uint8_t seed = 0x5D) {
  std::vector<uint8_t> b(size);
  for (uint32_t i = 0; i < size; ++i) {
    uint8_t v = static_cast<uint8_t>((i * 29u) ^ (i >> 7) ^ seed);
    if (v == 0xFF) v = 0x7E;
    b[i] = v;
  }
  if (size >= 4) {
    b[0] = 0xAA;  // a sync-word-like start
    b[1] = 0x99;
    b[2] = 0x55;
    b[3] = 0x66;
  }
  return b;
}

// A directory under $TMPDIR (or /tmp) removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kestrel-upd-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path_ = buf.data();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const std::string p = path_ + "/" + name;
    if (FILE* f = std::fopen(p.c_str(), "wb")) {
      if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    return p;
  }

 private:
  std::string path_;
};

}  // namespace kestrel::test
