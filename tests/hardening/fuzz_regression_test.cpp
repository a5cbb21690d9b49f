// Inputs the fuzz targets in fuzz/ found, as unit cases. Under the asan preset each of them read
// outside the bytes received before its fix.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "devlink/board_records.h"

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

}  // namespace
}  // namespace kestrel
