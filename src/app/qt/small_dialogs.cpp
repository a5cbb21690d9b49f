#include "app/qt/small_dialogs.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>

#include "app/help_url.h"
#include "app/main_window.h"
#include "app/qt/alert_view.h"
#include "app/qt/dialog_units.h"
#include "app/qt/qt_view.h"
#include "app/qt/window_upgrade.h"
#include "boards/control.h"
#include "boards/control_calls.h"
#include "res/ui_phrases.h"
#include "res/ui_text.h"
#include "res/version.h"
#include "update/workflow.h"

namespace kestrel::qt {

namespace {

using namespace propdlg;

QString qs(const std::string& s) { return QString::fromStdString(s); }

QFont dialog_font() {
  QFont f(dialog_font_family());
  f.setPointSize(12);
  return f;
}

// Template 139 rows: caption, trackbar and value label at one height, 11 units apart.
constexpr int kRowTop = 6, kRowStep = 10, kRowHeight = 9;
constexpr int kAboutIconPx = 32;  // a dialog's icon control shows the icon at 32 x 32

constexpr const char* kRowCaptions[ROWS] = {"亮度", "对比度", "色度", "饱和度", "清晰度", "3D降噪",
                                             "伽玛", "宽动态", "红色增益", "绿色增益", "蓝色增益", "血管增强"};

}  // namespace

PropDialogWidget::PropDialogWidget(PropertyEditor& logic, QWidget* parent) : QDialog(parent), logic_(logic) {
  setModal(true);
  setWindowTitle(QStringLiteral("视频属性调整"));
  const QFont font = dialog_font();
  setFont(font);
  const BaseUnits u = platform_base_units(font);
  setFixedSize(du_x(u, 266), du_y(u, 170));

  auto place = [&](QWidget* w, uint32_t id, int x, int y, int wd, int h) {
    w->setObjectName(QString::number(id));
    w->setGeometry(du_rect(u, x, y, wd, h));
    controls_[id] = w;
  };
  for (uint32_t n = 0; n < ROWS; ++n) {
    const int y = kRowTop + kRowStep * static_cast<int>(n);
    place(new QLabel(QString::fromUtf8(kRowCaptions[n]), this), CAPTION_FIRST + n, 7, y, 50, kRowHeight);
    auto* bar = new QSlider(Qt::Horizontal, this);
    bar->setTickPosition(QSlider::NoTicks);
    place(bar, TRACK_FIRST + n, 60, y, 131, kRowHeight);
    auto* value = new QLabel(QStringLiteral("0"), this);
    value->setFrameStyle(QFrame::Box | QFrame::Plain);
    value->setAlignment(Qt::AlignCenter);
    place(value, LABEL_FIRST + n, 196, y, 40, kRowHeight);
    const uint32_t id = TRACK_FIRST + n;
    // Every user move reaches the logic; positions the logic sets are blocked in set_pos.
    connect(bar, &QSlider::valueChanged, this, [this, id, bar] {
      constexpr uint32_t SB_THUMBTRACK = 5, SB_ENDSCROLL = 8;
      logic_.on_scroll(id, bar->isSliderDown() ? SB_THUMBTRACK : SB_ENDSCROLL);
    });
  }
  const int policy_y = kRowTop + kRowStep * ROWS + 4;
  place(new QLabel(QStringLiteral("音频策略"), this), CAPTION_POLICY, 7, policy_y + 2, 50, kRowHeight);
  auto* list = new QComboBox(this);
  place(list, POLICY_LIST, 60, policy_y, 90, 12);
  connect(list, &QComboBox::activated, this, [this] { logic_.on_command(POLICY_LIST); });

  const int button_y = 152;
  const struct {
    uint32_t id;
    const char* text;
    int x;
  } buttons[] = {{BTN_DEFAULT, "默认值", 7}, {BTN_REVERT, "重  置", 62}, {IDOK, "确  定", 150}, {IDCANCEL, "取  消", 205}};
  for (const auto& b : buttons) {
    auto* w = new QPushButton(QString::fromUtf8(b.text), this);
    // Enter presses the focused button, as on the original platform; OK only when the focus is
    // elsewhere (a trackbar, the list). Were Enter always OK, Enter on a focused Cancel, Default
    // or Revert would write and store the properties.
    w->setAutoDefault(true);
    place(w, b.id, b.x, button_y, 50, 14);
    const uint32_t id = b.id;
    connect(w, &QPushButton::clicked, this, [this, id] { logic_.on_command(id); });
  }
  static_cast<QPushButton*>(controls_[IDOK])->setDefault(true);
}

QWidget* PropDialogWidget::control(uint32_t id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void PropDialogWidget::set_range(uint32_t id, int lo, int hi) {
  if (auto* s = qobject_cast<QSlider*>(control(id))) {
    const QSignalBlocker quiet(s);
    s->setRange(lo, hi);
  }
}

void PropDialogWidget::set_pos(uint32_t id, int p) {
  if (auto* s = qobject_cast<QSlider*>(control(id))) {
    const QSignalBlocker quiet(s);
    s->setValue(p);
  }
}

int PropDialogWidget::pos(uint32_t id) const {
  auto* s = qobject_cast<QSlider*>(control(id));
  return s ? s->value() : 0;
}

void PropDialogWidget::set_text(uint32_t id, const std::string& text) {
  QWidget* w = control(id);
  if (auto* l = qobject_cast<QLabel*>(w)) l->setText(qs(text));
  else if (auto* b = qobject_cast<QPushButton*>(w)) b->setText(qs(text));
}

void PropDialogWidget::enable(uint32_t id, bool on) {
  if (QWidget* w = control(id)) w->setEnabled(on);
}

void PropDialogWidget::set_title(const std::string& title) { setWindowTitle(qs(title)); }

void PropDialogWidget::reset_items(uint32_t id) {
  if (auto* c = qobject_cast<QComboBox*>(control(id))) c->clear();
}

void PropDialogWidget::add_item(uint32_t id, const std::string& text) {
  if (auto* c = qobject_cast<QComboBox*>(control(id))) c->addItem(qs(text));
}

void PropDialogWidget::select(uint32_t id, int index) {
  if (auto* c = qobject_cast<QComboBox*>(control(id))) c->setCurrentIndex(index);
}

int PropDialogWidget::selection(uint32_t id) const {
  auto* c = qobject_cast<QComboBox*>(control(id));
  return c ? c->currentIndex() : -1;
}

void PropDialogWidget::set_timer(uint32_t id, uint32_t period_ms) {
  QTimer*& t = timers_[id];
  if (!t) {
    t = new QTimer(this);
    connect(t, &QTimer::timeout, this, [this, id] { logic_.on_timer(id); });
  }
  t->start(static_cast<int>(period_ms));
}

void PropDialogWidget::kill_timer(uint32_t id) {
  if (auto it = timers_.find(id); it != timers_.end() && it->second) it->second->stop();
}

void PropDialogWidget::end_dialog(int result) { QDialog::done(result == static_cast<int>(IDOK) ? Accepted : Rejected); }

void PropDialogWidget::reject() { logic_.on_command(IDCANCEL); }
void PropDialogWidget::accept() { logic_.on_command(IDOK); }

bool run_property_dialog(WindowPresenter& window, QWidget* parent, const std::function<void(PropDialogWidget&)>& prepared) {
  PropertyEditor logic(window.card());
  if (!logic.open()) return false;
  PropDialogWidget w(logic, parent);
  logic.on_init_dialog(w);
  if (prepared) prepared(w);
  w.exec();
  return true;
}

// ---- About box ------------------------------------------------------------------------------

// The About box speaks the language of the active table, all of it.
bool about_in_chinese() { return ui_text == ui_text_zh; }

QString about_text() {
  return (about_in_chinese() ? QStringLiteral("\r\nkestrel %1\r\n请只在电源稳定时升级采集卡。")
                             : QStringLiteral("\r\nkestrel %1\r\nUpgrade cards only on a stable power supply."))
      .arg(QLatin1String(KESTREL_BUILD_STAMP));
}

QString about_title(WindowPresenter& window) {
  const bool zh = about_in_chinese();
  // The link text lands in a cleared 4 KiB buffer of the window's text work area.
  auto buf = window.card().text_page(1).first(Card::kPage);
  std::memset(buf.data(), 0, buf.size());
  if (const auto text = ctl_usb_speed(window.card(), buf))
    return (zh ? QStringLiteral("关于 kestrel usbd: %1") : QStringLiteral("About kestrel usbd: %1"))
        .arg(QString::fromUtf8(text->data(), static_cast<qsizetype>(text->size())));
  return zh ? QStringLiteral("关于 kestrel") : QStringLiteral("About kestrel");
}

void run_about_box(WindowPresenter& window, const std::function<void(QDialog&)>& prepared) {
  QDialog box;
  box.setModal(true);
  const QFont font = dialog_font();
  box.setFont(font);
  const BaseUnits u = platform_base_units(font);
  box.setFixedSize(du_x(u, 222), du_y(u, 45));
  auto* icon = new QLabel(&box);
  icon->setObjectName(QStringLiteral("128"));
  // Icon 128, the program's own, with its top left corner where the template puts it, at the size
  // the platform draws a dialog's icon, made smaller only if it would reach the text at x = 32.
  const int side = std::min(kAboutIconPx, du_x(u, 32) - du_x(u, 14) - 2);
  icon->setPixmap(QIcon(QStringLiteral(":/kestrel/kestrel.png")).pixmap(side, side));
  icon->setGeometry(du_x(u, 14), du_y(u, 14), side, side);
  const std::string_view ok_text = ui_phrase("确定");
  auto* ok = new QPushButton(QString::fromUtf8(ok_text.data(), static_cast<qsizetype>(ok_text.size())), &box);
  ok->setObjectName(QStringLiteral("1"));
  ok->setGeometry(du_rect(u, 171, 32, 50, 12));
  ok->setDefault(true);
  QObject::connect(ok, &QPushButton::clicked, &box, &QDialog::accept);
  auto* text = new QPlainTextEdit(&box);
  text->setObjectName(QStringLiteral("1502"));
  text->setGeometry(du_rect(u, 32, 3, 190, 25));
  text->setReadOnly(true);
  // Template 100 gives the edit no border; without one, and without Qt's document margin, its
  // three lines fit the 25 units the template gives it, as they do on the original platform.
  text->setFrameShape(QFrame::NoFrame);
  text->document()->setDocumentMargin(0);
  // The edit shows line breaks, not the carriage returns the text carries.
  text->setPlainText(about_text().remove(QLatin1Char('\r')));
  box.setWindowTitle(about_title(window));
  if (prepared) prepared(box);
  box.exec();
}

bool run_window_dialog(uint32_t id, WindowPresenter& window, QWidget* parent) {
  switch (id) {
    case 1500: run_property_dialog(window, parent); return true;
    case 16: run_about_box(window); return true;
    case 32768: open_help(); return true;
    case 1001: window.view().message_box(std::string(ui_phrase("只能维修时候使用"))); return true;
    case 1002: case 1003: run_window_upgrade(id, window, parent); return true;
    default: return false;
  }
}

void open_help() {
  const std::string url = help_url_for_program(QCoreApplication::applicationFilePath().toStdString());
  // Nothing is reported when no browser takes the URL.
  QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

}  // namespace kestrel::qt
