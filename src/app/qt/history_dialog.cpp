#include "app/qt/history_dialog.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

#include <sys/stat.h>

#include "history/history_path.h"
#include "history/history_store.h"

namespace kestrel::qt {

namespace {

using namespace history;

// Each row's card identities, one per line, filtered by an exact line match.
constexpr int kCardRole = Qt::UserRole + 1;
// What a column sorts by: times and sizes as numbers, not as their text.
constexpr int kSortRole = Qt::UserRole + 2;

// How each attempt ended comes first, where the dialog opens: the file, its hash and info text are
// long and would push it off to the right.
const char* const kColumns[] = {"Result", "Verified", "Started", "Ended", "Board", "USB serial", "Port", "Node",
                                "Kind", "File", "Size", "SHA-256", "Info", "Verdict", "Forced", "Path",
                                "Engine result", "Version before", "Version after", "Detail"};
constexpr int kStartedColumn = 2;

QString qs(const std::string& s) { return QString::fromStdString(s); }

QStandardItem* cell(const QString& text, const QVariant& sort = {}) {
  auto* item = new QStandardItem(text);
  item->setData(sort.isValid() ? sort : QVariant(text), kSortRole);
  item->setEditable(false);
  return item;
}

QStandardItem* time_cell(std::optional<int64_t> ms) {
  if (!ms) return cell({}, QVariant(qint64(-1)));
  return cell(QDateTime::fromMSecsSinceEpoch(*ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), qint64(*ms));
}

QList<QStandardItem*> row_of(const Record& r) {
  const Attempt& a = r.attempt;
  const QString verified = !r.verified ? QString() : *r.verified ? QStringLiteral("yes") : QStringLiteral("no");
  QList<QStandardItem*> row = {
      cell(result_name(r.result)), cell(verified), time_cell(r.started_ms), time_cell(r.ended_ms),
      cell(qs(a.card.board)), cell(qs(a.card.usb_serial)), cell(qs(a.card.port_path)), cell(qs(a.card.node)),
      cell(image_kind_name(a.kind)), cell(qs(a.file_name)), cell(QString::number(a.file_size), qulonglong(a.file_size)),
      cell(qs(a.sha256)), cell(qs(a.info_text).simplified()), cell(qs(a.verdict).trimmed()), cell(a.forced ? "yes" : ""),
      cell(transfer_path_name(a.path)),
      r.engine_result ? cell(QString::number(*r.engine_result), *r.engine_result) : cell({}),
      cell(qs(a.version_before)), cell(qs(r.version_after)), cell(qs(r.detail))};
  const QString ids = QStringList{qs(a.card.board), qs(a.card.usb_serial), qs(a.card.port_path), qs(a.card.node)}.join('\n');
  row[0]->setData(ids, kCardRole);
  return row;
}

// The filter's label for a card: board, then port path, serial and node where known.
QString card_label(const CardIdentity& c) {
  QStringList parts;
  for (const std::string* p : {&c.board, &c.port_path, &c.usb_serial, &c.node})
    if (!p->empty()) parts << qs(*p);
  return parts.join(QStringLiteral("  "));
}

// The identity that best names one card: its port path, else serial, node, board.
std::string card_key(const CardIdentity& c) {
  for (const std::string* p : {&c.port_path, &c.usb_serial, &c.node, &c.board})
    if (!p->empty()) return *p;
  return {};
}

}  // namespace

HistoryDialog::HistoryDialog(const std::string& db_path, const std::string& card, QWidget* parent)
    : QDialog(parent),
      db_path_(db_path.empty() ? resolve_history_path().path : db_path),
      model_(new QStandardItemModel(this)),
      proxy_(new QSortFilterProxyModel(this)),
      table_(new QTableView(this)),
      card_box_(new QComboBox(this)),
      status_(new QLabel(this)) {
  setWindowTitle(QStringLiteral("Upgrade history"));
  setObjectName(QStringLiteral("history"));
  table_->setObjectName(QStringLiteral("history_table"));
  card_box_->setObjectName(QStringLiteral("history_card"));
  status_->setObjectName(QStringLiteral("history_status"));
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  proxy_->setSourceModel(model_);
  proxy_->setSortRole(kSortRole);
  proxy_->setFilterRole(kCardRole);
  proxy_->setFilterKeyColumn(0);
  table_->setModel(proxy_);
  table_->setSortingEnabled(true);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->hide();
  table_->horizontalHeader()->setStretchLastSection(true);

  auto* reload_button = new QPushButton(QStringLiteral("Reload"), this);
  auto* close_button = new QPushButton(QStringLiteral("Close"), this);
  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel(QStringLiteral("Card:"), this));
  top->addWidget(card_box_, 1);
  top->addWidget(reload_button);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(status_, 1);
  bottom->addWidget(close_button);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(table_, 1);
  layout->addLayout(bottom);
  resize(960, 420);

  connect(reload_button, &QPushButton::clicked, this, &HistoryDialog::reload);
  connect(close_button, &QPushButton::clicked, this, &QDialog::close);
  connect(card_box_, &QComboBox::currentIndexChanged, this,
          [this](int i) { filter_card(card_box_->itemData(i).toString().toStdString()); });
  reload();
  filter_card(card);
  table_->sortByColumn(kStartedColumn, Qt::DescendingOrder);  // the newest attempt first
}

void HistoryDialog::reload() {
  const QString chosen = card_box_->currentData().toString();
  model_->clear();
  model_->setHorizontalHeaderLabels([] {
    QStringList l;
    for (const char* c : kColumns) l << c;
    return l;
  }());
  QSignalBlocker hold(card_box_);
  card_box_->clear();
  card_box_->addItem(QStringLiteral("All cards"), QString());

  std::vector<Record> records;
  struct stat st {};
  // A history never written is shown empty and not created by looking at it.
  if (stat(db_path_.c_str(), &st) == 0) {
    const HistoryRead r = HistoryStore::open_for_reading(db_path_).query();
    if (!r.ok) {
      status_->setText(qs(r.message));
      return;
    }
    records = r.records;
  }
  for (const Record& r : records) {
    model_->appendRow(row_of(r));
    const QString key = qs(card_key(r.attempt.card));
    if (!key.isEmpty() && card_box_->findData(key) < 0) card_box_->addItem(card_label(r.attempt.card), key);
  }
  status_->setText(QStringLiteral("%1 attempts in %2").arg(records.size()).arg(qs(db_path_)));
  card_box_->setCurrentIndex(std::max(0, card_box_->findData(chosen)));
  proxy_->invalidate();
  table_->resizeColumnsToContents();
}

void HistoryDialog::filter_card(const std::string& card) {
  const QString c = qs(card);
  if (card_box_->findData(c) < 0) card_box_->addItem(c, c);
  {
    QSignalBlocker hold(card_box_);
    card_box_->setCurrentIndex(card_box_->findData(c));
  }
  proxy_->setFilterRegularExpression(
      c.isEmpty() ? QRegularExpression()
                  : QRegularExpression("^" + QRegularExpression::escape(c) + "$",
                                       QRegularExpression::MultilineOption));
}

HistoryDialog* show_history_dialog(QWidget* parent, const std::string& card, const std::string& db_path) {
  auto* d = new HistoryDialog(db_path, card, parent);
  d->setAttribute(Qt::WA_DeleteOnClose);
  d->show();
  d->raise();
  return d;
}

}  // namespace kestrel::qt
