#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devlink/frame.h"

namespace kestrel {
namespace {

TEST(FrameCsum, OddLengthAddsLastByteAsLowHalf) {
  // 0B 05 07 00 01 00 [csum] 81: 0x050B + 0x0007 + 0x0001 + 0x0081 = 0x0594.
  const uint8_t f[9] = {0x0B, 0x05, 0x07, 0x00, 0x01, 0x00, 0x00, 0x00, 0x81};
  EXPECT_EQ(frame_csum(f, 9), 0x0594);
}

TEST(FrameCsum, CarriesFoldBackIn) {
  const uint8_t f[4] = {0xFF, 0xFF, 0x02, 0x00};  // 0xFFFF + 0x0002 = 0x10001 -> 0x0002
  EXPECT_EQ(frame_csum(f, 4), 0x0002);
  EXPECT_EQ(frame_csum(f, 0), 0);
}

TEST(FrameBuild, StoresComplementAndValidates) {
  uint8_t f[16] = {};
  const uint8_t payload[1] = {0x81};
  frame_build(f, 11, 5, 7, 0, payload, 1);
  const uint8_t want[9] = {0x0B, 0x05, 0x07, 0x00, 0x01, 0x00, 0x6B, 0xFA, 0x81};
  EXPECT_EQ(0, std::memcmp(f, want, 9));
  EXPECT_TRUE(frame_sum_intact(f, 9));
  f[8] ^= 1;
  EXPECT_FALSE(frame_sum_intact(f, 9));
}

TEST(Crc32Register, PresetWithoutFinalInversion) {
  const std::string abc = "abc";
  EXPECT_EQ(crc32_register(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()), 0xCADBBE3Du);
  // Chaining blocks gives the same register as one pass.
  const std::string s = "123456789";
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  EXPECT_EQ(crc32_register(p + 4, 5, crc32_register(p, 4)), crc32_register(p, 9));
  EXPECT_EQ(~crc32_register(p, 9), 0xCBF43926u);  // the standard CRC-32 check value, complemented back
}

}  // namespace
}  // namespace kestrel
