// The window's small dialogs on a simulated card: the property dialog opened with button 1500
// and driven like a user, the About box (system-menu item 16).
#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include "app/ids.h"
#include "app/qt/small_dialogs.h"
#include "devlink/commands.h"
#include "devlink/frame.h"
#include "gui_fixture.h"

namespace kestrel {
namespace {

using test::GuiTest;
using test::wait_for;

std::vector<std::vector<uint8_t>> payloads(const sim::SimCard& card, uint8_t cmd) {
  std::vector<std::vector<uint8_t>> out;
  for (auto& r : card.reports_of(sim::ReportKind::Output))
    if (r.size() >= FRAME_HDR && (r[0] == RID_LONG_REQ || r[0] == RID_SHORT_REQ) && r[FRAME_CMD] == cmd)
      out.emplace_back(r.begin() + FRAME_HDR, r.begin() + FRAME_HDR + get_le16(r.data() + FRAME_LEN));
  return out;
}

// Runs `inside` once a modal dialog is up, from the event loop that the dialog runs.
void when_modal(std::function<void(QWidget*)> inside) {
  QTimer::singleShot(0, [inside = std::move(inside)] {
    QWidget* modal = nullptr;
    wait_for([&] { return (modal = QApplication::activeModalWidget()) != nullptr; });
    inside(modal);
  });
}

TEST_F(GuiTest, PropertyDialogMoveThenOkWritesAndStores) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  open();
  card->clear_reports();
  bool seen = false;
  when_modal([&](QWidget* dlg) {
    seen = true;
    EXPECT_EQ(dlg->windowTitle().toStdString(), ui_text[36]);
    auto* bright = dlg->findChild<QSlider*>(QStringLiteral("1600"));
    ASSERT_NE(bright, nullptr);
    EXPECT_EQ(bright->minimum(), -128);
    EXPECT_FALSE(dlg->findChild<QSlider*>(QStringLiteral("1606"))->isEnabled());
    bright->setValue(-20);  // as a keyboard step would
    dlg->findChild<QPushButton*>(QStringLiteral("1"))->click();
  });
  view().dispatch_command(ids::BTN_VIDEO_PROPS);
  ASSERT_TRUE(seen);
  const auto writes = payloads(*card, CMD_PROP_BLOCK);
  ASSERT_EQ(writes.size(), 2u);  // the read at opening, the write at OK
  EXPECT_EQ(get_le16(writes[1].data()), 0x0001);
  EXPECT_EQ(writes[1][2], 0xEC);
  const auto stores = payloads(*card, CMD_UPDATE);
  ASSERT_EQ(stores.size(), 1u);
  EXPECT_EQ(get_le16(stores[0].data()), 0x8001);
}

TEST_F(GuiTest, PropertyDialogEscapeWithoutChangesWritesNothing) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  open();
  card->clear_reports();
  when_modal([](QWidget* dlg) { static_cast<QDialog*>(dlg)->reject(); });
  view().dispatch_command(ids::BTN_VIDEO_PROPS);
  EXPECT_EQ(payloads(*card, CMD_PROP_BLOCK).size(), 1u);  // the read at opening only
  EXPECT_TRUE(payloads(*card, CMD_UPDATE).empty());
}

// Enter presses the button that has the focus: on Default or Revert it does what they do and the
// dialog stays; on Cancel it cancels. Nothing is stored in the card (no command 10) on any of them.
TEST_F(GuiTest, PropertyDialogEnterPressesTheFocusedButton) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  open();
  card->clear_reports();
  bool open_after_default = false, open_after_revert = false;
  int result = -1;
  when_modal([&](QWidget* dlg) {
    auto* bright = dlg->findChild<QSlider*>(QStringLiteral("1600"));
    bright->setValue(-20);
    auto press_enter_on = [&](uint32_t id) {
      auto* b = dlg->findChild<QPushButton*>(QString::number(id));
      b->setFocus();
      QTest::keyClick(b, Qt::Key_Return);
    };
    press_enter_on(1511);  // Default
    open_after_default = dlg->isVisible();
    press_enter_on(1510);  // Revert
    open_after_revert = dlg->isVisible();
    bright->setValue(-30);
    press_enter_on(2);  // Cancel
    result = static_cast<QDialog*>(dlg)->result();
  });
  view().dispatch_command(ids::BTN_VIDEO_PROPS);
  EXPECT_TRUE(open_after_default);
  EXPECT_TRUE(open_after_revert);
  EXPECT_EQ(result, QDialog::Rejected);
  EXPECT_TRUE(payloads(*card, CMD_UPDATE).empty());
}

TEST_F(GuiTest, AboutBoxShowsVersionAndLinkText) {
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  std::string title, text;
  when_modal([&](QWidget* box) {
    title = box->windowTitle().toStdString();
    text = box->findChild<QPlainTextEdit*>(QStringLiteral("1502"))->toPlainText().toStdString();
    box->findChild<QPushButton*>(QStringLiteral("1"))->click();
  });
  view().dispatch_command(ids::ID_ABOUT);
  EXPECT_EQ(title.rfind("About kestrel usbd: ", 0), 0u) << title;
  EXPECT_GT(title.size(), std::string("About kestrel usbd: ").size());
  EXPECT_NE(text.find("kestrel 2.0.6800 build 2024-12-25 10:01:06 +0800 CST"), std::string::npos);
}

TEST_F(GuiTest, AboutBoxWithoutCardKeepsItsTitle) {
  open();
  std::string title;
  when_modal([&](QWidget* box) {
    title = box->windowTitle().toStdString();
    static_cast<QDialog*>(box)->reject();
  });
  view().dispatch_command(ids::ID_ABOUT);
  EXPECT_EQ(title, "About kestrel");
}

}  // namespace
}  // namespace kestrel
