// The window's two upgrade buttons (1002, 1003): the upgrade workflow with the window locked
// against every other command, the FPGA file check, the record in the upgrade history, and the
// wait for the card's verified end.
#pragma once

#include <cstdint>

class QWidget;

namespace kestrel {
class WindowPresenter;
}

namespace kestrel::qt {

void run_window_upgrade(uint32_t id, WindowPresenter& window, QWidget* parent);

}  // namespace kestrel::qt
