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

// The menu bar. Linux desktops give a window no system menu and menu 129 was never shown, so
// the window carries its own bar: the card's commands, the engineering dumps and the debug
// channel, the register files and scripts, the log pane, the help and About. Every item that runs
// a command keeps the command's id (QAction data) and goes through the window's dispatch, as a
// click or an accelerator does. Texts are the Chinese keys of the phrase table (res/ui_phrases.h),
// shown in the language of the active table.
enum MenuItemFlag : uint8_t {
  MENU_NEEDS_CARD = 1,  // disabled while no card is attached
  MENU_NO_ACTION = 2,   // routed to nothing on the card: always disabled, with a tooltip saying so
  MENU_SHOWS_LOG = 4,   // its output goes to the log: the log pane opens first
  MENU_CHECKABLE = 8,   // shows a state (the debug channel, the log pane)
};
struct MenuItemSpec {
  uint32_t id;              // 0: a separator
  std::string_view text;    // Chinese key
  uint8_t flags = 0;
  std::string_view shortcut = {};  // shown beside the text; the accelerator table does the work
};
struct MenuSpec {
  std::string_view name;    // objectName of the popup
  std::string_view title;   // Chinese key
  std::span<const MenuItemSpec> items;
};
std::span<const MenuSpec> menu_bar_spec();
// The popup that receives one item per loaded script, after its own items.
inline constexpr std::string_view SCRIPT_MENU = "service";
// The View menu's item that opens the upgrade history.
inline constexpr const char* HISTORY_ITEM_TEXT = "升级记录…";
inline constexpr const char* CARD_HISTORY_ITEM_TEXT = "本卡的升级记录…";
// Tooltip of the items that have no action on the card.
inline constexpr std::string_view NO_ACTION_TIP = "此命令对采集卡没有作用";

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
