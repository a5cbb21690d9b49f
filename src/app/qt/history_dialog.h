// The History dialog: every recorded upgrade attempt in a sortable table, with a filter by card.
// Opened from the window's menu, or for one card (its board, USB serial, port path or node).
#pragma once

#include <QDialog>

#include <string>

class QComboBox;
class QLabel;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTableView;

namespace kestrel::qt {

class HistoryDialog : public QDialog {
  Q_OBJECT

 public:
  // `db_path` empty: where resolve_history_path() says (KESTREL_HISTORY, the XDG state folder).
  // `card` non-empty: the table opens filtered to that card.
  HistoryDialog(const std::string& db_path, const std::string& card, QWidget* parent = nullptr);

  // Reads the database again; keeps the card chosen in the filter.
  void reload();
  // Shows only the rows of `card` (empty: every card).
  void filter_card(const std::string& card);

  QTableView* table() const { return table_; }
  QComboBox* card_box() const { return card_box_; }
  // The database's path and the number of attempts, or why it could not be read.
  QLabel* status() const { return status_; }

 private:
  std::string db_path_;
  QStandardItemModel* model_;
  QSortFilterProxyModel* proxy_;
  QTableView* table_;
  QComboBox* card_box_;
  QLabel* status_;
};

// Opens the History dialog, not modal, over `parent`; filtered to `card` when it is given.
HistoryDialog* show_history_dialog(QWidget* parent, const std::string& card = {}, const std::string& db_path = {});

}  // namespace kestrel::qt
