#include "sim/sample_image.h"

#include <algorithm>

#include "devlink/frame.h"

namespace kestrel::sim {

namespace {

constexpr uint32_t kSize = 64 * 1024;
constexpr uint32_t kTrailer = 16;
constexpr uint32_t kHead = 12;      // "CY", control, type; the section's length and address
constexpr uint32_t kTail = 12;      // the entry section and the checksum
constexpr uint32_t kInfoAt = 0x400;
constexpr uint32_t kLoadAddress = 0x40000000;  // system RAM

// Filler that never starts a "key-" text nor ends one early.
uint8_t filler(uint32_t i) {
  const uint8_t b = static_cast<uint8_t>((i * 131u + 0x57u + (i >> 8) * 17u) & 0xFF);
  return b == 'k' || b == 0 ? 0x5A : b;
}

}  // namespace

std::vector<uint8_t> sample_usb_image(const std::string& board) {
  std::vector<uint8_t> img(kSize - kTrailer);
  for (uint32_t i = 0; i < img.size(); ++i) img[i] = filler(i);
  const std::string info = "key-" + board + ":" + SAMPLE_VERSION + " build 2026-01-01 00:00:00 GCC: (GNU) 12.2.0";
  std::copy(info.begin(), info.end(), img.begin() + kInfoAt);
  img[kInfoAt + info.size()] = 0;

  const uint32_t words = static_cast<uint32_t>((img.size() - kHead - kTail) / 4);
  img[0] = 'C';
  img[1] = 'Y';
  img[2] = 0x00;  // code, not data
  img[3] = 0xB0;  // a firmware image
  put_le32(img.data() + 4, words);
  put_le32(img.data() + 8, kLoadAddress);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < words; ++i) sum += get_le32(img.data() + kHead + 4 * i);
  uint8_t* end = img.data() + kHead + 4 * words;
  put_le32(end, 0);
  put_le32(end + 4, kLoadAddress);
  put_le32(end + 8, sum);

  // The trailer: "ZHHH", four bytes not examined, the whole length, and the word that brings the
  // CRC register over the whole file to 0.
  uint8_t t[12];
  put_le32(t, MAGIC_ZHHH);
  put_le32(t + 4, 0);
  put_le32(t + 8, kSize);
  img.insert(img.end(), t, t + sizeof t);
  uint8_t c[4];
  put_le32(c, crc32_register(img.data(), img.size()));
  img.insert(img.end(), c, c + sizeof c);
  return img;
}

std::vector<uint8_t> sample_fpga_image(uint32_t size) {
  std::vector<uint8_t> b(std::max<uint32_t>(size, 4));
  for (uint32_t i = 0; i < b.size(); ++i) {
    const uint8_t v = static_cast<uint8_t>((i * 29u) ^ (i >> 7) ^ 0x5D);
    b[i] = v == 0xFF ? 0x7E : v;
  }
  b[0] = 0xAA;
  b[1] = 0x99;
  b[2] = 0x55;
  b[3] = 0x66;
  return b;
}

}  // namespace kestrel::sim
