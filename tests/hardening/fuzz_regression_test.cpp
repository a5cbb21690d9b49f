// Inputs the fuzz targets in fuzz/ found, as unit cases. Under the asan preset each of them read
// outside the bytes received before its fix.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "boards/registry.h"
#include "devlink/board_records.h"
#include "devlink/hid_link.h"
#include "update/image_check.h"
#include "update/image_file.h"

namespace kestrel {
namespace {

// board_config_intact read the length and magic fields of a record shorter than those fields.
TEST(FuzzRegression, ConfigRecordShorterThanItsFieldsIsRefused) {
  for (size_t n : {0u, 1u, 3u, 7u, 31u}) {
    // Exactly n bytes on the heap: any read past them is out of bounds under ASan.
    std::unique_ptr<uint8_t[]> rec(new uint8_t[n ? n : 1]);
    for (size_t i = 0; i < n; ++i) rec[i] = 0x20;  // length field 0x2020 if it were read
    EXPECT_FALSE(board_config_intact(n ? rec.get() : nullptr, n)) << n;
  }
  // A sealed record offered one byte short is refused; whole, it is accepted.
  std::vector<uint8_t> whole(CONFIG_SIZE, 0);
  board_config_seal(whole.data());
  EXPECT_FALSE(board_config_intact(whole.data(), CONFIG_SIZE - 1));
  EXPECT_TRUE(board_config_intact(whole.data(), CONFIG_SIZE));
}

// kestrelctl's check-image handed the match check an image without the zero byte after it: an
// image that ends inside its "key-" text sent the info text search past the file's bytes. The
// loader every caller uses now puts it there.
TEST(FuzzRegression, ImageEndingInsideItsInfoTextIsSearchedInBounds) {
  const std::string text = "CY\xB0\x00key-TB850V-1CH";
  const ImageFile img = ImageFile::from_bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  ASSERT_EQ(img.size(), text.size());
  EXPECT_EQ(img.begin()[img.size()], 0);  // the zero byte after the image
  EXPECT_EQ(find_image_info(img.begin(), img.begin() + img.size()), nullptr);
  BoardRegistry reg{};
  registry_build(reg, nullptr);
  qhidev_list none;
  HidLink link(none);
  std::vector<uint8_t> work(2 * 4096);
  bool asked = false;
  ImageCheckContext ctx{link, &reg, work, [&](const AlertRequest&) {
    asked = true;
    return false;
  }};
  EXPECT_FALSE(check_usb_image_buffer(ctx, nullptr, img.begin(), img.size()));
  EXPECT_TRUE(asked);
}

}  // namespace
}  // namespace kestrel
