#include "app/qt/qt_view.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>

#include <algorithm>
#include <utility>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionButton>

#include "app/ids.h"
#include "app/qt/command_routes.h"
#include "app/qt/history_dialog.h"
#include "boards/script_slots.h"
#include "log/log.h"
#include "res/ui_phrases.h"
#include "res/ui_text.h"

// Resources of a static library are registered by name, outside any namespace.
static void init_kestrel_resources() { Q_INIT_RESOURCE(kestrel); }

namespace kestrel::qt {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }
QString qs(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

bool has_text(ControlKind k) {
  return k == ControlKind::PushButton || k == ControlKind::CheckBox || k == ControlKind::Radio ||
         k == ControlKind::StaticLeft || k == ControlKind::StaticRight;
}

Qt::Key accel_key(const AccelSpec& a) {
  switch (a.key) {
    case AccelKey::Keypad: return static_cast<Qt::Key>(Qt::Key_0 + a.digit);
    case AccelKey::Semicolon: return Qt::Key_Semicolon;
    case AccelKey::Slash: return Qt::Key_Slash;
    case AccelKey::Grave: return Qt::Key_QuoteLeft;
    case AccelKey::BracketLeft: return Qt::Key_BracketLeft;
    case AccelKey::Backslash: return Qt::Key_Backslash;
    case AccelKey::BracketRight: return Qt::Key_BracketRight;
    case AccelKey::F1: return Qt::Key_F1;
  }
  return Qt::Key_unknown;
}

constexpr int kPopupSlackPx = 32;  // frame and scroll bar of a dropped list
constexpr int kLogPaneHeightPx = 220;
constexpr int kCardLineGapPx = 6;        // above and below the selected card's line, together
constexpr int kProgressNoteGapDu = 4;    // between the progress bar and its note
constexpr int kFrameAllowancePx = 16;    // a window manager's frame, before the window has one
constexpr char kLogPaneKey[] = "view/log_pane";
constexpr char kPreviewPaneKey[] = "view/preview_pane";
constexpr char kFlagsProperty[] = "kestrel_menu_flags";

}  // namespace

QString qt_file_filter(const std::string& filter) {
  const QStringList parts = qs(filter).split(QLatin1Char('|'));
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty() && parts[i + 1].isEmpty()) break;
    QString pattern = parts[i + 1];
    pattern.replace(QLatin1Char(';'), QLatin1Char(' '));
    // A description that already ends in its pattern ("FX3 firmware file (*.img)") is a whole Qt
    // filter: the pattern is not shown a second time.
    const QString tail = QStringLiteral("(%1)").arg(pattern);
    out << (parts[i].trimmed().endsWith(tail) ? parts[i].trimmed() : QStringLiteral("%1 %2").arg(parts[i], tail));
  }
  return out.join(QStringLiteral(";;"));
}

QString dialog_font_family() {
  // The template's face first; where it is missing, CJK sans faces close to it in style. Font
  // names may be listed in the locale's language ("文泉驿微米黑"); hasFamily knows both names.
  for (const char* family : {"微软雅黑", "Microsoft YaHei", "WenQuanYi Micro Hei", "Noto Sans CJK SC", "Noto Sans SC",
                             "Droid Sans Fallback"}) {
    const QString f = QString::fromUtf8(family);
    if (QFontDatabase::hasFamily(f)) return f;
  }
  return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}

