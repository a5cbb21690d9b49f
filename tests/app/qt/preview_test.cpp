// The preview pane: toggled from the View menu and remembered, the simulated card's pattern live
// in it, a brightness move showing, and the picture stopping for an upgrade and checked after.
#include <QAction>
#include <QComboBox>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>

#include "app/ids.h"
#include "app/memory_view.h"
#include "card/property_editor.h"
#include "gui_fixture.h"
#include "sim/scenario.h"

namespace kestrel {
namespace {

using test::wait_for;

class PreviewTest : public test::GuiTest {
 protected:
  qt::PreviewPane& pane() { return view().preview_pane(); }
  // Runs the window with kestrel's clock moving, until `done` or 5 s of real time.
  bool run_until(const std::function<bool()>& done) {
    return wait_for([&] {
      clock_.advance_ns(5'000'000);
      return done();
    });
  }
  // The first bar (75 % white) of the pattern, below its caption: its green byte.
  int bar_green() {
    const QImage& img = pane().image();
    return qGreen(img.pixel(img.width() / 32, img.height() * 5 / 8));
  }
};

TEST_F(PreviewTest, ViewMenuTogglesThePaneAndTheChoiceIsRemembered) {
  QTemporaryDir dir;
  QSettings settings(dir.filePath(QStringLiteral("kestrel.ini")), QSettings::IniFormat);
  open();
  view().remember_in(&settings);
  const int narrow = view().width();
  QAction* item = view().menu_item(ids::ID_PREVIEW_PANE);
  ASSERT_NE(item, nullptr);
  EXPECT_FALSE(view().preview_pane_visible());
  item->trigger();
  EXPECT_TRUE(view().preview_pane_visible());
  EXPECT_TRUE(pane().running());
  EXPECT_TRUE(item->isChecked());
  EXPECT_GE(view().width(), narrow + qt::QtView::kPreviewMinWidthPx) << "the pane stands beside the controls";
  EXPECT_EQ(pane().geometry().left(), narrow);

  // The next start shows it again; hidden by the user, it stays hidden.
  window_.reset();
  open();
  view().remember_in(&settings);
  EXPECT_TRUE(view().preview_pane_visible());
  view().menu_item(ids::ID_PREVIEW_PANE)->trigger();
  EXPECT_FALSE(pane().running());
  window_.reset();
  open();
  view().remember_in(&settings);
  EXPECT_FALSE(view().preview_pane_visible());
  EXPECT_EQ(view().width(), narrow);
}

TEST_F(PreviewTest, ShowsTheSimulatedCardsPatternAndItsBrightness) {
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  view().show_preview_pane(true, false);
  ASSERT_TRUE(run_until([&] { return pane().frames() >= 2; })) << pane().status().toStdString();
  EXPECT_EQ(pane().image().size(), QSize(1920, 1080));
  EXPECT_EQ(pane().status().toStdString(), "simulated meadow");
  EXPECT_NEAR(bar_green(), 191, 4);

  // Brightness moved in the property dialog reaches the card, and the picture shows it.
  MemoryPropView pv;
  PropertyEditor dlg(window_->logic().card());
  ASSERT_TRUE(dlg.open());
  dlg.on_init_dialog(pv);
  pv.set_pos(propdlg::TRACK_FIRST, 60);
  dlg.on_scroll(propdlg::TRACK_FIRST, 5);
  clock_.advance_ns(200'000'000);
  dlg.on_timer(propdlg::TIMER_ID);
  const uint64_t seen = pane().frames();
  ASSERT_TRUE(run_until([&] { return pane().frames() > seen; }));
  EXPECT_NEAR(bar_green(), 251, 4);
}

TEST_F(PreviewTest, StopsForAnUpgradeAndChecksCaptureAfter) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  open();
  view().show_preview_pane(true, false);
  ASSERT_TRUE(run_until([&] { return pane().frames() >= 1; }));
  view().set_busy(true);
  const uint64_t held_at = pane().frames();
  clock_.advance_ns(500'000'000);
  wait_for([] { return false; }, 100);
  EXPECT_EQ(pane().frames(), held_at) << "no frame is taken while the upgrade holds the card";
  EXPECT_NE(pane().status().toStdString().find("upgrade"), std::string::npos);
  view().set_busy(false);
  ASSERT_TRUE(run_until([&] { return !pane().capture_result().isEmpty(); }));
  EXPECT_EQ(pane().capture_result().toStdString(), "capture ok");

