#include "app/qt/alert_view.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include "app/qt/dialog_units.h"
#include "app/qt/qt_view.h"

namespace kestrel::qt {

namespace {
QString qs(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

QColor verdict_colour(uint8_t c) {
  switch (c) {
    case 1: return QColor(0, 160, 0);
    case 2: return QColor(0, 160, 128);
    case 3: return QColor(160, 160, 0);
    default: return QColor(192, 160, 0);
  }
}

CAlertView::CAlertView(const AlertRequest* request, QWidget* parent) : QDialog(parent), request_(request) {
  setModal(true);
  setWindowTitle(QStringLiteral("Dialog"));
  QFont font(dialog_font_family());
  font.setPointSize(12);
  setFont(font);
  const BaseUnits u = platform_base_units(font);
  setFixedSize(du_x(u, 235), du_y(u, 62));

  auto* ok = new QPushButton(QStringLiteral("确定"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setGeometry(du_rect(u, 150, 48, 40, 12));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("取消"), this);
  cancel->setObjectName(QStringLiteral("2"));
  cancel->setGeometry(du_rect(u, 194, 48, 40, 12));
  auto* info = new QPlainTextEdit(this);
  info->setObjectName(QStringLiteral("1504"));
  info->setGeometry(du_rect(u, 2, 0, 232, 45));
  info->setReadOnly(true);
  info->setLineWrapMode(QPlainTextEdit::NoWrap);
  auto* verdict = new QLineEdit(this);
  verdict->setObjectName(QStringLiteral("1505"));
  verdict->setGeometry(du_rect(u, 2, 48, 147, 12));
  verdict->setReadOnly(true);
  verdict->setFrame(false);
  connect(ok, &QPushButton::clicked, this, &CAlertView::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  QPalette pal = verdict->palette();
  pal.setColor(QPalette::Text, request ? verdict_colour(request->colour_class()) : QColor(160, 160, 0));
  verdict->setPalette(pal);
  if (!request) return;
  if (request->title) setWindowTitle(qs(*request->title));
  if (request->accept_caption) ok->setText(qs(*request->accept_caption));
  if (request->cancel_caption) cancel->setText(qs(*request->cancel_caption));
  if (request->info) {
    QString text = qs(*request->info);
    text.remove(QLatin1Char('\r'));
    info->setPlainText(text);
  }
  if (request->verdict) verdict->setText(qs(*request->verdict));
}

void CAlertView::accept() {
  if (request_ && request_->reconfirm()) {
    const auto answer = QMessageBox::question(this, windowTitle(), qs(alert_reconfirm_question(*request_)),
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
      QDialog::reject();
      return;
    }
  }
  QDialog::accept();
}

bool show_alert_dialog(const AlertRequest& request) {
  CAlertView view(&request);
  return view.exec() == QDialog::Accepted;
}

}  // namespace kestrel::qt
