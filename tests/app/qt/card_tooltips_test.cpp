// The card list names each card's USB port, serial and node in its items' tooltips, while the
// items' texts stay the display names.
#include <QComboBox>
#include <QLabel>

#include "app/ids.h"
#include "app/qt/dialog_template.h"
#include "devlink/card_names.h"
#include "gui_fixture.h"

namespace kestrel::test {
namespace {

TEST_F(GuiTest, CardItemsCarryPortAndSerialInTheirTooltips) {
  backend_.add_card(*sim::make_scenario("meadow"));
  backend_.add_card(*sim::make_scenario("TB610M-1CH"));
  open();
  auto* cards = widget<QComboBox>(ids::CARD_LIST);
  ASSERT_NE(cards, nullptr);
  ASSERT_EQ(cards->count(), 2);
  EXPECT_EQ(cards->itemText(0).toStdString(), list_.items[0]->name);
  EXPECT_EQ(cards->itemData(0, Qt::ToolTipRole).toString().toStdString(), "port 1-1  serial KSIM0001\nsim:0");
  EXPECT_EQ(cards->itemData(1, Qt::ToolTipRole).toString().toStdString(), "port 1-2  serial KSIM0002\nsim:1");
  EXPECT_EQ(cards->toolTip().toStdString(), "port 1-1  serial KSIM0001\nsim:0");

  // After an unplug and a replug of the first card the list is made afresh: the tooltips follow.
  backend_.unplug(0);
  ASSERT_TRUE(wait_for([&] { return cards->count() == 1; }));
  EXPECT_EQ(cards->itemData(0, Qt::ToolTipRole).toString().toStdString(), "port 1-2  serial KSIM0002\nsim:1");
}

// Picks item `index` of the card list as a user does.
void pick_card(QComboBox* cards, int index) {
  cards->setCurrentIndex(index);
  Q_EMIT cards->activated(index);
}

// The selected card's board, port and serial read in a line above the card list, without
// hovering, in the active language; the line follows the selection and the card list keeps the
// display names.
class CardLine : public GuiTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CardLine, ShowsTheSelectedCardsBoardPortAndSerial) {
  const bool zh = GetParam();
  ui_text_select(zh);
  backend_.add_card(*sim::make_scenario("meadow"));
  backend_.add_card(*sim::make_scenario("TB610M-1CH"));
  open();
  auto* cards = widget<QComboBox>(ids::CARD_LIST);
  QLabel* line = view().card_line();
  ASSERT_NE(line, nullptr);
  EXPECT_TRUE(line->isVisibleTo(&view()));
  const std::string first = zh ? "板卡型号: meadow   USB端口: 1-1   序列号: KSIM0001"
                               : "Board: meadow   Port: 1-1   Serial: KSIM0001";
  const std::string second = zh ? "板卡型号: TB610M-1CH   USB端口: 1-2   序列号: KSIM0002"
                                : "Board: TB610M-1CH   Port: 1-2   Serial: KSIM0002";
  EXPECT_EQ(line->text().toStdString(), first);
  // Above the card list, as wide as it, inside the window and clear of every control.
  const QRect list = cards->geometry();
  EXPECT_LE(line->geometry().bottom(), list.top());
  EXPECT_EQ(line->geometry().left(), list.left());
  EXPECT_TRUE(view().rect().contains(line->geometry()));
  EXPECT_GE(line->contentsRect().width(), line->fontMetrics().horizontalAdvance(line->text()));
  for (const qt::ControlSpec& c : qt::main_dialog_template().controls)
    EXPECT_FALSE(line->geometry().intersects(view().control(c.id)->geometry())) << c.id;

  pick_card(cards, 1);
  EXPECT_EQ(line->text().toStdString(), second);
  EXPECT_EQ(cards->itemText(1).toStdString(), list_.items[1]->name);  // the names stay as they are
  pick_card(cards, 0);
  EXPECT_EQ(line->text().toStdString(), first);

  // The selected card unplugged: the line names the card selected now.
  backend_.unplug(0);
  ASSERT_TRUE(wait_for([&] { return cards->count() == 1; }));
  ASSERT_TRUE(wait_for([&] { return line->text().toStdString() == second; })) << line->text().toStdString();
  backend_.unplug(1);
  ASSERT_TRUE(wait_for([&] { return cards->count() == 0; }));
  ASSERT_TRUE(wait_for([&] { return line->text().toStdString() == no_card_line(zh); })) << line->text().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Languages, CardLine, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Chinese" : "English"; });

}  // namespace
}  // namespace kestrel::test
