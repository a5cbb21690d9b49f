// The main window's command vocabulary: for each command id (a control's click or selection
// change, a menu item, an accelerator, a posted command), who handles it.
#pragma once

#include <cstdint>

namespace kestrel::qt {

enum class Route : uint8_t {
  Unrouted,   // not part of the window's vocabulary: dropped
  Logic,      // WindowPresenter::on_command
  NoOp,       // routed to an empty handler
  EndOk,      // the dialog ends with "accepted" (IDOK, the Enter key)
  EndCancel,  // the dialog ends with "rejected" (Exit, 1041)
  View,       // the window's own widgets, nothing on the card (the log pane)
};

Route route_of(uint32_t id);

}  // namespace kestrel::qt
