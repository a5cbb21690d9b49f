#include "app/upgrade_front.h"

#include "app/ids.h"
#include "app/main_window.h"
#include "res/ui_text.h"
#include "update/transfer_progress.h"

namespace kestrel {

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

void WindowUpgrade::on_clicked_button_usb_firmware() { on_clicked_upgrade(UPGRADE_KIND_USB); }
void WindowUpgrade::on_clicked_button_fpga_firmware() { on_clicked_upgrade(UPGRADE_KIND_FPGA); }

void WindowUpgrade::on_clicked_upgrade(uint16_t kind) {
  const std::string path = dlg_.view().open_file_dialog(workflow_.file_filter(kind));
  std::string unreadable;
  std::shared_ptr<const ImageFile> image = path.empty() ? nullptr : ImageFile::load_shared(path, &unreadable);
  workflow_.upgrade(kind, path, std::move(image), unreadable);
}

}  // namespace kestrel
