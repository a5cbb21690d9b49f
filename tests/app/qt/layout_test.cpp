// The window's layout in both languages: every text fits its control, every character is in
// the dialog font, the controls stay inside the window and do not overlap. Likewise for the
// property dialog, the About box and the upgrade confirmation.
#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSlider>
#include <QTimer>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>

#include "app/ids.h"
#include "app/qt/alert_view.h"
#include "app/qt/dialog_template.h"
#include "gui_fixture.h"
#include "update/image_check.h"

namespace kestrel {
namespace {

using qt::ControlKind;

// The width the style leaves for a control's text.
int text_room(QWidget* w, ControlKind kind) {
  QStyleOptionButton opt;
  opt.initFrom(w);
  QStyle* st = w->style();
  switch (kind) {
    case ControlKind::PushButton: return st->subElementRect(QStyle::SE_PushButtonContents, &opt, w).width();
    case ControlKind::CheckBox: return st->subElementRect(QStyle::SE_CheckBoxContents, &opt, w).width();
    case ControlKind::Radio: return st->subElementRect(QStyle::SE_RadioButtonContents, &opt, w).width();
    case ControlKind::StaticLeft:
    case ControlKind::StaticRight: return w->contentsRect().width();
    default: return -1;
  }
}

class Layout : public test::GuiTest, public ::testing::WithParamInterface<bool> {};

TEST_P(Layout, EveryTextFitsAndRenders) {
  ui_text_select(GetParam());
  auto s = *sim::make_scenario("meadow");
  backend_.add_card(s);
  open();
  const QFontMetrics fm(view().dialog_font());
  int checked = 0;
  for (const qt::ControlSpec& c : qt::main_dialog_template().controls) {
    QWidget* w = view().control(c.id);
    ASSERT_NE(w, nullptr);
    const int room = text_room(w, c.kind);
    if (room < 0) continue;
    // What the control shows now, and every other text it may show.
    std::vector<std::string> texts = view().texts_of(c.id);
    texts.push_back(view().text(c.id));
    for (const std::string& t : texts) {
      const QString q = QString::fromStdString(t);
      EXPECT_LE(fm.horizontalAdvance(q), room) << c.id << " '" << t << "' is clipped";
      EXPECT_LE(fm.height(), w->height()) << c.id;
      for (char32_t ch : q.toUcs4()) EXPECT_TRUE(fm.inFontUcs4(ch)) << c.id << " U+" << std::hex << static_cast<uint32_t>(ch) << " has no glyph";
      ++checked;
    }
  }
  EXPECT_GE(checked, 20);
  // The runtime texts are those of the chosen table.
  EXPECT_EQ(view().text(ids::BTN_EXIT), ui_text[39]);
  EXPECT_EQ(view().text(ids::CAPTION_UPGRADE), ui_text[8]);

  // Drop-down lists: the dropped list is wide enough for every item.
  for (uint32_t id : {ids::CARD_LIST, ids::INPUT_LIST, ids::DEFAULT_SIZE_LIST, ids::OUTPUT_PORT_LIST}) {
    auto* c = qobject_cast<QComboBox*>(view().control(id));
    for (int i = 0; i < c->count(); ++i)
      EXPECT_LT(fm.horizontalAdvance(c->itemText(i)), c->view()->minimumWidth()) << id << " " << i;
  }
}

TEST_P(Layout, ControlsStayInsideAndApart) {
  ui_text_select(GetParam());
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  const auto controls = qt::main_dialog_template().controls;
  const QRect client = view().rect();
  for (size_t i = 0; i < controls.size(); ++i) {
    const QRect a = view().control(controls[i].id)->geometry();
    EXPECT_TRUE(client.contains(a)) << controls[i].id;
    for (size_t j = i + 1; j < controls.size(); ++j)
      EXPECT_FALSE(a.intersects(view().control(controls[j].id)->geometry())) << controls[i].id << " and " << controls[j].id;
  }
  // Base units as the platform derives them, widened only as far as the texts need.
  EXPECT_GE(view().units().x, view().platform_units().x);
  EXPECT_LE(view().units().x, view().platform_units().x + 4);
  EXPECT_EQ(view().units().y, view().platform_units().y);
  // objectName is the control id.
  EXPECT_EQ(view().findChild<QWidget*>(QStringLiteral("1042")), view().control(ids::HOLD_BOX));
}

// ---- The dialogs: the property dialog, the About box, the upgrade confirmation ---------------

// Runs `inside` on the dialog the command opens, from the dialog's own loop, then closes it.
void with_dialog(qt::QtView& view, uint32_t command, const std::function<void(QDialog&)>& inside) {
  bool seen = false;
  QObject scope;  // the queued look-up dies with this call when no dialog ever opened
  QTimer::singleShot(0, &scope, [&] {
    QDialog* d = nullptr;
    test::wait_for([&] { return (d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) != nullptr; });
    if (!d) return;
    seen = true;
    test::wait_for([] { return false; }, 50);  // shown and laid out, scroll bars settled
    inside(*d);
    d->reject();
  });
  view.dispatch_command(command);
  EXPECT_TRUE(seen) << command;
}

// Every character of `text` has a glyph in the font.
void expect_glyphs(const QFontMetrics& fm, const QString& text, const std::string& where) {
  for (char32_t ch : text.toUcs4())
    if (ch != U'\n') EXPECT_TRUE(fm.inFontUcs4(ch)) << where << " U+" << std::hex << static_cast<uint32_t>(ch) << " has no glyph";
}

int button_room(QPushButton* b) {
  QStyleOptionButton opt;
  opt.initFrom(b);
  return b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b).width();
}

void expect_button_fits(QPushButton* b, const std::string& where) {
  ASSERT_NE(b, nullptr) << where;
  const QFontMetrics fm(b->font());
  EXPECT_LE(fm.horizontalAdvance(b->text()), button_room(b)) << where << " '" << b->text().toStdString() << "' is clipped";
  EXPECT_LE(fm.height(), b->height()) << where;
  expect_glyphs(fm, b->text(), where);
}

void expect_label_fits(QLabel* l, const QString& text, const std::string& where) {
  ASSERT_NE(l, nullptr) << where;
  const QFontMetrics fm(l->font());
  EXPECT_LE(fm.horizontalAdvance(text), l->contentsRect().width()) << where << " '" << text.toStdString() << "' is clipped";
  EXPECT_LE(fm.height(), l->contentsRect().height() + 2) << where;  // a frame's line may touch the descent
  expect_glyphs(fm, text, where);
}

// A text edit that shows all of its text: nothing to scroll to either way.
void expect_edit_shows_all(QAbstractScrollArea* e, const std::string& where) {
  ASSERT_NE(e, nullptr) << where;
  EXPECT_EQ(e->verticalScrollBar()->maximum(), 0) << where << " hides lines";
  EXPECT_EQ(e->horizontalScrollBar()->maximum(), 0) << where << " hides columns";
}

TEST_P(Layout, PropertyDialogTextsFit) {
  ui_text_select(GetParam());
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  with_dialog(view(), ids::BTN_VIDEO_PROPS, [](QDialog& d) {
    for (uint32_t n = 0; n <= 12; ++n) {
      auto* caption = d.findChild<QLabel*>(QString::number(1700 + n));
      ASSERT_NE(caption, nullptr) << 1700 + n;
      EXPECT_FALSE(caption->text().isEmpty()) << 1700 + n;
      expect_label_fits(caption, caption->text(), std::to_string(1700 + n));
    }
    // The value labels, with the widest value each row can show.
    for (uint32_t n = 0; n < 12; ++n) {
      auto* value = d.findChild<QLabel*>(QString::number(1800 + n));
      auto* bar = d.findChild<QSlider*>(QString::number(1600 + n));
      ASSERT_NE(bar, nullptr) << 1600 + n;
      for (int v : {bar->minimum(), bar->maximum()}) expect_label_fits(value, QString::number(v), std::to_string(1800 + n));
    }
    for (uint32_t id : {1510u, 1511u, 1u, 2u}) expect_button_fits(d.findChild<QPushButton*>(QString::number(id)), std::to_string(id));
    // The audio-policy list: every item fits the closed box and the dropped list.
    auto* list = d.findChild<QComboBox*>(QStringLiteral("1901"));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count(), 12);
    QStyleOptionComboBox opt;
    opt.initFrom(list);
    const int room = list->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, list).width();
    const QFontMetrics fm(list->font());
    for (int i = 0; i < list->count(); ++i) {
      EXPECT_LE(fm.horizontalAdvance(list->itemText(i)), room) << "1901 item " << i << " '" << list->itemText(i).toStdString() << "'";
      expect_glyphs(fm, list->itemText(i), "1901");
    }
    // Every control inside the dialog.
    for (QWidget* w : d.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
      EXPECT_TRUE(d.rect().contains(w->geometry())) << w->objectName().toStdString();
  });
}

