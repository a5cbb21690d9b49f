// The window as the front end of an upgrade: the upgrade runs on the window's current card, asks
// for the file through the window's file dialog, holds the window's download lock, moves its
// progress bar, turns its device controls off for the transfer and ends in "OK!" / "FAILED!".
#pragma once

#include "app/main_window.h"
#include "update/workflow.h"

namespace kestrel {

class WindowUpgradeFront : public UpgradeFront {
 public:
  explicit WindowUpgradeFront(WindowPresenter& dlg) : dlg_(dlg) {}

  std::string choose_file(const char* filter) override;
  int set_download_lock(int mode) override;
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
      : front_(dlg), workflow_(dlg.card().upgrade_card(), front_, std::move(hooks)) {}

  void on_clicked_button_usb_firmware() { workflow_.on_clicked_button_usb_firmware(); }
  void on_clicked_button_fpga_firmware() { workflow_.on_clicked_button_fpga_firmware(); }
  void on_clicked_upgrade(uint16_t kind) { workflow_.on_clicked_upgrade(kind); }
  void watch_flash_job(FlashJob& job) { workflow_.watch_flash_job(job); }
  const UpgradeOutcome& last() const { return workflow_.last(); }
  UpgradeHooks& hooks() { return workflow_.hooks(); }

 private:
  WindowUpgradeFront front_;
  UpgradeWorkflow workflow_;
};

}  // namespace kestrel
