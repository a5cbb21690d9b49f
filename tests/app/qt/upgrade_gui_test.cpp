// Upgrades through the real window: the file dialog, the confirmation dialog and its yes/no
// question answered like a user, on a simulated card with its flash.
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "app/ids.h"
#include "app/qt/alert_view.h"
#include "gui_fixture.h"
#include "sim/download_channel.h"
#include "support/test_images.h"

namespace kestrel {
namespace {

using test::GuiTest;
using test::wait_for;

// Runs `inside` on the first modal widget of type W, from the event loop it runs in.
template <typename W>
void when_modal(std::function<void(W*)> inside) {
  QTimer::singleShot(0, [inside = std::move(inside)] {
    W* w = nullptr;
    if (wait_for([&] { return (w = qobject_cast<W*>(QApplication::activeModalWidget())) != nullptr; })) inside(w);
  });
}

TEST_F(GuiTest, FpgaUpgradeOnMeadowThroughTheFlashChannel) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  auto storage = sim::storage_of(*card);
  ASSERT_NE(storage, nullptr);
  test::TempDir dir;
  const auto bit = test::fpga_bitstream(0x9000);
  const std::string path = dir.write("logic.bin", bit);
  open();
  bool chose = false;
  when_modal<QFileDialog>([&](QFileDialog* d) {
    chose = true;
    d->selectFile(QString::fromStdString(path));
    static_cast<QDialog*>(d)->accept();  // the Open button
  });
  view().dispatch_command(ids::BTN_FPGA_FIRMWARE);
  EXPECT_TRUE(chose);
  EXPECT_EQ(messages_, std::vector<std::string>{"OK!"});
  EXPECT_EQ(storage->flash.read(0x40000, static_cast<uint32_t>(bit.size())), bit);
  size_t flash_requests = 0;  // output report 7: the flash channel
  for (const auto& r : card->reports_of(sim::ReportKind::Output))
    if (!r.empty() && r[0] == 7) ++flash_requests;
  EXPECT_GT(flash_requests, 0u);
  EXPECT_TRUE(widget<QPushButton>(ids::BTN_FPGA_FIRMWARE)->isEnabled());
}

TEST_F(GuiTest, FpgaUpgradeCancelledInTheFileDialogWritesNothing) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  auto storage = sim::storage_of(*card);
  const auto before = storage->flash.read(0x40000, 0x100);
  open();
  when_modal<QFileDialog>([](QFileDialog* d) { d->reject(); });
  view().dispatch_command(ids::BTN_FPGA_FIRMWARE);
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(storage->flash.read(0x40000, 0x100), before);
}

AlertRequest request(uint16_t style) {
  AlertRequest r;
  r.style = style;
  r.title = "check";
  r.info = "line 1\r\nline 2";
  r.verdict = "版本不匹配";
  r.accept_caption = "强制升级";
  r.cancel_caption = "取消";
  return r;
}

struct AlertCase {
  uint16_t style;
  QColor colour;
  bool asks;
};

class AlertViewTest : public GuiTest, public ::testing::WithParamInterface<AlertCase> {};

TEST_P(AlertViewTest, VerdictColourAndAccept) {
  const AlertCase c = GetParam();
  const AlertRequest r = request(c.style);
  for (bool yes : {true, false}) {
    bool asked = false;
    QColor colour;
    when_modal<qt::CAlertView>([&](qt::CAlertView* v) {
      colour = v->findChild<QLineEdit*>(QStringLiteral("1505"))->palette().color(QPalette::Text);
      EXPECT_EQ(v->windowTitle().toStdString(), "check");
      // Watches for the question while the dialog is up; gives up once the dialog has ended.
      QTimer::singleShot(0, [&, alive = QPointer<qt::CAlertView>(v)] {
        QMessageBox* q = nullptr;
        wait_for([&] {
          q = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
          return q != nullptr || !alive || !alive->isVisible();
        });
        if (!q) return;
        asked = true;
        EXPECT_EQ(q->text().toStdString(), "版本不匹配是否强制升级");
        q->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
      });
      v->findChild<QPushButton*>(QStringLiteral("1"))->click();
    });
    const bool accepted = qt::show_alert_dialog(r);
    EXPECT_EQ(colour, c.colour);
    EXPECT_EQ(asked, c.asks);
    EXPECT_EQ(accepted, !c.asks || yes) << "yes=" << yes;
    wait_for([] { return false; }, 20);  // the watcher's own turn ends here
  }
}

INSTANTIATE_TEST_SUITE_P(Styles, AlertViewTest,
                         ::testing::Values(AlertCase{0x0100, QColor(0, 160, 0), false},
                                           AlertCase{0x0200, QColor(0, 160, 128), false},
                                           AlertCase{0x0301, QColor(160, 160, 0), true},
                                           AlertCase{0x0400, QColor(192, 160, 0), false}));

TEST_F(GuiTest, AlertCancelAndEscapeAskNothing) {
  AlertRequest r = request(0x0301);
  r.title.reset();
  std::string title;
  when_modal<qt::CAlertView>([&](qt::CAlertView* v) {
    title = v->windowTitle().toStdString();
    v->findChild<QPushButton*>(QStringLiteral("2"))->click();
  });
  EXPECT_FALSE(qt::show_alert_dialog(r));
  EXPECT_EQ(title, "Dialog");
  when_modal<qt::CAlertView>([](qt::CAlertView* v) { v->reject(); });
  EXPECT_FALSE(qt::show_alert_dialog(r));
}

}  // namespace
}  // namespace kestrel
