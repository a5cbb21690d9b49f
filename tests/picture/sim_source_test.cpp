// The simulated card's picture: a pattern that shows the card's state, paced at its frame rate,
// in its colour format; property moves made through the property dialog show in it.
#include <gtest/gtest.h>

#include "card/property_editor.h"
#include "picture/convert.h"
#include "picture/sim_source.h"
#include "window_fixture.h"

namespace kestrel::picture {
namespace {

using sim::BoardModel;

class SimPicture : public test::WindowTest {
 protected:
  std::shared_ptr<sim::SimCard> card(std::function<void(sim::Scenario&)> change = {}) {
    sim::Scenario s = sim::make_scenario(BoardModel::Meadow);
    s.width = 320;
    s.height = 180;
    if (change) change(s);
    card_ = add(s);
    return card_;
  }
  std::unique_ptr<FrameSource> open() {
    OpenResult o = open_sim(card_);
    EXPECT_TRUE(o.source) << o.error;
    return std::move(o.source);
  }
  // The next frame as a picture.
  Image frame(FrameSource& src, FrameView* view = nullptr) {
    const NextResult n = src.next(1000);
    EXPECT_EQ(n.status, NextStatus::Frame) << n.error;
    if (view) *view = n.frame;
    return to_image(n.frame);
  }
  // The first bar (75 % white), below the caption.
  static const uint8_t* bar(const Image& img) { return img.pixel(img.width / 32, img.height * 5 / 8); }

  std::shared_ptr<sim::SimCard> card_;
};

TEST_F(SimPicture, FramesComeInTheCardsColourFormatAtItsSize) {
  struct Case {
    uint8_t code;
    PixelFormat format;
  };
  for (const Case c : {Case{0, PixelFormat::RGB24}, Case{1, PixelFormat::YUYV}, Case{2, PixelFormat::NV12}}) {
    card([&](sim::Scenario& s) { s.color_format = c.code; });
    auto src = open();
    FrameView v;
    const Image img = frame(*src, &v);
    EXPECT_EQ(v.format, c.format);
    EXPECT_EQ(v.width, 320);
    EXPECT_EQ(v.height, 180);
    EXPECT_EQ(v.bytes.size(), frame_bytes(c.format, 320, 180));
    // The same grey bar, whatever the layout it travelled in.
    EXPECT_NEAR(bar(img)[0], 191, 4) << format_name(c.format);
    EXPECT_NEAR(bar(img)[2], 191, 4) << format_name(c.format);
  }
}

TEST_F(SimPicture, BrightnessMovedInThePropertyDialogShowsInThePicture) {
  card();
  window().on_init_dialog();
  auto src = open();
  const Image before = frame(*src);

  MemoryPropView pv;
  PropertyEditor dlg(window().card());
  ASSERT_TRUE(dlg.open());
  dlg.on_init_dialog(pv);
  pv.set_pos(propdlg::TRACK_FIRST, 60);  // brightness
  dlg.on_scroll(propdlg::TRACK_FIRST, 5);
  clock_.advance_ns(200'000'000);
  dlg.on_timer(propdlg::TIMER_ID);

  const Image after = frame(*src);
  EXPECT_GT(mean_luma(after), mean_luma(before) + 30);
  EXPECT_NEAR(bar(after)[1], 251, 4);
  // Contrast down to 0 leaves one flat grey: the bars lose their differences.
  pv.set_pos(propdlg::TRACK_FIRST + 1, 0);
  dlg.on_scroll(propdlg::TRACK_FIRST + 1, 5);
  clock_.advance_ns(200'000'000);
  dlg.on_timer(propdlg::TIMER_ID);
  const Image flat = frame(*src);
  EXPECT_EQ(flat.pixel(flat.width / 32, flat.height * 5 / 8)[1], flat.pixel(flat.width * 29 / 32, flat.height * 5 / 8)[1]);
}

TEST_F(SimPicture, TheCaptionFollowsInputAndSignal) {
  card();
  auto src = open();
  // The caption band at the top left.
  auto caption = [](const Image& img) {
    return std::vector<uint8_t>(img.bgra.begin(), img.bgra.begin() + static_cast<long>(img.width) * 4 * 40);
  };
  const auto first = caption(frame(*src));
  EXPECT_EQ(caption(frame(*src)), first) << "the same state draws the same caption";
  card_->update([](sim::Scenario& s) { s.input = 1; });
  const auto sdi = caption(frame(*src));
  EXPECT_NE(sdi, first);
  card_->update([](sim::Scenario& s) { s.frame_rate = 30; });
  EXPECT_NE(caption(frame(*src)), sdi);
  EXPECT_EQ(pattern_state_of(*card_).input, "SDI");
  EXPECT_EQ(signal_text(pattern_state_of(*card_)), "320X180P30");
}

TEST_F(SimPicture, FramesArriveAtTheSignalsRate) {
  card([](sim::Scenario& s) { s.frame_rate = 50; });
  auto src = open();
  const uint64_t start = clock_now_ns();
  for (int i = 0; i < 50; ++i) ASSERT_EQ(src->next(100).status, NextStatus::Frame);
  const double took_s = static_cast<double>(clock_now_ns() - start) / 1e9;
  EXPECT_NEAR(took_s, 1.0, 0.05);
  // Nothing is due at once after a frame.
  EXPECT_EQ(src->next(0).status, NextStatus::None);
}

TEST_F(SimPicture, NoSignalAndUnpluggedAreSaid) {
  card([](sim::Scenario& s) { s.signal = false; });
  OpenResult o = open_sim(card_);
  EXPECT_EQ(o.failure, OpenFailure::NoSignal);
  EXPECT_NE(o.error.find("no signal"), std::string::npos);

  card_->set_signal(true, 320, 180, 60);
  auto src = open();
  ASSERT_EQ(src->next(100).status, NextStatus::Frame);
  card_->set_signal(false);
  EXPECT_EQ(src->next(100).status, NextStatus::None);

  backend_.unplug(0);
  const NextResult gone = src->next(100);
  EXPECT_EQ(gone.status, NextStatus::Error);
  EXPECT_NE(gone.error.find("gone"), std::string::npos);
  EXPECT_EQ(open_sim(card_).failure, OpenFailure::NoNode);
  // Plugged in again, the old source stays dead: the picture needs a new open, as a node would.
  backend_.plug(0);
  card_->set_signal(true, 320, 180, 60);
  EXPECT_EQ(src->next(100).status, NextStatus::Error);
  EXPECT_TRUE(open_sim(card_).source);
}

}  // namespace
}  // namespace kestrel::picture
