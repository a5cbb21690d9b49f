// The window as the front end of an upgrade: the upgrade runs on the window's current card, asks
// for the file through the window's file dialog, holds the window's download lock, moves its
// progress bar, turns its device controls off for the transfer and ends in "OK!" / "FAILED!".
#pragma once

#include "app/main_window.h"
#include "update/workflow.h"

namespace kestrel {

class WindowUpgradeFront : public UpgradeFront {
 public:
  explicit WindowUpgradeFront(CkestrelDlg& dlg) : dlg_(dlg) {}

  std::string choose_file(const char* filter) override;
  int set_download_lock(int mode) override;
  void transfer_begins() override;
  void transfer_progress(int percent) override;
  void transfer_ends(int32_t result) override;

 private:
  CkestrelDlg& dlg_;
};

// Buttons 1002 and 1003 on the window's current card.
class WindowUpgrade : private WindowUpgradeFront, public UpgradeWorkflow {
 public:
  explicit WindowUpgrade(CkestrelDlg& dlg, UpgradeHooks hooks = {})
      : WindowUpgradeFront(dlg), UpgradeWorkflow(dlg.upgrade_card(), *this, std::move(hooks)) {}
};

}  // namespace kestrel
