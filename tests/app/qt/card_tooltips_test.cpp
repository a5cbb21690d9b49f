// The card list names each card's USB port, serial and node in its items' tooltips, while the
// items' texts stay the display names.
#include <QComboBox>

#include "app/ids.h"
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

}  // namespace
}  // namespace kestrel::test
