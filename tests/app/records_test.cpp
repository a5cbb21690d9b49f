#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devlink/board_records.h"

namespace kestrel {
namespace {

// A status block: magic, length, the 64-byte head, the text and its NUL, checksum made intact by
// a correction word in bytes 8..9 (which the host does not read).
std::vector<uint8_t> status_block(const std::string& text, size_t length_field = 0, bool with_nul = true) {
  const size_t natural = 64 + text.size() + (with_nul ? 1 : 0);
  std::vector<uint8_t> b(std::max<size_t>(natural, 64) + 8, 0);
  put_le32(b.data(), MAGIC_ZHHH);
  const size_t len = length_field ? length_field : natural;
  put_le16(b.data() + 4, static_cast<uint16_t>(len));
  std::memcpy(b.data() + 64, text.data(), text.size());
  put_le16(b.data() + 8, static_cast<uint16_t>(~frame_csum(b.data(), len)));
  return b;
}

struct StatusCase {
  const char* what;
  std::string text;
  size_t length_field;
  bool valid;
};

class StatusValidity : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusValidity, Decides) {
  const StatusCase c = GetParam();
  auto b = status_block(c.text, c.length_field);
  EXPECT_EQ(board_status_valid(b.data(), b.size()), c.valid) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusValidity,
    ::testing::Values(StatusCase{"length 64 leaves no room for even the NUL", "", 64, false},
                      StatusCase{"length 65 with an empty text", "", 65, true},
                      StatusCase{"text with its NUL inside", "meadow:V1.0", 0, true},
                      StatusCase{"length one short of the NUL", "meadow:V1.0", 64 + 11, false}));

TEST(StatusValidity, WrongMagicOrSumOrOverlongLengthRefused) {
  auto b = status_block("rw820c:V2");
  b[0] ^= 1;
  EXPECT_FALSE(board_status_valid(b.data(), b.size()));
  b = status_block("rw820c:V2");
  b[70] ^= 0x10;
  EXPECT_FALSE(board_status_valid(b.data(), b.size()));
  // A length claiming more than arrived is not read past what arrived.
  b = status_block("rw820c:V2");
  EXPECT_FALSE(board_status_valid(b.data(), 70));
}

TEST(BoardConfig, SealedRecordIsIntactAndAnyChangeBreaksIt) {
  uint8_t rec[32] = {1, 5};
  board_config_seal(rec);
  EXPECT_EQ(get_le16(rec + 2), 32);
  EXPECT_EQ(get_le32(rec + 4), 0x12345678u);
  EXPECT_EQ(get_le32(rec + 24), 0x12345678u);
  EXPECT_TRUE(board_config_intact(rec, 32));
  rec[10] ^= 0x01;
  EXPECT_FALSE(board_config_intact(rec, 32));
  board_config_seal(rec);
  put_le16(rec + 2, 31);  // too short
  EXPECT_FALSE(board_config_intact(rec, 32));
}

TEST(BoardEvent, IntactNeedsMagicAndSum) {
  uint8_t ev[24] = {1, 0x04};
  put_le32(ev + 4, MAGIC_ZHHH);
  put_le16(ev + 2, static_cast<uint16_t>(~frame_csum(ev, 24)));
  EXPECT_TRUE(board_event_intact(ev));
  ev[20] ^= 1;
  EXPECT_FALSE(board_event_intact(ev));
}

}  // namespace
}  // namespace kestrel
