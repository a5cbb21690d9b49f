// shoot_dialogs: pictures of the desktop program's dialogs for the documentation, taken from the
// real dialogs opened through the real main window on simulated cards, each cropped to the dialog
// (with the caption strip that --screenshot draws, as no window manager frames it on a bare X
// server). The language follows the locale, as in kestrel. docs/shoot-dialogs runs it for both.
//
//   shoot_dialogs OUTDIR SUFFIX     writes OUTDIR/<name>-SUFFIX.png for every dialog below
//
// The property dialog (button 1500) and the About box (menu item 16) on a meadow card; the
// upgrade confirmation of button 1002 once for each verdict row of the match check, with a USB
// image chosen in the file dialog and the confirmation cancelled (nothing is written):
//   alert-suits     TB610M-1CH image on a TB610M-1CH card: probe passes, tags equal (0x0100)
//   alert-careful   image tagged "TB610M" on a TB610M-1CH card: probe passes, tags differ (0x0200)
//   alert-conflict  TB610K-1CH image on a TB610K-1CH card: probe fails, tags equal (0x0301)
//   alert-mismatch  image without info text on a TB610K-1CH card: neither (0x0301)
// and the main window on a TB610R-1CH card twice: with its Diagnostics menu open (menu), and
// after Diagnostics > Run status query, with the log pane that opened for it (log).
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/ids.h"
#include "app/qt/alert_view.h"
#include "app/qt/kestrel_window.h"
#include "app/qt/screenshot.h"
#include "app/qt/small_dialogs.h"
#include "devlink/qhidev.h"
#include "log/clock.h"
#include "log/log.h"
#include "platform/hid_backend.h"
#include "res/ui_text.h"
#include "sim/sim_backend.h"
#include "support/test_images.h"

namespace {

using namespace kestrel;

struct Shot {
  std::string name;
  std::string board;
  uint32_t command;
  std::vector<uint8_t> image;  // for button 1002: the file the user picks
};

// Opens the window on a card of `shot.board`, runs the command, and when the dialog that is not a
// file dialog comes up, saves its picture and closes it. False when no dialog came up or the
// picture could not be written.
bool take(const Shot& shot, const QString& path) {
  sim::SimBackend backend;
  platform::set_backend(&backend);
  backend.add_card(*sim::make_scenario(shot.board));
  qhidev_list list;
  bool saved = false;
  {
    qt::KestrelWindow window(&backend, list);
    window.view().set_message_sink([](const std::string&) {});
    window.init_dialog();
    window.view().show();
    test::TempDir dir;
    const std::string file = shot.image.empty() ? std::string() : dir.write("card.img", shot.image);

    // The user: picks the file, then photographs the dialog once it has painted, and closes it.
    std::vector<QPointer<QWidget>> seen;
    QTimer look;
    look.setInterval(20);
    QObject::connect(&look, &QTimer::timeout, [&] {
      QWidget* w = QApplication::activeModalWidget();
      if (!w || !w->isVisible()) return;
      for (const auto& s : seen)
        if (s == w) return;
      seen.emplace_back(w);
      if (auto* d = qobject_cast<QFileDialog*>(w)) {
        // Typed into the name field, as a user would (selectFile leaves a field that has the
        // focus alone, and on a real display it has).
        if (auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) name->setText(QString::fromStdString(file));
        static_cast<QDialog*>(d)->accept();
        return;
      }
      QTimer::singleShot(300, w, [w, &path, &saved] {
        saved = qt::save_window_picture(*w, path);
        if (auto* cancel = w->findChild<QPushButton*>(QStringLiteral("2")))
          cancel->click();  // the confirmation and the property dialog: Cancel
        else
          static_cast<QDialog*>(w)->reject();  // the About box
      });
    });
    look.start();
    window.view().dispatch_command(shot.command);
    look.stop();
    window.end_dialog();
  }
  qhidev_release_all(list);
  platform::set_backend(nullptr);
  return saved;
}

// Opens the window on one card of `board`, lets `use` work with it (the window's init included),
// then ends the window.
void with_window(const std::string& board, const std::function<void(qt::KestrelWindow&)>& use) {
  sim::SimBackend backend;
  platform::set_backend(&backend);
  backend.add_card(*sim::make_scenario(board));
  qhidev_list list;
  {
    qt::KestrelWindow window(&backend, list);
    use(window);
    window.end_dialog();
  }
  qhidev_release_all(list);
  platform::set_backend(nullptr);
}

// The window with the popup of menu `name` open, the popup drawn where it shows on the screen.
bool take_menu(const QString& path, const QString& name) {
  bool saved = false;
  with_window("TB610R-1CH", [&](qt::KestrelWindow& window) {
    qt::QtView& view = window.view();
    window.init_dialog();
    view.show();
    QMenu* menu = view.menu_bar()->findChild<QMenu*>(name);
    if (!menu) return;
    const QRect title = view.menu_bar()->actionGeometry(menu->menuAction());
    menu->popup(view.menu_bar()->mapToGlobal(title.bottomLeft()));
    QTimer::singleShot(500, &view, [&] {
      const QImage frame = qt::window_picture(view);
      const int caption = frame.height() - view.height() - 1;  // the strip window_picture draws
      const QPoint at = view.mapFromGlobal(menu->pos()) + QPoint(1, caption);
      const QPixmap popup = menu->grab();
      QImage img(frame.width(), std::max(frame.height(), at.y() + popup.height() + 8), QImage::Format_RGB32);
      img.fill(Qt::white);
      QPainter p(&img);
      p.drawImage(0, 0, frame);
      p.drawPixmap(at, popup);
      p.end();
      saved = img.save(path, "PNG");
      menu->hide();
      view.reject();
    });
    view.exec();
  });
  return saved;
}

// The window after a menu command whose output went to the log pane.
bool take_log(const QString& path, uint32_t command) {
  bool saved = false;
  with_window("TB610R-1CH", [&](qt::KestrelWindow& window) {
    qt::QtView& view = window.view();
    FILE* stream = view.log_pane().open_stream(nullptr);
    log_attach_stream(stream);
    window.init_dialog();
    view.show();
    if (QAction* item = view.menu_item(command)) {
      item->trigger();
      QTimer::singleShot(500, &view, [&] {
        saved = qt::save_window_picture(view, path);
        view.reject();
      });
      view.exec();
    }
    log_attach_stream(nullptr);
    std::fclose(stream);
  });
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: shoot_dialogs OUTDIR SUFFIX\n");
    return 2;
  }
  // The file dialog is only answered here, never photographed: Qt's own, which the tool can fill
  // in, rather than a desktop's native one.
  QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QApplication app(argc, argv);
  QApplication::setStyle(QStringLiteral("Fusion"));
  ui_text_select_from_environment();
  clock_init();
  const QString out = QString::fromLocal8Bit(argv[1]);
  const QString suffix = QString::fromLocal8Bit(argv[2]);

