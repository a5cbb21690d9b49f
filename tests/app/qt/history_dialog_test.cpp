// The History dialog over a database the store wrote: the rows, the filter by card, numeric
// sorting, what it shows for a missing or damaged file, and the window's menu item that opens it.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QMenuBar>
#include <QTableView>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "app/ids.h"
#include "app/qt/history_dialog.h"
#include "gui_fixture.h"
#include "history_fixture.h"

namespace {

using namespace kestrel;
using namespace kestrel::history;
using test::GuiTest;

class HistoryDialogTest : public test::HistoryTest {
 protected:
  // Three ended attempts on two cards, of 300, 40 and 5 bytes.
  void fill() {
    HistoryStore store = HistoryStore::open(db_path());
    Outcome ok;
    ok.result = Result::Ok;
    ok.verified = true;
    for (uint64_t size : {300, 40}) {
      Attempt a = test::flash_attempt();
      a.file_size = size;
      ASSERT_TRUE(store.finish(store.begin(a).id, ok).ok);
    }
    Attempt h = test::hid_attempt();
    h.file_size = 5;
    ASSERT_TRUE(store.finish(store.begin(h).id, ok).ok);
  }
  static QString cell(const qt::HistoryDialog& d, int row, int column) {
    return d.table()->model()->index(row, column).data().toString();
  }
  static constexpr int kSizeColumn = 8;
  static constexpr int kPortColumn = 4;
};

TEST_F(HistoryDialogTest, FiltersByCardAndSortsSizesAsNumbers) {
  fill();
  qt::HistoryDialog d(db_path(), {});
  QAbstractItemModel* m = d.table()->model();
  EXPECT_EQ(m->rowCount(), 3);
  EXPECT_EQ(m->columnCount(), 20);
  EXPECT_TRUE(d.status()->text().startsWith(QStringLiteral("3 attempts in "))) << d.status()->text().toStdString();
  // "All cards" and one item per card.
  ASSERT_EQ(d.card_box()->count(), 3);

  d.table()->sortByColumn(kSizeColumn, Qt::AscendingOrder);
  EXPECT_EQ(cell(d, 0, kSizeColumn), "5");
  EXPECT_EQ(cell(d, 1, kSizeColumn), "40");
  EXPECT_EQ(cell(d, 2, kSizeColumn), "300");

  d.card_box()->setCurrentIndex(d.card_box()->findData(QStringLiteral("1-2.3")));
  ASSERT_EQ(m->rowCount(), 2);
  for (int r = 0; r < 2; ++r) EXPECT_EQ(cell(d, r, kPortColumn), "1-2.3");
  d.card_box()->setCurrentIndex(0);
  EXPECT_EQ(m->rowCount(), 3);
}

TEST_F(HistoryDialogTest, OpensFilteredToOneCardByAnyOfItsNames) {
  fill();
  struct Case {
    const char* card;
    int rows;
  } cases[] = {{"TB610M-1CH", 2}, {"/dev/hidraw0", 1}, {"SN0042", 2}, {"1-2", 0}, {"", 3}};
  for (const Case& c : cases) {
    qt::HistoryDialog d(db_path(), c.card);
    EXPECT_EQ(d.table()->model()->rowCount(), c.rows) << c.card;
    EXPECT_EQ(d.card_box()->currentData().toString().toStdString(), c.card);
    d.reload();  // keeps the chosen card
    EXPECT_EQ(d.table()->model()->rowCount(), c.rows) << c.card;
  }
}

TEST_F(HistoryDialogTest, MissingOrDamagedDatabaseSaysSo) {
  const std::string missing = db_path("none.db");
  qt::HistoryDialog empty(missing, {});
  EXPECT_EQ(empty.table()->model()->rowCount(), 0);
  EXPECT_TRUE(empty.status()->text().startsWith(QStringLiteral("0 attempts")));
  struct stat st {};
  EXPECT_NE(stat(missing.c_str(), &st), 0) << "looking must not create the database";

  std::ofstream(db_path()) << std::string(4096, 'x');
  qt::HistoryDialog bad(db_path(), {});
  EXPECT_EQ(bad.table()->model()->rowCount(), 0);
  EXPECT_TRUE(bad.status()->text().contains(QStringLiteral("not a database"))) << bad.status()->text().toStdString();
}

// The window's menu item opens the dialog over the database KESTREL_HISTORY names; nothing goes
// to the card.
TEST_F(GuiTest, HistoryMenuItemOpensTheHistory) {
  std::string dir = ::testing::TempDir() + "/history_menu_XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string db = dir + "/history.db";
  {
    HistoryStore store = HistoryStore::open(db);
    ASSERT_TRUE(store.begin(test::flash_attempt()).ok);
  }
  setenv("KESTREL_HISTORY", db.c_str(), 1);
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  open();
  QAction* item = view().menu_bar()->findChild<QAction*>(QStringLiteral("history"));
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->text(), QStringLiteral("History..."));
  card->clear_reports();
  item->trigger();
  auto* dialog = view().findChild<qt::HistoryDialog*>();
  unsetenv("KESTREL_HISTORY");
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(dialog->table()->model()->rowCount(), 1);
  EXPECT_TRUE(card->reports().empty());
  dialog->close();
  std::filesystem::remove_all(dir);
}

// The attached card's own rows are one click from the window: the View menu's item opens the
// history filtered to the card's node.
TEST_F(GuiTest, CardHistoryItemShowsTheAttachedCardsRows) {
  std::string dir = ::testing::TempDir() + "/history_card_XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string db = dir + "/history.db";
  {
    HistoryStore store = HistoryStore::open(db);
    Attempt mine = test::flash_attempt(), other = test::flash_attempt();
    mine.card.node = "sim:0";
    other.card.node = "sim:7";
    other.card.board = "rw820c";
    ASSERT_TRUE(store.begin(mine).ok);
    ASSERT_TRUE(store.begin(other).ok);
  }
  setenv("KESTREL_HISTORY", db.c_str(), 1);
  open();
  QAction* item = view().menu_bar()->findChild<QAction*>(QStringLiteral("card-history"));
  ASSERT_NE(item, nullptr);
  view().refresh_menu();
  EXPECT_FALSE(item->isEnabled());  // no card yet
  backend_.add_card(*sim::make_scenario("meadow"));
  ASSERT_TRUE(test::wait_for([&] { return view().item_count(ids::CARD_LIST) == 1; }));
  view().refresh_menu();
  ASSERT_TRUE(item->isEnabled());
  item->trigger();
  auto* dialog = view().findChild<qt::HistoryDialog*>();
  unsetenv("KESTREL_HISTORY");
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->table()->model()->rowCount(), 1);
  dialog->close();
  std::filesystem::remove_all(dir);
}

}  // namespace
