// The preview pane: toggled from the View menu and remembered, the simulated card's pattern live
// in it, a brightness move showing, and the picture stopping for an upgrade and checked after.
#include <QAction>
#include <QSettings>
#include <QTemporaryDir>

#include "app/ids.h"
#include "app/memory_view.h"
#include "app/prop_dialog.h"
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
  EXPECT_GT(view().width(), narrow + 300) << "the pane stands beside the controls";
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
  Copctldlg dlg(window_->logic());
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

TEST_F(PreviewTest, WithoutACardThePaneSaysSo) {
  open();
  view().show_preview_pane(true, false);
  ASSERT_TRUE(run_until([&] { return !pane().status().isEmpty(); }));
  EXPECT_EQ(pane().status().toStdString(), "no card attached");
  EXPECT_TRUE(pane().image().isNull());
}

}  // namespace
}  // namespace kestrel