TEST_P(Layout, AboutBoxShowsAllOfItsText) {
  ui_text_select(GetParam());
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  with_dialog(view(), ids::ID_ABOUT, [](QDialog& d) {
    expect_button_fits(d.findChild<QPushButton*>(QStringLiteral("1")), "About OK");
    auto* text = d.findChild<QPlainTextEdit*>(QStringLiteral("1502"));
    expect_edit_shows_all(text, "1502");
    expect_glyphs(QFontMetrics(text->font()), text->toPlainText(), "1502");
    for (QWidget* w : d.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
      EXPECT_TRUE(d.rect().contains(w->geometry())) << w->objectName().toStdString();
  });
}

// The four verdict rows of the match check, as the check fills the request.
AlertRequest verdict_row(uint16_t style, const char* verdict, const char* accept) {
  AlertRequest r;
  r.style = style;
  r.title = ALERT_TITLE;
  r.info = std::string(" 固件信息:\r\n TB610K-1CH:V2.0.6800 build 2024-12-25 10:01:06 GCC: (GNU) 12.2.0\r\n");
  r.verdict = verdict;
  r.accept_caption = accept;
  r.cancel_caption = ALERT_CANCEL;
  return r;
}

TEST_P(Layout, ConfirmationVerdictAndCaptionsFit) {
  ui_text_select(GetParam());
  for (const AlertRequest& r : {verdict_row(ALERT_STYLE_SUITS, VERDICT_SUITS, ACCEPT_UPGRADE),
                                verdict_row(ALERT_STYLE_CAREFUL, VERDICT_CAREFUL, ACCEPT_CAREFUL),
                                verdict_row(ALERT_STYLE_FORCE, VERDICT_CONFLICT, ACCEPT_FORCE),
                                verdict_row(ALERT_STYLE_FORCE, VERDICT_MISMATCH, ACCEPT_FORCE)}) {
    qt::CAlertView v(&r);
    v.show();
    const std::string where = *r.verdict;
    expect_button_fits(v.findChild<QPushButton*>(QStringLiteral("1")), where + " accept");
    expect_button_fits(v.findChild<QPushButton*>(QStringLiteral("2")), where + " cancel");
    auto* line = v.findChild<QLineEdit*>(QStringLiteral("1505"));
    ASSERT_NE(line, nullptr);
    QString shown = line->text();
    shown.remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
    const QFontMetrics fm(line->font());
    // QLineEdit keeps 2 pixels on either side of its text.
    EXPECT_LE(fm.horizontalAdvance(shown) + 4, line->contentsRect().width()) << where << " is clipped";
    EXPECT_EQ(line->cursorPosition(), 0) << where;  // shown from its beginning
    expect_glyphs(fm, shown, where);
    // The information of one line pair fits without scrolling sideways.
    EXPECT_EQ(v.findChild<QPlainTextEdit*>(QStringLiteral("1504"))->horizontalScrollBar()->maximum(), 0) << where;
    for (QWidget* w : v.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
      EXPECT_TRUE(v.rect().contains(w->geometry())) << w->objectName().toStdString();
    v.hide();
  }
}

INSTANTIATE_TEST_SUITE_P(Languages, Layout, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Chinese" : "English"; });

}  // namespace
}  // namespace kestrel
