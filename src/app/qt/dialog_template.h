// Window template 135, menu 129 and accelerator table 130 as data: every control of the main
// window with its kind, its place in dialog units and its template text, the texts it may show
// later, the menu items and the keys. The Qt window is built from these tables.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kestrel::qt {

enum class ControlKind : uint8_t {
  PushButton,
  DropList,      // drop-down list: pick only
  DropCombo,     // drop-down combo box: editable
  CheckBox,      // auto check box
  Radio,         // auto radio button
  StaticLeft,
  StaticRight,
  ReadOnlyEdit,  // read-only, auto-scrolling edit
  Progress,      // smooth, bordered
};

// Runtime texts a control may show besides its template text: indices into the active table.
// -1 ends the list.
struct ControlSpec {
  uint32_t id;
  ControlKind kind;
  int x, y, w, h;              // dialog units
  std::string_view text;       // template text (UTF-8)
  bool group = false;          // starts a group of radio buttons
  int ui[3] = {-1, -1, -1};
};

struct DialogSpec {
  int w, h;                    // dialog units
  std::string_view caption;
  std::string_view font_face;
  int font_points;
  std::span<const ControlSpec> controls;
};

const DialogSpec& main_dialog_template();
const ControlSpec* find_control(uint32_t id);

// Menu 129: two popups, each a list of items; id 0 is a separator.
struct MenuItemSpec {
  uint32_t id;
  std::string_view text;
};
struct MenuSpec {
  std::string_view name;
  std::span<const MenuItemSpec> items;
};
std::span<const MenuSpec> quick_menu();

// String 101, the About item that the window's system menu carries (command 16).
inline constexpr std::string_view ABOUT_ITEM_TEXT = "关于 kestrel(&A)...";

// Accelerator table 130. `key` names the key the way the window's toolkit will: a digit of the
// numeric keypad, a punctuation key of a US layout, or F1; every entry but F1 needs Ctrl.
enum class AccelKey : uint8_t { Keypad, Semicolon, Slash, Grave, BracketLeft, Backslash, BracketRight, F1 };
struct AccelSpec {
  AccelKey key;
  int digit;        // for Keypad: 0..9
  bool ctrl;
  uint32_t command;
};
std::span<const AccelSpec> accelerators();

}  // namespace kestrel::qt
