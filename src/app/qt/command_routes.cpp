#include "app/qt/command_routes.h"

#include "app/ids.h"

namespace kestrel::qt {

Route route_of(uint32_t id) {
  switch (id) {
    case ids::IDOK: return Route::EndOk;
    case ids::IDCANCEL: return Route::NoOp;  // Escape must not close the window
    case ids::BTN_EXIT: return Route::EndCancel;

    // Video panel, status refresh, property dialog, help, About, upgrade, device events,
    // diagnostics, FPGA register files, register panel. Handlers that have not landed in the
    // logic yet answer "not mine" there and do nothing.
    case ids::ID_ABOUT:
    case 1000: case 1007: case 1031: case 1052: case 1056: case 1026: case 1042: case 1051:
    case 1027: case 1028: case 1058: case 1039: case 1040: case 1043: case 1005:
    case 32809: case 32810: case 32811: case 32812: case 32814: case 32816:
    case 32808:
    case 1500:
    case 32768:
    case 1001: case 1002: case 1003:
    case 32821: case 32822: case 32823: case 32824:
    case 32800: case 32801: case 32802: case 32803: case 32804: case 32805: case 32806: case 1061:
    case 32817: case 32818: case 32819: case 32820:
    case ids::ID_FPGA_DUMP:
    case 1053: case 1011: case 1012: case 1013:
      return Route::Logic;

    case ids::ID_LOG_PANE: return Route::View;
    case ids::ID_PREVIEW_PANE: return Route::View;

    case 32813:
    case 1016: case 1017: case 1018: case 1034: case 1036: case 1038:
    case 1044: case 1045: case 1046: case 1047: case 1048: case 1049:
    case 1054: case 1057: case 1059: case 1060:
      return Route::NoOp;

    default:
      // Script items and their accelerators: the logic runs the script of a filled slot; an
      // empty slot does nothing.
      if (id >= ids::ID_SCRIPT_FIRST && id <= ids::ID_SCRIPT_LAST) return Route::Logic;
      return Route::Unrouted;  // 32815 among them
  }
}

}  // namespace kestrel::qt