QtView::QtView(QWidget* parent) : QDialog(parent) {
  init_kestrel_resources();
  const DialogSpec& t = main_dialog_template();
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(qs(t.caption));
  setWindowIcon(QIcon(QStringLiteral(":/kestrel/kestrel.png")));
  font_ = QFont(dialog_font_family());
  font_.setPointSize(t.font_points);
  setFont(font_);

  build_controls();
  card_line_ = new QLabel(this);
  card_line_->setObjectName(QStringLiteral("card_line"));
  card_line_->setTextFormat(Qt::PlainText);
  card_line_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  card_line_->setTextInteractionFlags(Qt::TextSelectableByMouse);  // a serial may be copied
  progress_note_ = new QLabel(this);
  progress_note_->setObjectName(QStringLiteral("progress_note"));
  progress_note_->setTextFormat(Qt::PlainText);
  progress_note_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  progress_note_->hide();
  log_pane_ = new LogPane(this);
  log_pane_->hide();
  preview_ = new PreviewPane(this);
  preview_->hide();
  build_menu();
  build_accelerators();

  // Base units as the platform derives them, then widened just enough that every text the
  // controls show fits them: the template was drawn for a narrower font than the CJK faces
  // found here, and a uniform widening keeps every control where the template puts it.
  platform_units_ = units_ = platform_base_units(font_);
  lay_out();
  const QFontMetrics fm(font_);
  int base_x = units_.x;
  for (const ControlSpec& c : t.controls) {
    if (!has_text(c.kind)) continue;
    QWidget* w = control(c.id);
    const int decoration = w->width() - text_room(w, c);
    for (const std::string& s : texts_of(c.id))
      base_x = base_x_for_width(c.w, fm.horizontalAdvance(qs(s)) + decoration, base_x);
  }
  units_.x = base_x;
  lay_out();
}

QtView::~QtView() = default;

