#include "app/upgrade_front.h"

#include "app/ids.h"
#include "app/main_window.h"
#include "res/ui_text.h"
#include "update/transfer_progress.h"

namespace kestrel {

std::string WindowUpgradeFront::choose_file(const char* filter) { return dlg_.view().open_file_dialog(filter); }

int WindowUpgradeFront::set_download_lock(int mode) { return dlg_.card().set_download_lock(mode); }

void WindowUpgradeFront::transfer_begins() {
  DialogView& view = dlg_.view();
  view.show(ids::PROGRESS, true);
  view.set_progress(ids::PROGRESS, 0);
  // Every transfer begins with its erase; the workflow's progress hook tells the phases after.
  view.set_progress_text(ids::PROGRESS, progress_text(ProgressStage::Erase, std::nullopt, ui_text == ui_text_zh));
  dlg_.enable_device_controls(false);
}

void WindowUpgradeFront::transfer_progress(int percent) { dlg_.view().set_progress(ids::PROGRESS, percent); }

void WindowUpgradeFront::transfer_ends(int32_t result) {
  DialogView& view = dlg_.view();
  dlg_.enable_device_controls(true);
  view.message_box(result != 0 ? UPGRADE_FAILED : UPGRADE_OK);
  view.show(ids::PROGRESS, false);
}

}  // namespace kestrel