  // A card that comes back without its picture: the check says so after its bound.
  view().set_busy(true);
  card->set_signal(false);
  view().set_busy(false);
  ASSERT_TRUE(run_until([&] { return !pane().capture_result().isEmpty(); }));
  EXPECT_EQ(pane().capture_result().toStdString(), "no frames in 10 s");
  EXPECT_NE(pane().status().toStdString().find("no signal"), std::string::npos);
}

// The pane shows the selected card's picture: a change of card closes the old card's picture at
// once and opens the new card's, or says why the new card has none.
TEST_F(PreviewTest, FollowsTheSelectedCard) {
  backend_.add_card(*sim::make_scenario("meadow"));
  auto dark = backend_.add_card(*sim::make_scenario("TB610M-1CH"));
  backend_.add_card(*sim::make_scenario("TB610R-1CH"));
  dark->set_signal(false);
  open();
  view().show_preview_pane(true, false);
  ASSERT_TRUE(run_until([&] { return pane().frames() >= 1; }));
  EXPECT_EQ(pane().status().toStdString(), "simulated meadow");
  auto* cards = widget<QComboBox>(ids::CARD_LIST);
  auto pick = [&](int index) {
    cards->setCurrentIndex(index);
    Q_EMIT cards->activated(index);
  };

  // A card without a picture: the first card's picture goes, and the pane says why.
  pick(1);
  EXPECT_TRUE(pane().image().isNull()) << "the first card's picture stays";
  ASSERT_TRUE(run_until([&] { return pane().status().contains(QStringLiteral("no signal")); }))
      << pane().status().toStdString();
  EXPECT_TRUE(pane().status().contains(QStringLiteral("TB610M-1CH"))) << pane().status().toStdString();
  EXPECT_TRUE(pane().image().isNull());

  // A card with a picture: its own.
  const uint64_t before = pane().frames();
  pick(2);
  ASSERT_TRUE(run_until([&] { return pane().frames() > before && !pane().image().isNull(); }));
  EXPECT_EQ(pane().status().toStdString(), "simulated TB610R-1CH");

  pick(0);
  ASSERT_TRUE(run_until([&] { return pane().status() == QStringLiteral("simulated meadow") && !pane().image().isNull(); }))
      << pane().status().toStdString();
}

// With the pane on, the window fits a 1280 x 800 screen: it can be made as narrow as the controls
// and the pane's minimum, which is well under 1280, and the picture scales into what the pane has.
TEST_F(PreviewTest, TheWindowWithThePaneFitsA1280By800Screen) {
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  view().show_preview_pane(true, false);
  EXPECT_LE(view().minimumWidth(), 1280 - 2 * 8) << "room for a window manager's frame";
  EXPECT_EQ(view().minimumWidth(), view().controls_width() + qt::QtView::kPreviewMinWidthPx);
  EXPECT_LE(view().height(), 800 - 64) << "room for a title bar and a panel";
  if (const QScreen* s = view().screen()) {
    EXPECT_LE(view().width(), std::max(view().minimumWidth(), s->availableGeometry().width()));
  }
  // Narrowest, then as wide as a 1280 screen allows: the pane takes what is right of the controls.
  for (const int w : {view().minimumWidth(), 1264}) {
    view().resize(w, view().height());
    EXPECT_EQ(view().width(), w);
    EXPECT_EQ(pane().geometry().left(), view().controls_width());
    EXPECT_EQ(pane().geometry().right(), view().width() - 1);
    EXPECT_GE(pane().width(), qt::QtView::kPreviewMinWidthPx);
  }
  // Narrower than the minimum is not given.
  view().resize(view().controls_width(), view().height());
  EXPECT_EQ(view().width(), view().minimumWidth());
  // The picture is painted scaled into the pane, keeping 16:9.
  ASSERT_TRUE(run_until([&] { return pane().frames() >= 1; }));
  for (const int w : {view().minimumWidth(), 1264}) {
    view().resize(w, view().height());
    const QImage shot = pane().grab().toImage();
    const QRect room = pane().rect().adjusted(0, 0, 0, -(pane().fontMetrics().height() + 4));
    const QSize pic = QSize(16, 9).scaled(room.size(), Qt::KeepAspectRatio);
    const QRect at(room.x() + (room.width() - pic.width()) / 2, room.y() + (room.height() - pic.height()) / 2,
                   pic.width(), pic.height());
    // The first bar of the pattern (75 % white), where the scaled picture puts it.
    EXPECT_NEAR(qGreen(shot.pixel(at.x() + at.width() / 32 + 1, at.y() + at.height() * 5 / 8)), 191, 8) << w;
  }
  // Hidden again, the window is as narrow as the controls, and fixed.
  view().show_preview_pane(false, false);
  EXPECT_EQ(view().width(), view().controls_width());
  EXPECT_EQ(view().minimumWidth(), view().maximumWidth());
}

TEST_F(PreviewTest, WithoutACardThePaneSaysSo) {
  open();
  view().show_preview_pane(true, false);
  ASSERT_TRUE(run_until([&] { return !pane().status().isEmpty(); }));
  EXPECT_EQ(pane().status().toStdString(), "no card attached");
  EXPECT_TRUE(pane().image().isNull());
}

}  // namespace
}  // namespace kestrel
