// What the simulated card sends as its status block and its status record, read through the
// host's parsers, gives back the card's live state.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "boards/control.h"
#include "boards/registry.h"
#include "devlink/board_records.h"
#include "devlink/commands.h"
#include "devlink/status_records.h"
#include "support/sim_fixture.h"

namespace kestrel {
namespace {

class SimStatusParse : public ::testing::TestWithParam<const char*> {};

TEST_P(SimStatusParse, StatusBlockGivesTheCardState) {
  test::SimFixture f(GetParam());
  f.card->update([](sim::Scenario& s) {
    s.color_format = 2;
    s.output_port = 1;
    s.locked_input = 0;
    s.width = 1280;
    s.height = 720;
  });
  uint8_t block[300] = {};
  uint16_t len = 0;
  ASSERT_TRUE(board_status_read(f.link, block, f.pages, 0, &len));
  const auto st = parse_board_status({block, len});
  ASSERT_TRUE(st.has_value());
  EXPECT_EQ(st->magic, MAGIC_ZHHH);
  EXPECT_EQ(st->length, len);
  EXPECT_EQ(st->color_format, 2);
  EXPECT_EQ(st->output_port, 1);
  EXPECT_TRUE(st->input_locked());
  EXPECT_EQ(st->view_width, 1280);
  EXPECT_EQ(st->view_height, 720);
  EXPECT_EQ(st->text, f.card->status_text());

  f.card->update([](sim::Scenario& s) { s.locked_input.reset(); });
  ASSERT_TRUE(board_status_read(f.link, block, f.pages, 0, &len));
  EXPECT_FALSE(parse_board_status({block, len})->input_locked());
}

TEST_P(SimStatusParse, StatusRecordGivesTheCardState) {
  test::SimFixture f(GetParam());
  f.card->update([](sim::Scenario& s) {
    s.input = 1;
    s.scanning = false;
    s.busy = true;
    s.width = 720;
    s.height = 576;
    s.frame_rate = 25;
    s.interlaced = true;
  });
  f.clock.advance_ns(123'456'000'000ULL);
  // The head of the work-status answer is laid out as the record on every board.
  const uint8_t one = 1;
  Answer a;
  ASSERT_TRUE(f.link.transact_long(CMD_WORK_STATUS, 0, &one, 1, 176, f.page(), a));
  const auto w = parse_status_view({a.payload, a.len});
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(w->t, 123'456u);
  EXPECT_EQ(w->usbd, 0x12);
  EXPECT_NE(w->busy, 0);
  EXPECT_EQ(w->idle, 42'250u);
  EXPECT_EQ(w->vpin, 1);
  EXPECT_EQ(w->fvpd, 1);

  // Boards that answer board control code 6 give the whole record, signal format included.
  BoardRegistry reg;
  registry_build(reg, nullptr);
  registry_select_by_status(reg, f.card->status_text().c_str());
  std::array<uint8_t, 4096> page{};
  BoardContext ctx{f.link, page};
  std::array<uint8_t, STATUS_VIEW_SIZE> rec{};
  if (!board_control_current(reg, ctx, CTL_WORK_STATUS, STATUS_VIEW_SIZE, rec.data())) {
    EXPECT_TRUE(std::string(GetParam()) != "meadow" && std::string(GetParam()) != "rw820c");
    return;
  }
  const auto v = parse_status_view(rec);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->vpin, 1);
  EXPECT_NE(v->busy, 0);
  EXPECT_EQ(v->width(), 720);
  EXPECT_EQ(v->height(), 576);
  EXPECT_EQ(v->frame_rate, 25);
  EXPECT_NE(v->interlaced, 0);
  EXPECT_NE(v->signal, 0);

  f.card->update([](sim::Scenario& s) {
    s.signal = false;
    s.scanning = true;
  });
  ASSERT_TRUE(board_control_current(reg, ctx, CTL_WORK_STATUS, STATUS_VIEW_SIZE, rec.data()));
  EXPECT_EQ(parse_status_view(rec)->signal, 0);
  EXPECT_EQ(parse_status_view(rec)->fvpd, FVPD_SCANNING);
}

INSTANTIATE_TEST_SUITE_P(Models, SimStatusParse,
                         ::testing::Values("TB610K-1CH", "TB610R-1CH", "TB720V-2CH", "meadow", "rw820c"),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

}  // namespace
}  // namespace kestrel
