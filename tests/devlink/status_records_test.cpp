// The status block and the 80-byte status record read into their structs: each field from its
// own bytes, and nothing read past what arrived.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "devlink/board_records.h"
#include "devlink/frame.h"
#include "devlink/status_records.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

struct ViewCase {
  const char* name;
  uint32_t t, idle, resolution;
  uint8_t usbd, probe, busy, vpin, fvpd, interlaced, rate, signal;
};

TEST(StatusViewParse, FieldsFromTheirOffsets) {
  const ViewCase cases[] = {
      {"title example", 123'456, 99'500, (1080u << 16) | 1920u, 0x12, 0, 0, 0, 2, 0, 60, 1},
      {"scanning, busy, interlaced", 0xFFFFFFFF, 42'250, (576u << 16) | 720u, 0x0A, 3, 1, 2, 7, 1, 25, 1},
      {"no signal", 1, 0, 0, 0xFF, 0xFF, 0x80, 1, 1, 0, 0, 0},
  };
  for (const ViewCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Noise everywhere the parser must not look, then each field written byte by byte.
    Bytes r(STATUS_VIEW_SIZE, 0xA5);
    for (int i = 0; i < 4; ++i) {
      r[0 + i] = static_cast<uint8_t>(c.t >> (8 * i));
      r[24 + i] = static_cast<uint8_t>(c.idle >> (8 * i));
      r[64 + i] = static_cast<uint8_t>(c.resolution >> (8 * i));
    }
    r[4] = c.usbd;
    r[14] = c.probe;
    r[16] = c.busy;
    r[32] = c.vpin;
    r[33] = c.fvpd;
    r[68] = c.interlaced;
    r[69] = c.rate;
    r[70] = c.signal;
    const auto v = parse_status_view(r);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->t, c.t);
    EXPECT_EQ(v->usbd, c.usbd);
    EXPECT_EQ(v->probe, c.probe);
    EXPECT_EQ(v->busy, c.busy);
    EXPECT_EQ(v->idle, c.idle);
    EXPECT_EQ(v->vpin, c.vpin);
    EXPECT_EQ(v->fvpd, c.fvpd);
    EXPECT_EQ(v->resolution, c.resolution);
    EXPECT_EQ(v->width(), c.resolution & 0xFFFF);
    EXPECT_EQ(v->height(), c.resolution >> 16);
    EXPECT_EQ(v->interlaced, c.interlaced);
    EXPECT_EQ(v->frame_rate, c.rate);
    EXPECT_EQ(v->signal, c.signal);
  }
}

TEST(StatusViewParse, ShortRecordRefused) {
  const Bytes r(STATUS_VIEW_SIZE, 0x11);
  EXPECT_FALSE(parse_status_view(std::span<const uint8_t>(r).first(STATUS_VIEW_SIZE - 1)));
  EXPECT_FALSE(parse_status_view({}));
  EXPECT_TRUE(parse_status_view(r));
}

// A status block with its head filled byte by byte and `text` (and its NUL) at 64.
Bytes block_with(const std::string& text) {
  Bytes b(STATUS_TEXT + text.size() + 1, 0xC3);
  put_le32(b.data(), MAGIC_ZHHH);
  put_le16(b.data() + 4, static_cast<uint16_t>(STATUS_TEXT + text.size() + 1));
  put_le32(b.data() + 32, 0x01020304);
  put_le32(b.data() + 36, 0xA0B0C0D0);
  b[40] = 2;
  b[41] = 3;
  b[45] = 1;
  b[47] = 5;
  b[50] = 1;
  put_le16(b.data() + 60, 1280);
  put_le16(b.data() + 62, 720);
  std::memcpy(b.data() + STATUS_TEXT, text.data(), text.size());
  b.back() = 0;
  return b;
}

TEST(BoardStatusParse, FieldsAndText) {
  const Bytes b = block_with("meadow:V1.2.3 FPGA:4.5");
  const auto s = parse_board_status(b);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->magic, MAGIC_ZHHH);
  EXPECT_EQ(s->length, b.size());
  EXPECT_EQ(s->text_word, 0x01020304u);
  EXPECT_EQ(s->gpif, 0xA0B0C0D0u);
  EXPECT_EQ(s->color_format, 2);
  EXPECT_EQ(s->lock_a, 3);
  EXPECT_EQ(s->lock_b, 1);
  EXPECT_TRUE(s->input_locked());
  EXPECT_EQ(s->default_size, 5);
  EXPECT_EQ(s->output_port, 1);
  EXPECT_EQ(s->view_width, 1280);
  EXPECT_EQ(s->view_height, 720);
  EXPECT_EQ(s->text, "meadow:V1.2.3 FPGA:4.5");
}

TEST(BoardStatusParse, LockComparesByte45WithByte41) {
  Bytes b = block_with("x");
  for (auto [a, bb, locked] : {std::tuple{3, 1, true}, {3, 3, false}, {1, 7, false}, {0, 0, false}}) {
    b[41] = static_cast<uint8_t>(a);
    b[45] = static_cast<uint8_t>(bb);
    EXPECT_EQ(parse_board_status(b)->input_locked(), locked) << a << " " << bb;
  }
}

TEST(BoardStatusParse, ShortOrUnterminatedStaysInsideTheSpan) {
  const Bytes b = block_with("rw820c:V2");
  // Fewer than the 64 head bytes: refused.
  EXPECT_FALSE(parse_board_status(std::span<const uint8_t>(b).first(STATUS_TEXT - 1)));
  EXPECT_FALSE(parse_board_status({}));
  // Head only: an empty text.
  const auto head = parse_board_status(std::span<const uint8_t>(b).first(STATUS_TEXT));
  ASSERT_TRUE(head.has_value());
  EXPECT_TRUE(head->text.empty());
  // Cut before the NUL: the text ends with the span, and the block is not valid.
  const auto cut = std::span<const uint8_t>(b).first(STATUS_TEXT + 4);
  const auto s = parse_board_status(cut);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->text, "rw82");
  EXPECT_FALSE(board_status_valid(cut.data(), cut.size()));
}

}  // namespace
}  // namespace kestrel
