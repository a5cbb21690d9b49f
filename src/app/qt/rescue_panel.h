// The desktop program's side of a rescue: a notice beside the card list while a device in boot
// mode (04b4:00f3) is present, learned from udev's usb subsystem, and the Rescue… item of the
// Card menu, which loads a firmware image with a file dialog and progress, waits for the card,
// and offers to write the same image to its flash through the window's own upgrade.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

#include "bootmode/boot_port.h"

class QAction;
class QLabel;
class QSocketNotifier;
class QTimer;
struct udev;
struct udev_monitor;

namespace kestrel {
class WindowPresenter;
}

namespace kestrel::qt {

class QtView;

class RescuePanel : public QObject {
  Q_OBJECT

 public:
  // A child of `view`, which deletes it.
  RescuePanel(QtView& view, WindowPresenter& window, std::unique_ptr<BootBus> bus);
  ~RescuePanel() override;

  // Lists the devices in boot mode again: shows or hides the notice, enables the menu item.
  void refresh();
  // The rescue; `path` empty: asks for the file.
  void run(const std::string& path = {});

  QLabel* notice() const { return notice_; }
  QAction* item() const { return item_; }
  size_t devices() const { return devices_; }

  // The questions and messages of the flow (tests answer them): yes/no with No as default, and
  // a warning or information text.
  std::function<bool(const QString& text)> ask;
  std::function<void(const QString& text)> tell;
  // With several devices in boot mode: which one, by its index among `names`; -1 for none.
  std::function<int(const QStringList& names)> choose;

 private:
  void watch_usb();
  void place_notice();
  bool eventFilter(QObject* watched, QEvent* event) override;

  QtView& view_;
  WindowPresenter& window_;
  std::unique_ptr<BootBus> bus_;
  QLabel* notice_ = nullptr;
  QAction* item_ = nullptr;
  size_t devices_ = 0;
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* poll_ = nullptr;
  bool running_ = false;
};

}  // namespace kestrel::qt