  test::UsbImageSpec careful = test::tagged("TB610M");
  const std::vector<Shot> shots = {
      {"props", "meadow", ids::BTN_VIDEO_PROPS, {}},
      {"about", "meadow", ids::ID_ABOUT, {}},
      {"alert-suits", "TB610M-1CH", ids::BTN_USB_FIRMWARE, test::usb_image(test::tagged("TB610M-1CH"))},
      {"alert-careful", "TB610M-1CH", ids::BTN_USB_FIRMWARE, test::usb_image(careful)},
      {"alert-conflict", "TB610K-1CH", ids::BTN_USB_FIRMWARE, test::usb_image(test::tagged("TB610K-1CH"))},
      {"alert-mismatch", "TB610K-1CH", ids::BTN_USB_FIRMWARE, test::usb_image(test::without_info())},
  };
  int failed = 0;
  const QString menu_path = QStringLiteral("%1/menu-%2.png").arg(out, suffix);
  const QString log_path = QStringLiteral("%1/log-%2.png").arg(out, suffix);
  for (const auto& [ok, path] : {std::pair{take_menu(menu_path, QStringLiteral("diagnostics")), menu_path},
                                 std::pair{take_log(log_path, ids::ID_RUN_STATUS), log_path}}) {
    if (ok) {
      std::printf("%s\n", qPrintable(path));
    } else {
      std::fprintf(stderr, "shoot_dialogs: no picture %s\n", qPrintable(path));
      ++failed;
    }
  }
  for (const Shot& s : shots) {
    const QString path = QStringLiteral("%1/%2-%3.png").arg(out, QString::fromStdString(s.name), suffix);
    if (take(s, path)) {
      std::printf("%s\n", qPrintable(path));
    } else {
      std::fprintf(stderr, "shoot_dialogs: no picture of %s\n", s.name.c_str());
      ++failed;
    }
  }
  return failed ? 1 : 0;
}
