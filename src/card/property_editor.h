// The video property editor of a card, the property dialog's logic without widgets: twelve trackbar
// rows over the card's 32-byte property block (board_control code 8), live writes at most every
// 200 ms, the store at OK, the write-back at Cancel, and the audio policy list (command 6).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

class Card;
class HidLink;

namespace propdlg {
// Control ids of the dialog template.
constexpr uint32_t IDOK = 1, IDCANCEL = 2;
constexpr uint32_t BTN_REVERT = 1510, BTN_DEFAULT = 1511;
constexpr uint32_t TRACK_FIRST = 1600, TRACK_LAST = 1611, TRACK_SCROLL_LAST = 1616;
constexpr uint32_t CAPTION_FIRST = 1700, CAPTION_POLICY = 1712;
constexpr uint32_t LABEL_FIRST = 1800;
constexpr uint32_t POLICY_LIST = 1901;
constexpr uint32_t ROWS = 12;
constexpr uint32_t TIMER_ID = 100, TIMER_PERIOD_MS = 200;
}  // namespace propdlg

// The 16-byte block of command 6.
constexpr size_t AUDIO_POLICY_SIZE = 16;
constexpr size_t AP_ITEM = 4, AP_WRITE = 5, AP_POLICY = 12;

// Command 6 on the short report with `block` (its first four bytes forced to the magic); the
// answer's 16 payload bytes go to `dest`. False without a current device, on a failed send or
// fetch, or an answer that does not pass the frame check. `page` holds the request and answer.
bool audio_policy_exchange(HidLink& link, const uint8_t* block, uint8_t* dest, std::span<uint8_t> page);

// List index <-> audio policy code: 0..3 are codes 0..3, 4..11 are 0x80..0x87.
uint8_t policy_code_of_index(uint8_t index);
uint8_t policy_index_of_code(uint8_t code);

// What the dialog needs of its widgets, by control id.
class PropDialogView {
 public:
  virtual ~PropDialogView() = default;
  virtual bool has_control(uint32_t id) const = 0;
  virtual void set_range(uint32_t id, int lo, int hi) = 0;
  virtual void set_pos(uint32_t id, int pos) = 0;
  virtual int pos(uint32_t id) const = 0;
  virtual void set_text(uint32_t id, const std::string& text) = 0;
  virtual void enable(uint32_t id, bool on) = 0;
  virtual void set_title(const std::string& title) = 0;
  virtual void reset_items(uint32_t id) = 0;
  virtual void add_item(uint32_t id, const std::string& text) = 0;
  virtual void select(uint32_t id, int index) = 0;
  virtual int selection(uint32_t id) const = 0;  // -1: none
  virtual void set_timer(uint32_t id, uint32_t period_ms) = 0;
  virtual void kill_timer(uint32_t id) = 0;
  virtual void end_dialog(int result) = 0;
};

// The dialog's widgets as plain memory (tests).
class MemoryPropView : public PropDialogView {
 public:
  struct Control {
    int lo = 0, hi = 100, pos = 0;
    std::string text;
    bool enabled = true;
    std::vector<std::string> items;
    int sel = -1;
  };
  MemoryPropView();  // every control of the template
  bool has_control(uint32_t id) const override { return controls.count(id) != 0; }
  void set_range(uint32_t id, int lo, int hi) override { at(id).lo = lo, at(id).hi = hi; }
  void set_pos(uint32_t id, int pos) override;
  int pos(uint32_t id) const override { return controls.at(id).pos; }
  void set_text(uint32_t id, const std::string& text) override { at(id).text = text; }
  void enable(uint32_t id, bool on) override { at(id).enabled = on; }
  void set_title(const std::string& t) override { title = t; }
  void reset_items(uint32_t id) override { at(id).items.clear(), at(id).sel = -1; }
  void add_item(uint32_t id, const std::string& text) override { at(id).items.push_back(text); }
  void select(uint32_t id, int index) override { at(id).sel = index; }
  int selection(uint32_t id) const override { return controls.at(id).sel; }
  void set_timer(uint32_t id, uint32_t period_ms) override { timers[id] = period_ms; }
  void kill_timer(uint32_t id) override { timers.erase(id); }
  void end_dialog(int r) override { result = r; }

  Control& at(uint32_t id) { return controls[id]; }
  std::map<uint32_t, Control> controls;
  std::map<uint32_t, uint32_t> timers;
  std::string title;
  int result = 0;  // 0 while the dialog runs
};

// A trackbar row as the dialog shows it: range, position, usable.
struct PropRow {
  int lo = 0, hi = 100, value = 0;
  bool enabled = true;
};

class PropertyEditor {
 public:
  using Block = std::array<uint8_t, 32>;

  explicit PropertyEditor(Card& card);

  // Opening, steps 2 and 3: reads the audio policy and the card's property block. False when the
  // card did not answer the property read; the dialog is then not shown.
  bool open();

  // Called once the widgets exist.
  void on_init_dialog(PropDialogView& view);
  // The same without widgets: the rows and the policy choice are kept here only.
  void start();
  // A trackbar moved (scroll notification `code`). False when `id` is not a trackbar row.
  bool on_scroll(uint32_t id, uint32_t code);
  // Row `row` moved to `value` (kept within the row's range), as its trackbar reports it.
  void move_row(uint32_t row, int value, uint32_t code);
  // False for a timer that is not the dialog's.
  bool on_timer(uint32_t id);
  void on_ok();
  void on_cancel();
  void on_revert();   // 1510
  void on_default();  // 1511
  void on_policy_changed();  // 1901, selection change
  // The policy list's entry `index` chosen; the card is told when it differs from the current.
  void choose_policy(int index);
  // Routes a button or list notification by control id; false when not the dialog's.
  bool on_command(uint32_t id);

  const Block& initial() const { return initial_; }
  const Block& working() const { return working_; }
  bool applied() const { return applied_ != 0; }
  uint8_t current_policy() const { return current_policy_; }
  // What the dialog shows: the rows, the policy list and its choice (-1: none).
  const std::array<PropRow, propdlg::ROWS>& rows() const { return rows_; }
  static std::vector<std::string> policy_names();
  int policy_choice() const { return policy_choice_; }

 private:
  void show_block(const Block& b);
  bool write_policy(uint8_t index);
  void write_working();

  uint8_t current_policy_ = 1;
  uint8_t initial_policy_ = 1;
  Card& card_;
  Block initial_{};
  Block working_{};
  uint8_t applied_ = 0;
  PropDialogView* view_ = nullptr;
  std::array<PropRow, propdlg::ROWS> rows_{};
  int policy_choice_ = -1;
};

}  // namespace kestrel
