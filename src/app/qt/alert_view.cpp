#include "app/qt/alert_view.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include "app/qt/dialog_units.h"
#include "app/qt/qt_view.h"
#include "res/ui_phrases.h"

namespace kestrel::qt {

namespace {
QString qs(const std::string& s) { return QString::fromStdString(s); }
QString qs(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
// The match check writes its texts in Chinese; they show in the language of the active table.
QString shown(const std::string& s) { return qs(ui_translate(s)); }
// The horizontal margin QLineEdit keeps between its contents rectangle and its text, and room for
// the cursor (QLineEdit's private horizontalMargin is 2).
constexpr int kLineEditMargin = 3;
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

  auto* ok = new QPushButton(qs(ui_phrase("确定")), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setDefault(true);
  auto* cancel = new QPushButton(qs(ui_phrase("取消")), this);
  cancel->setObjectName(QStringLiteral("2"));
  auto* info = new QPlainTextEdit(this);
  info->setObjectName(QStringLiteral("1504"));
  info->setReadOnly(true);
  info->setLineWrapMode(QPlainTextEdit::NoWrap);
  auto* verdict = new QLineEdit(this);
  verdict->setObjectName(QStringLiteral("1505"));
  verdict->setReadOnly(true);
  verdict->setFrame(false);
  connect(ok, &QPushButton::clicked, this, &CAlertView::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  QPalette pal = verdict->palette();
  pal.setColor(QPalette::Text, request ? verdict_colour(request->colour_class()) : QColor(160, 160, 0));
  verdict->setPalette(pal);
  if (request) {
    if (request->title) setWindowTitle(shown(*request->title));
    if (request->accept_caption) ok->setText(shown(*request->accept_caption));
    if (request->cancel_caption) cancel->setText(shown(*request->cancel_caption));
    if (request->info) {
      QString text = shown(*request->info);
      text.remove(QLatin1Char('\r'));
      info->setPlainText(text);
    }
    if (request->verdict) verdict->setText(shown(*request->verdict));
  }

  // Template 138 in dialog units. The template was drawn for a narrower font than the CJK faces
  // found here: as the main window does, the horizontal base unit is widened uniformly, just
  // enough that the verdict line and the two captions fit their controls.
  BaseUnits u = platform_base_units(font);
  auto place = [&] {
    ok->setGeometry(du_rect(u, 150, 48, 40, 12));
    cancel->setGeometry(du_rect(u, 194, 48, 40, 12));
    info->setGeometry(du_rect(u, 2, 0, 232, 45));
    verdict->setGeometry(du_rect(u, 2, 48, 147, 12));
  };
  place();
  const QFontMetrics fm(font);
  for (QPushButton* b : {ok, cancel}) {
    QStyleOptionButton opt;
    opt.initFrom(b);
    const int decoration = b->width() - b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b).width();
    u.x = base_x_for_width(40, fm.horizontalAdvance(b->text()) + decoration, u.x);
  }
  // The verdict as the line shows it (its line break draws nothing), with the line's margins.
  const QString shown = verdict->text().remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
  const int verdict_decoration = verdict->width() - verdict->contentsRect().width() + 2 * kLineEditMargin;
  u.x = base_x_for_width(147, fm.horizontalAdvance(shown) + verdict_decoration, u.x);
  place();
  setFixedSize(du_x(u, 235), du_y(u, 62));
  verdict->setCursorPosition(0);  // the line shows its beginning
}

void CAlertView::accept() {
  if (request_ && request_->reconfirm()) {
    QMessageBox box(QMessageBox::Question, windowTitle(), shown(alert_reconfirm_question(*request_)),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("reconfirm"));
    box.button(QMessageBox::Yes)->setText(qs(ui_phrase("是(&Y)")));
    box.button(QMessageBox::No)->setText(qs(ui_phrase("否(&N)")));
    // No is the default: these verdicts say the image does not suit the card, so an Enter
    // pressed out of habit must not force the upgrade.
    box.setDefaultButton(QMessageBox::No);
    if (box.exec() != QMessageBox::Yes) {
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
