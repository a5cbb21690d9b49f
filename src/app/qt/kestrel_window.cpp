#include "app/qt/kestrel_window.h"

#include <QComboBox>
#include <QSocketNotifier>
#include <QTimer>

#include "app/ids.h"
#include "app/qt/card_tooltips.h"
#include "app/qt/small_dialogs.h"
#include "boards/registry.h"
#include "devlink/card_names.h"
#include "picture/card_picture.h"
#include "platform/hid_backend.h"
#include "res/ui_text.h"

namespace kestrel::qt {

KestrelWindow::KestrelWindow(platform::HidBackend* backend, qhidev_list& list)
    : backend_(backend), view_(std::make_unique<QtView>()) {
  logic_.emplace(*view_, list);
  view_->set_command_handler([this](uint32_t id) {
    const bool handled = logic_ && (run_window_dialog(id, *logic_, view_.get()) || logic_->on_command(id));
    follow_current_card();  // a choice in the card list shows at once, not at the next tick
    return handled;
  });
  view_->set_menu_state_source([this] {
    QtView::MenuState st;
    if (logic_) {
      st.card = logic_->session().list().current != nullptr;
      if (st.card) st.card_node = logic_->session().list().current->node;
      st.debug_channel = logic_->session().debug_channel_on();
    }
    return st;
  });
  view_->preview_pane().set_opener([this] {
    return logic_ ? picture::open_card_picture(backend_, logic_->session().list(), logic_->session().color_format()) : picture::OpenResult{};
  });
  install_card_tooltips(view_->findChild<QComboBox*>(QString::number(ids::CARD_LIST)), backend_,
                        [this]() -> const qhidev_list* { return logic_ ? &logic_->session().list() : nullptr; });
  timer_ = new QTimer(view_.get());
  timer_->setInterval(static_cast<int>(CardSession::kTimerPeriodMs));
  connect(timer_, &QTimer::timeout, this, [this] {
    if (logic_) logic_->session().on_timer(CardSession::kTimerId);
    replay_hotplug();
    follow_current_card();
  });
  // Closing the window, or any other end of the dialog, stops the timer.
  connect(view_.get(), &QDialog::finished, timer_, &QTimer::stop);
}

KestrelWindow::~KestrelWindow() {
  end_dialog();
  view_.reset();
}

bool KestrelWindow::init_dialog() {
  view_->add_script_items(logic_->card().script_names());
  timer_->start();
  const int fd = backend_ ? backend_->hotplug_fd() : -1;
  if (fd < 0) {
    // No notifications: the window could never follow its cards, so it closes without a scan.
    QMetaObject::invokeMethod(view_.get(), &QWidget::close, Qt::QueuedConnection);
    return false;
  }
  // What happened before the window registered is not news: the scan below sees it.
  backend_->drain_hotplug();
  notifier_ = new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Read, view_.get());
  connect(notifier_, &QSocketNotifier::activated, this, &KestrelWindow::on_hotplug);
  logic_->on_init_dialog();
  view_->refresh_menu();
  follow_current_card();
  return true;
}

void KestrelWindow::follow_current_card() {
  if (!logic_) return;
  const qhidev* d = logic_->session().list().current;
  const std::string node = d ? d->node : std::string();
  // The board as the card's status text named it at its attach; none when that attach read no
  // status (the registry's board is then an earlier card's).
  const BoardRegistry* reg = logic_->card().registry();
  const std::string board = d && logic_->card().status_valid() && reg && reg->current ? reg->current->name : "";
  if (card_followed_ && node == followed_node_ && board == followed_board_) return;
  const bool card_moved = !card_followed_ || node != followed_node_;
  card_followed_ = true;
  followed_node_ = node;
  followed_board_ = board;
  const bool zh = ui_text == ui_text_zh;
  view_->set_card_line(d ? card_line(board, card_names(backend_, *d), zh) : no_card_line(zh));
  if (card_moved) view_->preview_pane().card_changed();
}

void KestrelWindow::on_hotplug() {
  if (!logic_ || !backend_) return;
  // While an upgrade holds the window lock, its worker (or the flash engine) is using the current
  // device from another thread; a device change now would release that device under it. The
  // notifications stay queued in the backend, and the timer lets them in once the lock is free.
  // On the HID path the lock is taken before the file dialog, so a card pulled while the user
  // chooses the file shows as removed once the upgrade (which then fails) has ended.
  if (logic_->card().download_locked()) {
    hotplug_held_ = true;
    if (notifier_) notifier_->setEnabled(false);  // the queue stays readable: do not spin on it
    return;
  }
  for (const platform::HotplugEvent& e : backend_->drain_hotplug())
    logic_->session().on_device_change(e.kind == platform::HotplugEvent::Kind::Arrival ? CardSession::DEVICE_ARRIVAL
                                                                            : CardSession::DEVICE_REMOVE_COMPLETE);
  view_->refresh_menu();
  follow_current_card();
}

void KestrelWindow::replay_hotplug() {
  if (!hotplug_held_ || !logic_ || logic_->card().download_locked()) return;
  hotplug_held_ = false;
  if (notifier_) notifier_->setEnabled(true);
  on_hotplug();
}

void KestrelWindow::end_dialog() {
  if (notifier_) {
    notifier_->setEnabled(false);
    delete notifier_;
    notifier_ = nullptr;
  }
  if (timer_) timer_->stop();
  view_->set_command_handler(nullptr);
  view_->set_menu_state_source(nullptr);
  logic_.reset();
}

}  // namespace kestrel::qt
