// One language per locale: under the English table every text the main window, its menus, the
// confirmation dialog (each verdict) and the About box show is English; under the Chinese table
// the texts of the card's vocabulary are exactly its own.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "app/ids.h"
#include "app/qt/alert_view.h"
#include "gui_fixture.h"
#include "update/image_check.h"

namespace kestrel {
namespace {

using test::GuiTest;
using test::wait_for;

bool ascii(const QString& s) {
  for (QChar c : s)
    if (c.unicode() >= 0x80) return false;
  return true;
}

// Every text a user can read in the window: the title, the controls, the list items, the menus'
// titles, items and tooltips. The log pane is left out: log lines stay as the card's are.
std::vector<QString> visible_texts(qt::QtView& v) {
  std::vector<QString> out{v.windowTitle()};
  for (QWidget* w : v.findChildren<QWidget*>()) {
    if (w == &v.log_pane() || v.log_pane().isAncestorOf(w)) continue;
    if (auto* b = qobject_cast<QAbstractButton*>(w)) out.push_back(b->text());
    else if (auto* l = qobject_cast<QLabel*>(w)) out.push_back(l->text());
    else if (auto* e = qobject_cast<QLineEdit*>(w)) out.push_back(e->text());
    if (auto* c = qobject_cast<QComboBox*>(w))
      for (int i = 0; i < c->count(); ++i) out.push_back(c->itemText(i));
  }
  for (QAction* top : v.menu_bar()->actions()) {
    out.push_back(top->text());
    for (QAction* a : top->menu()->actions()) {
      out.push_back(a->text());
      out.push_back(a->toolTip());
    }
  }
  return out;
}

TEST_F(GuiTest, EnglishTableWindowAndMenusShowNoChinese) {
  ui_text_select(false);
  backend_.add_card(*sim::make_scenario("TB610R-1CH"));
  open();
  for (const QString& t : visible_texts(view())) EXPECT_TRUE(ascii(t)) << t.toStdString();
  std::vector<std::string> titles;
  for (QAction* top : view().menu_bar()->actions()) titles.push_back(top->text().toStdString());
  EXPECT_EQ(titles, (std::vector<std::string>{"&Card", "&Diagnostics", "&Service", "&View", "&Help"}));
  EXPECT_EQ(view().menu_item(ids::ID_ABOUT)->text().toStdString(), "&About kestrel...");
  EXPECT_EQ(view().menu_item(ids::ID_HELP)->text().toStdString(), "User Guide\tF1");
}

TEST_F(GuiTest, ChineseTableKeepsTheCardsOwnTexts) {
  ui_text_select(true);
  backend_.add_card(*sim::make_scenario("TB610R-1CH"));
  open();
  const std::pair<uint32_t, const char*> items[] = {
      {ids::ID_ABOUT, "关于 kestrel(&A)..."}, {32802, "版本信息查询"}, {32801, "查询调试信息"},
      {32800, "运行状态查询"}, {32823, "监视状态查询"}, {32812, "调试模式切换"}, {32813, "驱动FPGA重新初始化"},
      {32814, "驱动设备重新初始化"}, {32815, "音视频接口重新初始化"}, {32809, "Restart 重新初始化"},
      {32810, "probe 视频手动检测"}, {32811, "video  启动视频输出"}, {32817, "保存 FPGA 寄存器"},
      {32818, "保存 TB610R FPGA 寄存器"}, {32819, "保存 TB610 FPGA 寄存器"}, {32820, "保存 TB720V FPGA 寄存器"}};
  for (const auto& [id, text] : items) {
    QAction* a = view().menu_item(id);
    ASSERT_NE(a, nullptr) << id;
    EXPECT_EQ(a->text().toStdString(), text) << id;
  }
  EXPECT_EQ(view().menu_bar()->actions().at(0)->text().toStdString(), "采集卡(&C)");
  EXPECT_EQ(view().text(ids::BTN_EXIT), "退  出");
  EXPECT_EQ(view().text(ids::BTN_VIDEO_PROPS), "视频属性调节");
}

// The confirmation of each verdict row as the match check fills it, and the question the accept
// button asks again for the dangerous ones.
struct Verdict {
  uint16_t style;
  const char* verdict;
  const char* accept;
  const char* info;  // what stands in the info part: an image's info text or a fallback
};

class ConfirmationLanguage : public GuiTest, public ::testing::WithParamInterface<Verdict> {};

struct Shown {
  std::vector<QString> texts;
  QString question;
  bool no_is_default = false;
};

Shown show_and_answer(const AlertRequest& r) {
  Shown s;
  QTimer::singleShot(0, [&] {
    qt::CAlertView* v = nullptr;
    if (!wait_for([&] { return (v = qobject_cast<qt::CAlertView*>(QApplication::activeModalWidget())) != nullptr; })) return;
    s.texts = {v->windowTitle(), v->findChild<QPlainTextEdit*>(QStringLiteral("1504"))->toPlainText(),
               v->findChild<QLineEdit*>(QStringLiteral("1505"))->text(),
               v->findChild<QPushButton*>(QStringLiteral("1"))->text(), v->findChild<QPushButton*>(QStringLiteral("2"))->text()};
    QTimer::singleShot(0, [&, alive = QPointer<qt::CAlertView>(v)] {
      QMessageBox* q = nullptr;
      wait_for([&] {
        q = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        return q != nullptr || !alive || !alive->isVisible();
      });
      if (!q) return;
      s.question = q->text();
      s.no_is_default = q->defaultButton() == q->button(QMessageBox::No);
      for (QAbstractButton* b : q->buttons()) s.texts.push_back(b->text());
      q->button(QMessageBox::No)->click();
    });
    v->findChild<QPushButton*>(QStringLiteral("1"))->click();
  });
  qt::show_alert_dialog(r);
  wait_for([] { return false; }, 20);
  return s;
}

TEST_P(ConfirmationLanguage, EnglishUnderTheEnglishTableTheCardsTextsUnderTheChinese) {
  const Verdict v = GetParam();
  AlertRequest r;
  r.style = v.style;
  r.title = ALERT_TITLE;
  r.info = std::string(" 固件信息:\r\n ") + v.info + "\r\n\r\n 目标信息:\r\n 与固件信息不匹配, 不能正常识别\r\n";
  r.verdict = v.verdict;
  r.accept_caption = v.accept;
  r.cancel_caption = ALERT_CANCEL;

  ui_text_select(false);
  const Shown en = show_and_answer(r);
  ASSERT_EQ(en.texts.size(), r.reconfirm() ? 7u : 5u);
  for (const QString& t : en.texts) EXPECT_TRUE(ascii(t)) << t.toStdString();
  EXPECT_TRUE(en.texts[1].contains(QStringLiteral("Firmware info:")));
  EXPECT_EQ(en.texts[4].toStdString(), "Cancel");
  EXPECT_TRUE(ascii(en.question)) << en.question.toStdString();
  EXPECT_EQ(!en.question.isEmpty(), r.reconfirm());

  ui_text_select(true);
  const Shown zh = show_and_answer(r);
  ASSERT_EQ(zh.texts.size(), en.texts.size());
  EXPECT_EQ(zh.texts[0].toStdString(), ALERT_TITLE);
  EXPECT_EQ(zh.texts[2].toStdString(), v.verdict);
  EXPECT_EQ(zh.texts[3].toStdString(), v.accept);
  EXPECT_EQ(zh.texts[4].toStdString(), ALERT_CANCEL);
  if (r.reconfirm()) {
    EXPECT_EQ(zh.question.toStdString(), std::string(v.verdict) + "是否" + v.accept);
    // No is the default answer in both languages: Enter does not force an upgrade.
    EXPECT_TRUE(en.no_is_default);
    EXPECT_TRUE(zh.no_is_default);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConfirmationLanguage,
    ::testing::Values(Verdict{ALERT_STYLE_SUITS, VERDICT_SUITS, ACCEPT_UPGRADE, "TB610M-1CH:V2 build 2024-12-25 10:01:06 GCC:"},
                      Verdict{ALERT_STYLE_CAREFUL, VERDICT_CAREFUL, ACCEPT_CAREFUL, "TB610M:V2 build 2024-12-25 10:01:06 GCC:"},
                      Verdict{ALERT_STYLE_FORCE, VERDICT_CONFLICT, ACCEPT_FORCE, "TB610K-1CH:V2 build 2024-12-25 10:01:06 GCC:"},
                      Verdict{ALERT_STYLE_FORCE, VERDICT_MISMATCH, ACCEPT_FORCE, IMAGE_INFO_UNKNOWN_FILE},
                      Verdict{ALERT_STYLE_FORCE, VERDICT_MISMATCH, ACCEPT_FORCE, IMAGE_INFO_DAMAGED},
                      Verdict{ALERT_STYLE_FORCE, VERDICT_MISMATCH, ACCEPT_FORCE, IMAGE_INFO_UNRECOGNISED}));

TEST_F(GuiTest, AboutBoxIsEnglishAndShowsTheProgramsIcon) {
  ui_text_select(false);
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  std::vector<QString> texts;
  QImage icon;
  QRect icon_at;
  QTimer::singleShot(0, [&] {
    QWidget* box = nullptr;
    if (!wait_for([&] { return (box = QApplication::activeModalWidget()) != nullptr; })) return;
    texts = {box->windowTitle(), box->findChild<QPlainTextEdit*>(QStringLiteral("1502"))->toPlainText(),
             box->findChild<QPushButton*>(QStringLiteral("1"))->text()};
    auto* label = box->findChild<QLabel*>(QStringLiteral("128"));
    icon = label->pixmap().toImage();
    icon_at = label->geometry();
    static_cast<QDialog*>(box)->accept();
  });
  view().dispatch_command(ids::ID_ABOUT);
  ASSERT_EQ(texts.size(), 3u);
  for (const QString& t : texts) EXPECT_TRUE(ascii(t)) << t.toStdString();
  // Icon 128 (the program's own, not a message-box symbol), its corner at (14, 14) in dialog units.
  ASSERT_FALSE(icon.isNull());
  const QImage own = QIcon(QStringLiteral(":/kestrel/kestrel.png")).pixmap(icon_at.size()).toImage();
  EXPECT_EQ(icon.convertToFormat(QImage::Format_ARGB32), own.convertToFormat(QImage::Format_ARGB32));
  const qt::BaseUnits u = qt::platform_base_units(QFont(qt::dialog_font_family(), 12));
  EXPECT_EQ(icon_at.topLeft(), QPoint(qt::du_x(u, 14), qt::du_y(u, 14)));
}

// Under the Chinese table the About box is Chinese: title, text and button; only the names it
// keeps as they are (kestrel, usbd, the card's link text, the build stamp) are Latin.
TEST_F(GuiTest, AboutBoxIsChineseUnderTheChineseTable) {
  ui_text_select(true);
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  std::vector<QString> texts;
  QTimer::singleShot(0, [&] {
    QWidget* box = nullptr;
    if (!wait_for([&] { return (box = QApplication::activeModalWidget()) != nullptr; })) return;
    texts = {box->windowTitle(), box->findChild<QPlainTextEdit*>(QStringLiteral("1502"))->toPlainText(),
             box->findChild<QPushButton*>(QStringLiteral("1"))->text()};
    static_cast<QDialog*>(box)->accept();
  });
  view().dispatch_command(ids::ID_ABOUT);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_TRUE(texts[0].startsWith(QStringLiteral("关于 kestrel usbd: "))) << texts[0].toStdString();
  EXPECT_TRUE(texts[1].contains(QStringLiteral("请只在电源稳定时升级采集卡。"))) << texts[1].toStdString();
  EXPECT_TRUE(texts[1].contains(QStringLiteral("kestrel 2.0.6800 build"))) << texts[1].toStdString();
  EXPECT_EQ(texts[2].toStdString(), "确定");
  for (const QString& t : texts) {
    EXPECT_FALSE(t.contains(QStringLiteral("About"))) << t.toStdString();
    EXPECT_FALSE(t.contains(QStringLiteral("Upgrade"))) << t.toStdString();
    EXPECT_NE(t.toStdString(), "OK");
  }
}

}  // namespace
}  // namespace kestrel
