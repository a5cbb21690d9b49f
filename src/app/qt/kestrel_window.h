// The main window put together: the widgets (QtView), the window's logic (WindowPresenter) that
// drives them, the 10 ms timer and the device notifications of the HID backend.
#pragma once

#include <QObject>

#include <memory>
#include <optional>
#include <string>

#include "app/main_window.h"
#include "app/qt/qt_view.h"
#include "devlink/qhidev.h"

class QSocketNotifier;
class QTimer;

namespace kestrel::platform {
class HidBackend;
}

namespace kestrel::qt {

class KestrelWindow : public QObject {
  Q_OBJECT

 public:
  // The logic's constructor runs here (it builds the board registry; it must not use the clock).
  KestrelWindow(platform::HidBackend* backend, qhidev_list& list);
  ~KestrelWindow() override;
  KestrelWindow(const KestrelWindow&) = delete;
  KestrelWindow& operator=(const KestrelWindow&) = delete;

  QtView& view() { return *view_; }
  WindowPresenter& logic() { return *logic_; }

  // What the window does once its widgets exist: start the 10 ms timer, register for device
  // arrival and removal, then the logic's first scan, refresh and texts. Without a way to learn
  // of devices the window closes at once, without a scan, and this answers false.
  bool init_dialog();

  // Ends the dialog object: the device notification and the timer stop and the logic releases
  // every device. The widgets stay until this object is destroyed, so that a command the reader
  // posts meanwhile finds its window.
  void end_dialog();

 private:
  // The selected card's line and the preview pane follow the current card: both change only when
  // the card (its node) or its board changes, so the backend is not asked on every tick.
  void follow_current_card();
  void on_hotplug();
  // Lets in the device notifications held back while an upgrade ran, once it has ended.
  void replay_hotplug();

  platform::HidBackend* backend_;
  std::unique_ptr<QtView> view_;
  std::optional<WindowPresenter> logic_;
  QTimer* timer_ = nullptr;
  QSocketNotifier* notifier_ = nullptr;
  bool hotplug_held_ = false;  // notifications wait in the backend until the window lock is free
  bool card_followed_ = false;  // the line was written at least once
  std::string followed_node_;   // the current card's node when the line was written ("" none)
  std::string followed_board_;
};

}  // namespace kestrel::qt
