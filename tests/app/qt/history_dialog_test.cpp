// The History dialog over a database the store wrote: the rows, the filter by card, numeric
// sorting, what it shows for a missing or damaged file, and the window's menu item that opens it.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QHeaderView>
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
#include "history/history_path.h"
#include "support/test_images.h"

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
  static constexpr int kSizeColumn = 10;
  static constexpr int kPortColumn = 6;
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

// How each attempt ended is what the dialog shows first: Result and Verified lead, before the
// long file name, hash and info text; the newest attempt is on top.
TEST_F(HistoryDialogTest, ResultAndVerifiedComeFirst) {
  fill();
  qt::HistoryDialog d(db_path(), {});
  QAbstractItemModel* m = d.table()->model();
  EXPECT_EQ(m->headerData(0, Qt::Horizontal).toString().toStdString(), "Result");
  EXPECT_EQ(m->headerData(1, Qt::Horizontal).toString().toStdString(), "Verified");
  EXPECT_EQ(m->headerData(2, Qt::Horizontal).toString().toStdString(), "Started");
  EXPECT_EQ(m->headerData(kSizeColumn, Qt::Horizontal).toString().toStdString(), "Size");
  EXPECT_EQ(m->headerData(kPortColumn, Qt::Horizontal).toString().toStdString(), "Port");
  EXPECT_EQ(cell(d, 0, 0).toStdString(), "OK!");
  EXPECT_EQ(cell(d, 0, 1).toStdString(), "yes");
  // Newest first, by the time each attempt started.
  const QHeaderView* h = d.table()->horizontalHeader();
  EXPECT_EQ(h->sortIndicatorSection(), 2);
  EXPECT_EQ(h->sortIndicatorOrder(), Qt::DescendingOrder);
  // Both are in view where the dialog opens, left of the file and the hash.
  d.show();
  for (int c : {0, 1}) EXPECT_LT(h->sectionViewportPosition(c) + h->sectionSize(c), d.table()->viewport()->width()) << c;
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

// The window's own upgrades carry the card's board, port, serial and node, and the dialog's card
// filter finds them by each: here a refused file on the second of two cards.
TEST_F(GuiTest, CardFilterFindsTheWindowsOwnUpgrades) {
  backend_.add_card(*sim::make_scenario("meadow"));
  backend_.add_card(*sim::make_scenario("TB610M-1CH"));
  test::TempDir files;
  open();
  auto* cards = view().findChild<QComboBox*>(QString::number(ids::CARD_LIST));
  cards->setCurrentIndex(1);
  Q_EMIT cards->activated(1);
  const std::string db = resolve_history_path().path;
  auto rows_for = [&](const std::string& card) {
    qt::HistoryDialog d(db, card);
    return d.table()->model()->rowCount();
  };
  const int before_port = rows_for("1-2"), before_serial = rows_for("KSIM0002");
  view().answer_next_open_file(files.write("empty.img", {}));
  view().dispatch_command(ids::BTN_USB_FIRMWARE);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(rows_for("1-2"), before_port + 1);
  EXPECT_EQ(rows_for("KSIM0002"), before_serial + 1);
  EXPECT_GE(rows_for("sim:1"), 1);

  // The filter's list offers the card by its port, and choosing it shows only its rows.
  qt::HistoryDialog d(db, {});
  const int at = d.card_box()->findData(QStringLiteral("1-2"));
  ASSERT_GE(at, 0);
  EXPECT_TRUE(d.card_box()->itemText(at).contains(QStringLiteral("TB610M-1CH"))) << d.card_box()->itemText(at).toStdString();
  d.card_box()->setCurrentIndex(at);
  QAbstractItemModel* m = d.table()->model();
  ASSERT_EQ(m->rowCount(), before_port + 1);
  bool refused_seen = false;
  for (int r = 0; r < m->rowCount(); ++r) {
    EXPECT_EQ(m->index(r, 6).data().toString().toStdString(), "1-2");
    EXPECT_EQ(m->index(r, 5).data().toString().toStdString(), "KSIM0002");
    if (m->index(r, 0).data().toString() == QStringLiteral("refused")) refused_seen = true;
  }
  EXPECT_TRUE(refused_seen);
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
