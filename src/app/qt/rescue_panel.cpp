#include "app/qt/rescue_panel.h"

#include <libudev.h>

#include <QAction>
#include <QCoreApplication>
#include <QEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QSocketNotifier>
#include <QTimer>

#include "app/ids.h"
#include "app/main_window.h"
#include "app/qt/qt_view.h"
#include "bootmode/boot_loader.h"
#include "bootmode/rescue.h"
#include "res/ui_text.h"

namespace kestrel::qt {

namespace {

// Without udev's notifications (no udev in a container), the bus is looked at this often.
constexpr int kPollMs = 2000;

bool zh() { return ui_text == ui_text_zh; }
QString tr2(const char* en, const char* zh_text) { return QString::fromUtf8(zh() ? zh_text : en); }
QString qs(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

RescuePanel::RescuePanel(QtView& view, WindowPresenter& window, std::unique_ptr<BootBus> bus)
    : QObject(&view), view_(view), window_(window), bus_(std::move(bus)) {
  ask = [this](const QString& text) {
    return QMessageBox::question(&view_, QStringLiteral("kestrel"), text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  tell = [this](const QString& text) { QMessageBox::warning(&view_, QStringLiteral("kestrel"), text); };
  choose = [this](const QStringList& names) {
    bool ok = false;
    const QString pick = QInputDialog::getItem(&view_, tr2("Card in boot mode", "引导模式下的采集卡"),
                                               tr2("Several cards are in boot mode. Which one?",
                                                   "有多块采集卡处于引导模式, 请选择:"),
                                               names, 0, false, &ok);
    return ok ? static_cast<int>(names.indexOf(pick)) : -1;
  };

  notice_ = new QLabel(&view_);
  notice_->setObjectName(QStringLiteral("boot_mode_notice"));
  notice_->setStyleSheet(QStringLiteral("background:#fff4c2; border:1px solid #d0a000; padding:2px;"));
  notice_->hide();
  if (QWidget* list = view_.findChild<QWidget*>(QString::number(ids::CARD_LIST))) list->installEventFilter(this);

  if (QMenu* card = view_.menu_bar() ? view_.menu_bar()->findChild<QMenu*>(QStringLiteral("card")) : nullptr) {
    card->addSeparator();
    item_ = card->addAction(tr2("Rescue…", "修复…"));
    item_->setObjectName(QStringLiteral("rescue"));
    connect(item_, &QAction::triggered, this, [this] { run(); });
    // After the view's own refresh of the menu, which enables every item that needs no card.
    connect(card, &QMenu::aboutToShow, this, [this] { item_->setEnabled(devices_ > 0); });
  }
  watch_usb();
  refresh();
}

RescuePanel::~RescuePanel() {
  if (monitor_) udev_monitor_unref(monitor_);
  if (udev_) udev_unref(udev_);
}

void RescuePanel::watch_usb() {
  udev_ = udev_new();
  monitor_ = udev_ ? udev_monitor_new_from_netlink(udev_, "udev") : nullptr;
  if (monitor_ && udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") == 0 &&
      udev_monitor_enable_receiving(monitor_) == 0) {
    notifier_ = new QSocketNotifier(udev_monitor_get_fd(monitor_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
      while (udev_device* d = udev_monitor_receive_device(monitor_)) udev_device_unref(d);
      refresh();
    });
    return;
  }
  poll_ = new QTimer(this);
  connect(poll_, &QTimer::timeout, this, &RescuePanel::refresh);
  poll_->start(kPollMs);
}

void RescuePanel::refresh() {
  if (running_) return;
  devices_ = bus_->list().size();
  if (item_) item_->setEnabled(devices_ > 0);
  notice_->setText(tr2("A card in boot mode (04b4:00f3): Card → Rescue…", "引导模式采集卡 (04b4:00f3): 采集卡 → 修复…"));
  notice_->setToolTip(tr2("A card's USB-controller firmware is damaged and the card came up in boot mode. Rescue… "
                          "loads its firmware image again and then writes it to the card's flash.",
                          "采集卡的USB固件已损坏, 采集卡处于引导模式。修复… 重新加载固件, 然后写入采集卡闪存。"));
  notice_->setVisible(devices_ > 0);
  place_notice();
}

void RescuePanel::place_notice() {
  const QWidget* list = view_.findChild<QWidget*>(QString::number(ids::CARD_LIST));
  if (!list || notice_->isHidden()) return;
  // Over the right part of the card list, which holds no card while one is in boot mode.
  const QRect r = list->geometry();
  const int left = r.left() + r.width() * 2 / 5;
  notice_->setGeometry(left, r.top(), r.right() - left, r.height());
  notice_->raise();
}

bool RescuePanel::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Move || event->type() == QEvent::Resize) place_notice();
  return QObject::eventFilter(watched, event);
}

void RescuePanel::run(const std::string& given) {
  if (running_) return;
  struct Running {
    bool& flag;
    ~Running() { flag = false; }
  } running{running_ = true};

  const std::vector<BootDeviceInfo> found = bus_->list();
  if (found.empty()) {
    tell(tr2("No card in boot mode (04b4:00f3) is present.", "未发现处于引导模式 (04b4:00f3) 的采集卡。"));
    return;
  }
  std::string path = given;
  if (path.empty())
    path = QFileDialog::getOpenFileName(&view_, tr2("Firmware image", "固件文件"), QString(),
                                        QStringLiteral("*.img;;*"))
               .toStdString();
  if (path.empty()) return;
  std::string why;
  const std::optional<RescueImage> img = rescue_image_load(path, &why);
  if (!img) {
    tell(qs(why));
    return;
  }
  // With several controllers in boot mode the user says which: loading the wrong one is not undone.
  size_t chosen = 0;
  if (found.size() > 1) {
    QStringList names;
    for (const BootDeviceInfo& d : found) names << tr2("port %1 (%2)", "端口 %1 (%2)").arg(qs(d.port), qs(d.where));
    const int pick = choose(names);
    if (pick < 0 || pick >= names.size()) return;
    chosen = static_cast<size_t>(pick);
  }
  const BootDeviceInfo& dev = found[chosen];
  const QString what = qs(path) + QStringLiteral("\n") + qs(img->info.empty() ? std::string("-") : img->info);
  if (!ask(tr2("Load this image into the card in boot mode (%1) and start it?\n\n%2",
               "将此固件加载到引导模式下的采集卡 (%1) 并启动?\n\n%2")
               .arg(qs(dev.where), what)))
    return;
  std::unique_ptr<BootPort> port = bus_->open(dev.id, &why);
  if (!port) {
    tell(qs(why));
    return;
  }

  const std::vector<std::string> before = rescue_cards_present();
  QProgressDialog progress(tr2("Loading the firmware…", "正在加载固件…"), tr2("Cancel", "取消"), 0, 100, &view_);
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(0);
  BootLoadHooks hooks;
  hooks.progress = [&](uint64_t done, uint64_t total) {
    progress.setValue(total ? static_cast<int>(done * 100 / total) : 100);
    QCoreApplication::processEvents();
  };
  hooks.stop = [&] { return progress.wasCanceled(); };
  const BootLoadResult r = boot_load(*port, img->file.data(), img->boot, hooks);
  port.reset();
  if (!r.ok) {
    progress.close();
    if (r.step != BootLoadStep::Stopped)
      tell(tr2("The load failed: %1\nThe card was not started.", "加载失败: %1\n采集卡未启动。").arg(qs(r.error)));
    return;
  }

  progress.setLabelText(tr2("Waiting for the card…", "正在等待采集卡…"));
  progress.setRange(0, static_cast<int>(RESCUE_CARD_WAIT_MS / 100));
  CardWaitHooks wait;
  wait.tick = [&](uint32_t left_ms) {
    progress.setValue(static_cast<int>((RESCUE_CARD_WAIT_MS - left_ms) / 100));
    QCoreApplication::processEvents();
  };
  wait.stop = [&] { return progress.wasCanceled(); };
  const std::optional<platform::HidInterfaceInfo> card = rescue_wait_for_card(before, dev.port, RESCUE_CARD_WAIT_MS, wait);
  progress.close();
  if (!card) {
    if (!progress.wasCanceled())
      tell(tr2("The card did not come back after the start; the image may not be this card's firmware.",
               "启动后采集卡未出现; 该固件可能不适用于此采集卡。"));
    return;
  }
  // The window hears of the card through its own notifications; let it attach before the upgrade.
  QCoreApplication::processEvents();
  if (!ask(tr2("The card is back and runs the image from RAM until it is unplugged.\nWrite %1 to its flash now?",
               "采集卡已恢复, 在断电前从内存运行该固件。\n现在将 %1 写入闪存?")
               .arg(qs(path))))
    return;
  running_ = false;
  view_.answer_next_open_file(path);
  view_.dispatch_command(ids::BTN_USB_FIRMWARE);
}

}  // namespace kestrel::qt
