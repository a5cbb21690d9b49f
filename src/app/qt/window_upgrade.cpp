#include "app/qt/window_upgrade.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

#include <optional>
#include <string>

#include "app/ids.h"
#include "app/main_window.h"
#include "app/qt/alert_view.h"
#include "app/qt/qt_view.h"
#include "app/qt/small_dialogs.h"
#include "platform/hid_backend.h"
#include "history/history_path.h"
#include "history/history_store.h"
#include "log/clock.h"
#include "log/log.h"
#include "res/ui_phrases.h"
#include "res/ui_text.h"
#include "update/fpga_check.h"
#include "update/image_check.h"
#include "update/image_file.h"
#include "update/transfer_progress.h"
#include "update/upgrade_end.h"
#include "update/verify.h"
#include "app/upgrade_front.h"
#include "update/workflow.h"

namespace kestrel::qt {

namespace {

// The desktop program's history, opened at its first upgrade ($KESTREL_HISTORY, else the XDG
// state folder), and again should that place have changed since (the History dialog reads it from
// there).
history::HistoryStore& window_history() {
  static std::string opened;
  static history::HistoryStore store;
  const std::string path = history::resolve_history_path().path;
  if (path != opened || opened.empty()) {
    store = history::HistoryStore::open(path);
    opened = path;
  }
  return store;
}

// A chosen file the upgrade may go on with. USB-controller images meet the match check instead.
// An FPGA file must be readable, and one without a bitstream's marks would leave the card without
// its logic, so it goes on only when the user says so; the question defaults to No.
bool file_goes_on(uint16_t kind, const std::string& path, const ImageFile& img, QWidget* parent) {
  if (kind != UPGRADE_KIND_FPGA) return true;
  const FpgaImageCheck check = check_fpga_image(img.data());
  if (check.ok) return true;
  // One language throughout: the question, the reason and the buttons.
  const bool zh = ui_text == ui_text_zh;
  const QString text = zh ? QStringLiteral("%1\n\n该文件不像FPGA逻辑文件: %2\n是否强制升级?")
                          : QStringLiteral("%1\n\nThis file does not look like FPGA logic: %2\nWrite it anyway?");
  QMessageBox box(QMessageBox::Question, QStringLiteral("kestrel"),
                  text.arg(QString::fromStdString(path), QString::fromStdString(zh ? check.reason_zh : check.reason)),
                  QMessageBox::Yes | QMessageBox::No, parent);
  auto phrase = [](std::string_view zh_text) {
    const std::string_view t = ui_phrase(zh_text);
    return QString::fromUtf8(t.data(), static_cast<qsizetype>(t.size()));
  };
  box.button(QMessageBox::Yes)->setText(phrase("是(&Y)"));
  box.button(QMessageBox::No)->setText(phrase("否(&N)"));
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace

void run_window_upgrade(uint32_t id, WindowPresenter& window, QWidget* parent) {
  const uint16_t kind = id == ids::BTN_USB_FIRMWARE ? UPGRADE_KIND_USB : UPGRADE_KIND_FPGA;
  // Nothing else reaches the card, and the window stays, until the upgrade has ended.
  auto* view = qobject_cast<QtView*>(parent);
  if (view) view->set_busy(true);
  struct Release {
    QtView* v;
    ~Release() {
      if (v) v->set_busy(false);
    }
  } release{view};

  // The attempt, on record from when its file goes on (or is refused): a record that cannot be
  // written never stops the upgrade, a message says so.
  std::shared_ptr<UpgradeEnd> end;
  auto begin = [&](const std::string& path, const ImageFile* img) {
    end = std::make_shared<UpgradeEnd>(window_history(), window.card().history_identity(), kind, path, img,
                                       window.view().text(ids::VERSION_TEXT),
                                       [&window](const std::string& m) { window.view().message_box(m); });
  };
  std::string declined;  // why the file did not go on, when the window said no itself
  UpgradeHooks hooks;
  hooks.show_alert = [&end](const AlertRequest& r) {
    const bool go = show_alert_dialog(r);
    if (end) end->asked(r, go);
    return go;
  };
  // The chosen file, as read once: put on record before anything is written, its FPGA marks
  // looked at, and later the version the card must come back with.
  hooks.accept_file = [&](uint16_t, const std::string& path, const ImageFile& img) {
    begin(path, &img);
    const bool ok = file_goes_on(kind, path, img, parent);
    if (!ok) declined = "not an FPGA bitstream";
    return ok;
  };
  // The phase and time left beside the bar, estimated as kestrelctl estimates them, from the
  // transfer's first report on.
  uint64_t transfer_began_ns = 0;
  hooks.progress = [&window, &transfer_began_ns](UpgradePhase phase, int percent) {
    const uint64_t now = clock_now_ns();
    if (!transfer_began_ns || percent == 0) transfer_began_ns = now;
    const TransferEstimate e = estimate_transfer(now - transfer_began_ns, percent, 0);
    window.view().set_progress_text(ids::PROGRESS,
                                    progress_text(progress_stage(phase), e.seconds_left, ui_text == ui_text_zh));
  };
  // The GUI thread waits for the transfer in rounds; the window stays alive meanwhile.
  hooks.pump = [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); };
  WindowUpgrade upgrade(window, std::move(hooks));
  upgrade.on_clicked_upgrade(kind);
  const UpgradeOutcome& o = upgrade.last();
  // A file the workflow refused itself (unreadable, empty, past the path's limit, a boot image
  // the controller would not start): nothing was written, and the user is told why.
  if (!o.refusal.empty()) window.view().message_box(o.refusal);
  if (!o.busy.empty()) window.view().message_box(o.busy);
  if (!o.refusal.empty() && !end) {
    // Refused before the attempt went on record: it is recorded now, with the reason.
    begin(o.file, o.image.get());
    end->took(o);
    end->finish(o.refusal);
    return;
  }
  if (!end) return;  // no file was chosen: no attempt

  end->took(o);
  end->finish(o.transferred                      ? (o.ok ? "waiting for the card to restart"
                                                         : "FAILED! (result " + std::to_string(o.result) + ")")
              : o.accepted && !o.file_refused    ? "the transfer did not run"
              : declined.empty()                 ? "declined"
                                                 : declined);
  if (!o.ok) return;

  // "OK!" says the card took the image; whether it runs it shows once it is back. The record's
  // last word is the verdict, and a record still not written is said again with it.
  UpgradeEnd* e = end.get();
  window.session().arm_upgrade_end(std::move(end), [&window, e](const VerifyReport& r, const std::string&) {
    const bool said = !e->history_failure().empty();
    if (!e->finish(r.summary()) && said) window.view().message_box(e->history_failure());
  });
}

}  // namespace kestrel::qt
