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
  explicit WindowUpgradeFront(CkestrelDlg& dlg) : dlg_(dlg) {}

  void transfer_begins() override;
  void transfer_progress(int percent) override;
  void transfer_ends(int32_t result) override;

 protected:
  CkestrelDlg& dlg_;
};

// Buttons 1002 and 1003 on the window's current card.
class WindowUpgrade : private WindowUpgradeFront, public UpgradeWorkflow {
 public:
  explicit WindowUpgrade(CkestrelDlg& dlg, UpgradeHooks hooks = {})
      : WindowUpgradeFront(dlg), UpgradeWorkflow(dlg.upgrade_card(), *this, std::move(hooks)) {}

  void on_clicked_button_usb_firmware();
  void on_clicked_button_fpga_firmware();
  // Either button by image kind: the file dialog, the file read once, the upgrade. A cancelled
  // dialog chooses no file: the workflow then sends what it sends for none.
  void on_clicked_upgrade(uint16_t kind);
};

}  // namespace kestrel
