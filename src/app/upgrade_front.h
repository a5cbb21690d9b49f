// The window as the front end of an upgrade: the upgrade runs on the window's current card, takes
// its file from the window's file dialog (with the filter of the path the upgrade will take, read
// once before the workflow starts), moves the window's progress bar, turns its device controls
// off for the transfer and ends in "OK!" / "FAILED!". The download lock is the card's own.
#pragma once

#include <cstdint>

#include "app/main_window.h"
#include "update/workflow.h"

namespace kestrel {

class WindowUpgradeFront : public UpgradeFront {
 public:
  explicit WindowUpgradeFront(WindowPresenter& dlg) : dlg_(dlg) {}

  void transfer_begins() override;
  void transfer_progress(int percent) override;
  void transfer_ends(int32_t result) override;

 private:
  WindowPresenter& dlg_;
};

// Buttons 1002 and 1003 on the window's current card: the workflow with the window as its front.
class WindowUpgrade {
 public:
  explicit WindowUpgrade(WindowPresenter& dlg, UpgradeHooks hooks = {})
      : dlg_(dlg), front_(dlg), workflow_(dlg.card().upgrade_card(), front_, std::move(hooks)) {}

  void on_clicked_button_usb_firmware();
  void on_clicked_button_fpga_firmware();
  // Either button by image kind: the file dialog, the file read once, the upgrade. A cancelled
  // dialog chooses no file: the workflow then sends what it sends for none.
  void on_clicked_upgrade(uint16_t kind);
  // The upgrade of a file already chosen and read.
  void upgrade(uint16_t kind, const std::string& path, std::shared_ptr<const ImageFile> image,
               const std::string& unreadable = {}) {
    workflow_.upgrade(kind, path, std::move(image), unreadable);
  }
  void watch_flash_job(FlashJob& job) { workflow_.watch_flash_job(job); }
  const UpgradeOutcome& last() const { return workflow_.last(); }
  UpgradeHooks& hooks() { return workflow_.hooks(); }

 private:
  WindowPresenter& dlg_;
  WindowUpgradeFront front_;
  UpgradeWorkflow workflow_;
};

}  // namespace kestrel
