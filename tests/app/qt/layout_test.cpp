// The window's layout in both languages: every text fits its control, every character is in
// the dialog font, the controls stay inside the window and do not overlap.
#include <QAbstractButton>
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
#include "app/qt/dialog_template.h"
#include "gui_fixture.h"

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

INSTANTIATE_TEST_SUITE_P(Languages, Layout, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Chinese" : "English"; });

}  // namespace
}  // namespace kestrel