void QtView::build_controls() {
  for (const ControlSpec& c : main_dialog_template().controls) {
    QWidget* w = nullptr;
    const uint32_t id = c.id;
    switch (c.kind) {
      case ControlKind::PushButton: {
        auto* b = new QPushButton(qs(c.text), this);
        b->setAutoDefault(false);  // the window has no default push button
        connect(b, &QPushButton::clicked, this, [this, id] { dispatch_command(id); });
        w = b;
        break;
      }
      case ControlKind::DropList:
      case ControlKind::DropCombo: {
        auto* b = new QComboBox(this);
        if (c.kind == ControlKind::DropCombo) {
          b->setEditable(true);
          b->setInsertPolicy(QComboBox::NoInsert);
        }
        // A selection change by the user; a selection made by the program sends nothing.
        connect(b, &QComboBox::activated, this, [this, id] { dispatch_command(id); });
        w = b;
        break;
      }
      case ControlKind::CheckBox: {
        auto* b = new QCheckBox(qs(c.text), this);
        connect(b, &QCheckBox::clicked, this, [this, id] { dispatch_command(id); });
        w = b;
        break;
      }
      case ControlKind::Radio: {
        auto* b = new QRadioButton(qs(c.text), this);
        b->setAutoExclusive(false);  // the logic alone decides which one is checked
        connect(b, &QRadioButton::clicked, this, [this, id] { on_radio_clicked(id); });
        w = b;
        break;
      }
      case ControlKind::StaticLeft:
      case ControlKind::StaticRight: {
        auto* l = new QLabel(qs(c.text), this);
        l->setAlignment((c.kind == ControlKind::StaticRight ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
        l->setTextFormat(Qt::PlainText);
        w = l;
        break;
      }
      case ControlKind::ReadOnlyEdit: {
        auto* e = new QLineEdit(this);
        e->setReadOnly(true);
        w = e;
        break;
      }
      case ControlKind::Progress: {
        // Whole, with its percent; the phase and time left stand beside it.
        auto* p = new QProgressBar(this);
        p->setTextVisible(true);
        p->setFormat(QStringLiteral("%p%"));
        w = p;
        break;
      }
    }
    w->setObjectName(QString::number(id));
    controls_[id] = w;
  }
}

void QtView::build_menu() {
  // Every item keeps its command id as its data and runs through dispatch_command, so that what
  // refuses or routes a command id refuses or routes the item too; disabling the bar disables
  // every item at once.
  menu_bar_ = new QMenuBar(this);
  for (const MenuSpec& m : menu_bar_spec()) {
    QMenu* menu = menu_bar_->addMenu(qs(ui_phrase(m.title)));
    menu->setObjectName(qs(m.name));
    menu->setToolTipsVisible(true);
    connect(menu, &QMenu::aboutToShow, this, &QtView::refresh_menu);
    for (const MenuItemSpec& item : m.items) {
      if (item.id == 0) {
        menu->addSeparator();
        continue;
      }
      QString text = qs(ui_phrase(item.text));
      if (!item.shortcut.empty()) text += QLatin1Char('\t') + qs(item.shortcut);
      add_menu_item(menu, text, item.id, item.flags);
    }
  }
  // The upgrade history reads a local database only and sends nothing to the card; it is no
  // command of the window.
  if (auto* view_menu = menu_bar_->findChild<QMenu*>(QStringLiteral("view"))) {
    QAction* history = view_menu->addAction(qs(ui_phrase(HISTORY_ITEM_TEXT)));
    history->setObjectName(QStringLiteral("history"));
    connect(history, &QAction::triggered, this, [this] { show_history_dialog(this); });
    // The attached card's own rows, one click away.
    QAction* mine = view_menu->addAction(qs(ui_phrase(CARD_HISTORY_ITEM_TEXT)));
    mine->setObjectName(QStringLiteral("card-history"));
    connect(mine, &QAction::triggered, this, [this] {
      const MenuState st = menu_state_ ? menu_state_() : MenuState{};
      show_history_dialog(this, st.card_node);
    });
  }
  refresh_menu();
}

QAction* QtView::add_menu_item(QMenu* menu, const QString& text, uint32_t id, uint8_t flags) {
  QAction* a = menu->addAction(text);
  a->setData(id);
  a->setProperty(kFlagsProperty, flags);
  a->setCheckable((flags & MENU_CHECKABLE) != 0);
  if (flags & MENU_NO_ACTION) {
    a->setEnabled(false);
    a->setToolTip(qs(ui_phrase(NO_ACTION_TIP)));
  }
  connect(a, &QAction::triggered, this, [this, a, id, flags] {
    if ((flags & MENU_SHOWS_LOG) && !busy()) {
      // A click on a command whose answer is log text shows the pane, names the command there
      // and lets the dump's levels through for the length of the command. What the View menu
      // remembers stays the user's own choice.
      show_log_pane(true, false);
      log_pane_->note(a->text().section(QLatin1Char('\t'), 0, 0).remove(QLatin1Char('&')));
      const LogFilterOpen open(LOG_DUMP_LEVELS, LOG_DUMP_MODULES);
      dispatch_command(id);
    } else {
      dispatch_command(id);
    }
    refresh_menu();  // a checkable item shows the state the command left, not Qt's toggle
  });
  return a;
}

QAction* QtView::menu_item(uint32_t id) const {
  for (QAction* top : menu_bar_->actions())
    if (QMenu* m = top->menu())
      for (QAction* a : m->actions())
        if (!a->isSeparator() && a->data().toUInt() == id) return a;
  return nullptr;
}

void QtView::set_menu_state_source(std::function<MenuState()> source) {
  menu_state_ = std::move(source);
  refresh_menu();
}

void QtView::refresh_menu() {
  const MenuState st = menu_state_ ? menu_state_() : MenuState{};
  for (QAction* top : menu_bar_->actions()) {
    QMenu* m = top->menu();
    if (!m) continue;
    for (QAction* a : m->actions()) {
      if (a->isSeparator()) continue;
      const uint8_t flags = static_cast<uint8_t>(a->property(kFlagsProperty).toUInt());
      if (flags & MENU_NO_ACTION) continue;
      a->setEnabled(!(flags & MENU_NEEDS_CARD) || st.card);
      const uint32_t id = a->data().toUInt();
      if (id == ids::BTN_DEBUG_1061) a->setChecked(st.debug_channel);
      if (id == ids::ID_LOG_PANE) a->setChecked(log_pane_visible());
      if (id == ids::ID_PREVIEW_PANE) a->setChecked(preview_pane_visible());
    }
    if (QAction* mine = m->findChild<QAction*>(QStringLiteral("card-history"), Qt::FindDirectChildrenOnly))
      mine->setEnabled(st.card);
  }
}

void QtView::add_script_items(const std::vector<std::string>& names) {
  auto* menu = menu_bar_->findChild<QMenu*>(qs(SCRIPT_MENU));
  if (!menu || names.empty()) return;
  menu->addSeparator();
  for (size_t n = 0; n < names.size() && ids::ID_SCRIPT_FIRST + n <= ids::ID_SCRIPT_LAST; ++n) {
    const uint32_t id = ids::ID_SCRIPT_FIRST + static_cast<uint32_t>(n);
    add_menu_item(menu, qs(script_menu_label(static_cast<uint32_t>(n), names[n])), id, MENU_SHOWS_LOG);
  }
}

void QtView::build_accelerators() {
  for (const AccelSpec& a : accelerators()) {
    QKeyCombination keys(a.key == AccelKey::Keypad ? Qt::KeypadModifier : Qt::NoModifier, accel_key(a));
    if (a.ctrl) keys = QKeyCombination(keys.keyboardModifiers() | Qt::ControlModifier, keys.key());
    auto* s = new QShortcut(QKeySequence(keys), this);
    const uint32_t id = a.command;
    connect(s, &QShortcut::activated, this, [this, id] { dispatch_command(id); });
  }
}

int QtView::text_room(QWidget* w, const ControlSpec& spec) const {
  QStyleOptionButton opt;
  opt.initFrom(w);
  switch (spec.kind) {
    case ControlKind::PushButton: return style()->subElementRect(QStyle::SE_PushButtonContents, &opt, w).width();
    case ControlKind::CheckBox: return style()->subElementRect(QStyle::SE_CheckBoxContents, &opt, w).width();
    case ControlKind::Radio: return style()->subElementRect(QStyle::SE_RadioButtonContents, &opt, w).width();
    default: return w->contentsRect().width();
  }
}

void QtView::lay_out() {
  const DialogSpec& t = main_dialog_template();
  const int menu = menu_bar_->sizeHint().height();
  // The selected card's line sits between the menu bar and the card list, as wide as the list;
  // the template's controls keep their places below it.
  const int line = QFontMetrics(font_).height() + kCardLineGapPx;
  const int top = menu + line;
  const int width = du_x(units_, t.w);
  for (const ControlSpec& c : t.controls) {
    QRect r = du_rect(units_, c.x, c.y, c.w, c.h).translated(0, top);
    QWidget* w = control(c.id);
    // A drop-down's template height includes its dropped list; closed, it is as tall as its font
    // makes it.
    if (c.kind == ControlKind::DropList || c.kind == ControlKind::DropCombo) r.setHeight(w->sizeHint().height());
    // The progress bar where the template puts it, but at the height that shows its percent, and
    // half as wide: its phase and time left read beside it.
    if (c.kind == ControlKind::Progress) {
      r.setHeight(std::max(r.height(), w->sizeHint().height()));
      r.setWidth(du_x(units_, c.w / 2));
      const int note_x = r.right() + 1 + du_x(units_, kProgressNoteGapDu);
      progress_note_->setGeometry(note_x, r.top(), du_x(units_, c.x + c.w) - note_x, r.height());
    }
    w->setGeometry(r);
  }
  if (const ControlSpec* list = find_control(ids::CARD_LIST))
    card_line_->setGeometry(du_x(units_, list->x), menu + kCardLineGapPx / 2, du_x(units_, list->w),
                            line - kCardLineGapPx);
  int bottom = top + du_y(units_, t.h);
  if (QWidget* bar = control(ids::PROGRESS)) bottom = std::max(bottom, bar->geometry().bottom() + 1 + du_y(units_, 2));
  controls_w_ = width;
  body_h_ = bottom - menu;
  const int height = bottom + (log_pane_visible() ? kLogPaneHeightPx : 0);
  if (!preview_pane_visible()) {
    preview_sized_ = false;
    setFixedSize(width, height);
  } else {
    // The pane takes what is left of the width: as much as a 16:9 picture as tall as the controls
    // needs, where the screen has room for it, and never less than its minimum. The user may
    // make the window wider or narrower between the two.
    const int least = width + kPreviewMinWidthPx;
    int wide = width + body_h_ * 16 / 9;
    if (const QScreen* s = screen()) {
      const int frame = std::max(frameGeometry().width() - geometry().width(), kFrameAllowancePx);
      wide = std::min(wide, s->availableGeometry().width() - frame);
    }
    setMinimumSize(least, height);
    setMaximumSize(QWIDGETSIZE_MAX, height);
    resize(preview_sized_ ? std::max(least, this->width()) : std::max(least, wide), height);
    preview_sized_ = true;
  }
  place_panes();
}

void QtView::place_panes() {
  const int menu = menu_bar_->sizeHint().height();
  menu_bar_->setGeometry(0, 0, width(), menu);
  const int preview = preview_pane_visible() ? std::max(0, width() - controls_w_) : 0;
  preview_->setGeometry(controls_w_, menu, preview, body_h_);
  log_pane_->setGeometry(0, menu + body_h_, width(), log_pane_visible() ? kLogPaneHeightPx : 0);
}

void QtView::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  place_panes();
}

void QtView::set_card_line(const std::string& text) {
  card_line_->setText(qs(text));
  card_line_->setToolTip(qs(text));
}

void QtView::show_log_pane(bool on, bool remember) {
  if (remember && settings_) settings_->setValue(QString::fromLatin1(kLogPaneKey), on);
  if (on == log_pane_visible()) return;
  log_pane_->setVisible(on);
  lay_out();
  refresh_menu();
}

bool QtView::log_pane_visible() const { return !log_pane_->isHidden(); }

void QtView::show_preview_pane(bool on, bool remember) {
  if (remember && settings_) settings_->setValue(QString::fromLatin1(kPreviewPaneKey), on);
  if (on == preview_pane_visible()) return;
  preview_->setVisible(on);
  preview_->set_running(on);
  lay_out();
  refresh_menu();
}

bool QtView::preview_pane_visible() const { return !preview_->isHidden(); }

void QtView::remember_in(QSettings* settings) {
  settings_ = nullptr;  // reading the choice back must not write it
  if (settings) show_log_pane(settings->value(QString::fromLatin1(kLogPaneKey), false).toBool());
  if (settings) show_preview_pane(settings->value(QString::fromLatin1(kPreviewPaneKey), false).toBool());
  settings_ = settings;
}

std::vector<std::string> QtView::texts_of(uint32_t id) const {
  const ControlSpec* c = find_control(id);
  if (!c) return {};
  if (id == ids::FORMAT_LABEL)  // the widest signal format, and "no signal"
    return {"65535X65535 255f/s interlaced", std::string(" ") + ui_text[1] + " input(255)"};
  std::vector<std::string> out;
  for (int i : c->ui)
    if (i >= 0) out.emplace_back(ui_text[i]);
  if (out.empty() && !c->text.empty()) out.emplace_back(c->text);
  return out;
}

QWidget* QtView::control(uint32_t id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

bool QtView::runs_while_busy(uint32_t id) {
  // The reader's events: 32821 only logs the card's text, 32822 defers itself while the window
  // lock is held and is replayed at the unlock, 32824 only logs. The monitor query (32823) would
  // send a request beside the upgrade.
  return id == ids::ID_DEV_TEXT_EVENT || id == ids::ID_DEV_INTR_EVENT || id == ids::ID_STDVIEW_EVENT;
}

bool QtView::refused_while_busy(uint32_t id, bool posted_while_busy) const {
  if (!(busy() || posted_while_busy) || runs_while_busy(id)) return false;
  // The monitor query comes every few seconds: one line per command for the whole upgrade.
  if (dropped_told_.insert(id).second) log_printf(0, " war : command %u dropped: an upgrade holds the card\r\n", id);
  return true;
}

void QtView::set_busy(bool on) {
  if (on == busy()) return;
  preview_->hold(on);  // the picture stops while an upgrade holds the card
  if (on) {
    held_.clear();
    dropped_told_.clear();
    for (const auto& [id, w] : controls_) {
      if (id == ids::PROGRESS) continue;
      held_[id] = w->isEnabled();
      w->setEnabled(false);
    }
    menu_was_enabled_ = menu_bar_->isEnabled();
    menu_bar_->setEnabled(false);
    busy_.store(true, std::memory_order_release);
    return;
  }
  busy_.store(false, std::memory_order_release);
  for (const auto& [id, was] : held_)
    if (QWidget* w = control(id)) w->setEnabled(was);
  held_.clear();
  menu_bar_->setEnabled(menu_was_enabled_);
}

void QtView::done(int result) {
  if (busy()) {
    log_printf(0, " war : the window stays open: an upgrade holds the card\r\n");
    return;
  }
  QDialog::done(result);
}

void QtView::dispatch_command(uint32_t id) {
  if (refused_while_busy(id, false)) return;
  const Route r = route_of(id);
  Q_EMIT commandRouted(id, static_cast<int>(r));
  switch (r) {
    case Route::Logic:
      if (handler_) handler_(id);
      break;
    case Route::EndOk: accept(); break;
    case Route::EndCancel: reject(); break;
    case Route::View:
      if (id == ids::ID_LOG_PANE) show_log_pane(!log_pane_visible());
      if (id == ids::ID_PREVIEW_PANE) show_preview_pane(!preview_pane_visible());
      break;
    case Route::NoOp:
    case Route::Unrouted: break;
  }
}

void QtView::on_radio_clicked(uint32_t id) {
  // An auto radio button checks itself and clears the others of its group before the window
  // hears of the click.
  const auto controls = main_dialog_template().controls;
  size_t at = 0;
  while (at < controls.size() && controls[at].id != id) ++at;
  size_t first = at;
  while (first > 0 && !controls[first].group && controls[first - 1].kind == ControlKind::Radio) --first;
  for (size_t i = first; i < controls.size() && controls[i].kind == ControlKind::Radio; ++i) {
    if (i != first && controls[i].group) break;
    static_cast<QRadioButton*>(control(controls[i].id))->setChecked(i == at);
  }
  dispatch_command(id);
}

void QtView::keyPressEvent(QKeyEvent* e) {
  const bool plain = e->modifiers() == Qt::NoModifier || e->modifiers() == Qt::KeypadModifier;
  if (plain && e->key() == Qt::Key_Escape) {
    dispatch_command(ids::IDCANCEL);
    return;
  }
  if (plain && (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter)) {
    // A focused push button takes the Enter key; anywhere else it is IDOK.
    if (auto* b = qobject_cast<QPushButton*>(focusWidget()); b && b->isEnabled() && control(b->objectName().toUInt()) == b) {
      dispatch_command(b->objectName().toUInt());
      return;
    }
    dispatch_command(ids::IDOK);
    return;
  }
  QDialog::keyPressEvent(e);
}

// ---- DialogView ---------------------------------------------------------------------------

bool QtView::has_control(uint32_t id) const { return control(id) != nullptr; }

void QtView::reset_items(uint32_t id) {
  if (auto* c = qobject_cast<QComboBox*>(control(id))) c->clear();
}

void QtView::add_item(uint32_t id, const std::string& text) {
  auto* c = qobject_cast<QComboBox*>(control(id));
  if (!c) return;
  // The first item added must not become the selection: a list starts with none.
  const bool none = c->currentIndex() < 0;
  c->addItem(qs(text));
  if (none) c->setCurrentIndex(-1);
  widen_popup(id);
}

void QtView::widen_popup(uint32_t id) {
  // The dropped list may be wider than the closed box, so that every item reads in full.
  auto* c = qobject_cast<QComboBox*>(control(id));
  const QFontMetrics fm(c->font());
  int widest = 0;
  for (int i = 0; i < c->count(); ++i) widest = std::max(widest, fm.horizontalAdvance(c->itemText(i)));
  c->view()->setMinimumWidth(std::max(c->width(), widest + kPopupSlackPx));
}

int QtView::item_count(uint32_t id) const {
  auto* c = qobject_cast<QComboBox*>(control(id));
  return c ? c->count() : 0;
}

std::string QtView::item_text(uint32_t id, int index) const {
  auto* c = qobject_cast<QComboBox*>(control(id));
  if (!c || index < 0 || index >= c->count()) return {};
  return c->itemText(index).toStdString();
}

void QtView::select(uint32_t id, int index) {
  auto* c = qobject_cast<QComboBox*>(control(id));
  if (!c) return;
  c->setCurrentIndex(index >= 0 && index < c->count() ? index : -1);
}

int QtView::selection(uint32_t id) const {
  auto* c = qobject_cast<QComboBox*>(control(id));
  return c ? c->currentIndex() : -1;
}

bool QtView::dropped_down(uint32_t id) const {
  auto* c = qobject_cast<QComboBox*>(control(id));
  return c && c->view() && c->view()->isVisible();
}

void QtView::set_text(uint32_t id, const std::string& text) {
  QWidget* w = control(id);
  if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(qs(text));
  else if (auto* l = qobject_cast<QLabel*>(w)) l->setText(qs(text));
  else if (auto* e = qobject_cast<QLineEdit*>(w)) e->setText(qs(text));
  else if (auto* c = qobject_cast<QComboBox*>(w); c && c->isEditable()) c->setEditText(qs(text));
}

std::string QtView::text(uint32_t id) const {
  QWidget* w = control(id);
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text().toStdString();
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text().toStdString();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text().toStdString();
  if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText().toStdString();
  return {};
}

void QtView::set_check(uint32_t id, bool on) {
  if (auto* b = qobject_cast<QAbstractButton*>(control(id)); b && b->isCheckable()) b->setChecked(on);
}

bool QtView::checked(uint32_t id) const {
  auto* b = qobject_cast<QAbstractButton*>(control(id));
  return b && b->isChecked();
}

void QtView::enable(uint32_t id, bool on) {
  if (auto it = held_.find(id); busy() && it != held_.end()) {
    it->second = on;  // taken up when the hold ends
    return;
  }
  if (QWidget* w = control(id)) w->setEnabled(on);
}

bool QtView::enabled(uint32_t id) const {
  // The logic's view: while busy, the state the control returns to.
  if (auto it = held_.find(id); busy() && it != held_.end()) return it->second;
  QWidget* w = control(id);
  return w && w->isEnabled();
}

void QtView::show(uint32_t id, bool on) {
  if (QWidget* w = control(id)) w->setVisible(on);
  if (id == ids::PROGRESS) {
    if (!on) progress_note_->clear();
    progress_note_->setVisible(on);
  }
}

bool QtView::visible(uint32_t id) const {
  QWidget* w = control(id);
  return w && !w->isHidden();
}

void QtView::set_title(const std::string& t) { setWindowTitle(qs(t)); }
std::string QtView::title() const { return windowTitle().toStdString(); }

void QtView::set_progress_range(uint32_t id, int lo, int hi) {
  if (auto* p = qobject_cast<QProgressBar*>(control(id))) p->setRange(lo, hi);
}

void QtView::set_progress(uint32_t id, int pos) {
  if (auto* p = qobject_cast<QProgressBar*>(control(id))) p->setValue(pos);
}

void QtView::set_progress_text(uint32_t id, const std::string& text) {
  if (id == ids::PROGRESS) progress_note_->setText(qs(text));
}

void QtView::message_box(const std::string& text) {
  if (message_sink_) {
    message_sink_(text);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("kestrel"), qs(text), QMessageBox::Ok, this);
  box.exec();
}

std::string QtView::open_file_dialog(const std::string& filter) {
  if (!next_open_.empty()) return std::exchange(next_open_, std::string());
  return QFileDialog::getOpenFileName(this, QString(), QString(), qt_file_filter(filter)).toStdString();
}

std::string QtView::save_file_dialog(const std::string& filter) {
  // QFileDialog asks before it overwrites an existing file.
  return QFileDialog::getSaveFileName(this, QString(), QString(), qt_file_filter(filter)).toStdString();
}

void QtView::post_command(uint32_t id) {
  // Queued to the window's thread; events posted to one object are delivered in order, and a
  // command still queued when the window goes away is dropped with it.
  // A command posted while an upgrade holds the card is dropped, also when it arrives after.
  const bool during = busy();
  QMetaObject::invokeMethod(
      this, [this, id, during] {
        if (!refused_while_busy(id, during)) dispatch_command(id);
      },
      Qt::QueuedConnection);
}

}  // namespace kestrel::qt
