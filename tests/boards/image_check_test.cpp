// The image integrity test of meadow and rw820c, and the boards that pass every image.
#include <gtest/gtest.h>

#include <vector>

#include "boards/board_table.h"
#include "boards/registry.h"
#include "devlink/frame.h"

namespace kestrel {
namespace {

// An image of `body` bytes followed by the 16-byte trailer: "ZHHH", 4 free bytes, the length
// word (the true length plus `length_delta`), the CRC register over everything before it.
std::vector<uint8_t> image_with_trailer(size_t body, int length_delta = 0, uint32_t magic = MAGIC_ZHHH) {
  std::vector<uint8_t> img(body + 16);
  for (size_t i = 0; i < body; ++i) img[i] = static_cast<uint8_t>(i * 7 + 3);
  put_le32(img.data() + body, magic);
  put_le32(img.data() + body + 4, 0xDEADBEEF);
  put_le32(img.data() + body + 8, static_cast<uint32_t>(img.size() + length_delta));
  put_le32(img.data() + body + 12, crc32_register(img.data(), img.size() - 4));
  return img;
}

class ImageCheck : public ::testing::Test {
 protected:
  void SetUp() override { registry_build(reg_, nullptr); }
  const BoardEntry& board(uint8_t number) { return reg_.entries[number - 1]; }
  BoardRegistry reg_;
};

struct ImageCase {
  const char* what;
  std::vector<uint8_t> image;
  bool passes;
};

TEST_F(ImageCheck, TrailerTest) {
  std::vector<uint8_t> bad_crc = image_with_trailer(100);
  bad_crc[5] ^= 1;
  std::vector<uint8_t> sixteen = image_with_trailer(0);
  const ImageCase cases[] = {
      {"a good image", image_with_trailer(1000), true},
      {"trailer only, 16 bytes", sixteen, true},
      {"15 bytes", std::vector<uint8_t>(sixteen.begin() + 1, sixteen.end()), false},
      {"empty", {}, false},
      {"length word one short", image_with_trailer(1000, -1), false},
      {"length word one long", image_with_trailer(1000, +1), false},
      {"wrong magic", image_with_trailer(1000, 0, 0x4848485B), false},
      {"a flipped body bit", bad_crc, false},
  };
  for (const ImageCase& c : cases) {
    for (uint8_t b : {BOARD_MEADOW, BOARD_RW820C})
      EXPECT_EQ(board_check_image(board(b), c.image), c.passes) << c.what << " on board " << int(b);
    // Boards 1..6 take any image, however short.
    for (uint8_t b = BOARD_TB610K_1CH; b <= BOARD_TB850V_1CH; ++b)
      EXPECT_TRUE(board_check_image(board(b), c.image)) << c.what << " on board " << int(b);
  }
}

TEST_F(ImageCheck, CrcRegisterRunsToZeroOverAGoodImage) {
  const auto img = image_with_trailer(333);
  EXPECT_EQ(crc32_register(img.data(), img.size()), 0u);
}

TEST_F(ImageCheck, EntryWithoutDescriptorRefuses) {
  BoardEntry none;
  EXPECT_FALSE(board_check_image(none, image_with_trailer(10)));
}

}  // namespace
}  // namespace kestrel
