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
#include "update/upgrade_attempt.h"
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

// A record that could not be written never stops the upgrade; the log and a message say so.
void report_history(const history::HistoryWrite& w, WindowPresenter& window, bool& reported) {
  if (w.ok || reported) return;
  reported = true;
  log_printf(0, " war : %s\r\n", w.message.c_str());
  window.view().message_box(w.message);
}

// The attempt on record; `img` null for a file that could not be read.
history::Attempt attempt_of(WindowPresenter& window, uint16_t kind, const std::string& path, const ImageFile* img) {
  return upgrade_attempt(window.card().history_identity(), kind, path, img, window.view().text(ids::VERSION_TEXT));
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

  int64_t record = 0;
  bool begun = false, reported = false;
  history::Outcome rec;
  rec.result = history::Result::Declined;
  UpgradeHooks hooks;
  hooks.show_alert = [&rec](const AlertRequest& r) {
    rec.verdict = r.verdict.value_or("");
    const bool go = show_alert_dialog(r);
    // Forced is what went ahead past a mismatch; a declined one was not forced.
    rec.forced = go && r.style == ALERT_STYLE_FORCE;
    return go;
  };
  // The chosen file, as the workflow read it once: put on record before anything is written, its
  // FPGA marks looked at, and later the version the card must come back with.
  hooks.accept_file = [&](uint16_t k, const std::string& path, const ImageFile& img) {
    const history::HistoryWrite w = window_history().begin(attempt_of(window, k, path, &img));
    record = w.id;
    begun = true;
    report_history(w, window, reported);
    const bool ok = file_goes_on(k, path, img, parent);
    if (!ok) rec.detail = "not an FPGA bitstream";
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
  if (!o.refusal.empty() && !begun) {
    // Refused before the attempt went on record: it is recorded now, with the reason.
    const history::HistoryWrite w = window_history().begin(attempt_of(window, kind, o.file, o.image.get()));
    report_history(w, window, reported);
    rec.result = history::Result::Refused;
    rec.detail = o.refusal;
    if (w.ok) report_history(window_history().finish(w.id, rec), window, reported);
    return;
  }
  if (!begun) return;  // no file was chosen: no attempt

  rec.path = o.path == UpgradePath::FlashChannel ? history::TransferPath::FlashChannel : history::TransferPath::HidDownload;
  if (o.transferred) {
    rec.engine_result = o.result;
    rec.result = o.ok ? history::Result::Ok : history::Result::Failed;
    rec.detail = o.ok ? "waiting for the card to restart" : "FAILED! (result " + std::to_string(o.result) + ")";
  } else if (o.accepted && !o.file_refused) {
    rec.result = history::Result::Failed;
    rec.detail = "the transfer did not run";
  } else if (rec.detail.empty()) {
    rec.detail = "declined";
  }
  report_history(window_history().finish(record, rec), window, reported);
  if (!o.ok) return;

  // "OK!" says the card took the image; whether it runs it shows once it is back.
  std::optional<ImageVersion> image;
  if (kind == UPGRADE_KIND_USB && o.image) image = image_version_of(o.image->data());
  window.session().arm_upgrade_end(kind, std::move(image), [&window, record, rec](const VerifyReport& r, const std::string& after) {
    history::Outcome end = rec;
    end.version_after = after;
    end.detail = r.summary();
    if (r.end == VerifiedEnd::Verified) end.verified = true;
    if (r.end == VerifiedEnd::NotVerified) end.verified = false;
    bool reported_late = false;
    report_history(window_history().finish(record, end), window, reported_late);
  });
}

}  // namespace kestrel::qt
