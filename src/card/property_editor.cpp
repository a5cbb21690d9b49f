#include "card/property_editor.h"

#include <cstdio>
#include <cstring>

#include "card/card_session.h"
#include "boards/control.h"
#include "boards/control_calls.h"
#include "devlink/commands.h"
#include "devlink/frame.h"
#include "devlink/hid_link.h"
#include "log/log.h"
#include "res/ui_text.h"

namespace kestrel {

namespace {

using namespace propdlg;

enum class Field : uint8_t { None, S8, U8, U16, Gfe };

struct Row {
  Field field;
  size_t offset;
  uint16_t bit;  // mask bit of the row's group, 0 for the rows without a field
  int lo, hi;
};

// Rows 6 (gamma) and 7 have no field in the block; bit 6 covers the three gains together.
constexpr Row kRows[ROWS] = {
    {Field::S8, 2, 0x01, -128, 127},  {Field::U8, 3, 0x02, 0, 255},   {Field::S8, 4, 0x04, -128, 127},
    {Field::U8, 5, 0x08, 0, 255},     {Field::U8, 6, 0x10, 0, 255},   {Field::U8, 7, 0x20, 0, 255},
    {Field::None, 0, 0, 0, 255},      {Field::None, 0, 0, 0, 255},    {Field::U16, VP_GAIN_R, 0x40, 0, 32767},
    {Field::U16, VP_GAIN_G, 0x40, 0, 32767}, {Field::U16, VP_GAIN_B, 0x40, 0, 32767}, {Field::Gfe, VP_WORD24, 0x80, 0, 700},
};

constexpr uint32_t GFE_BITS = 0xFFF;

int field_value(const PropertyEditor::Block& b, const Row& r) {
  switch (r.field) {
    case Field::S8: return static_cast<int8_t>(b[r.offset]);
    case Field::U8: return b[r.offset];
    case Field::U16: return get_le16(b.data() + r.offset);
    case Field::Gfe: return static_cast<int>(get_le32(b.data() + r.offset) & GFE_BITS);
    case Field::None: break;
  }
  return 0;
}

void set_field(PropertyEditor::Block& b, const Row& r, int v) {
  switch (r.field) {
    case Field::S8: case Field::U8: b[r.offset] = static_cast<uint8_t>(v); break;
    case Field::U16: put_le16(b.data() + r.offset, static_cast<uint16_t>(v)); break;
    case Field::Gfe:
      put_le32(b.data() + r.offset, (get_le32(b.data() + r.offset) & ~GFE_BITS) | (static_cast<uint32_t>(v) & GFE_BITS));
      break;
    case Field::None: break;
  }
}

uint16_t mask_of(const PropertyEditor::Block& b) { return get_le16(b.data()); }
void clear_mask(PropertyEditor::Block& b) { b[0] = b[1] = 0; }

const char* const kPolicyFixed[] = {"line in", "00 HDMI", "01 raw", "02 raw", "03 raw", "04 raw", "05 raw", "06 raw", "07 raw"};
constexpr uint8_t POLICY_COUNT = 12;

std::string decimal(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d", v);
  return buf;
}

}  // namespace

bool audio_policy_exchange(HidLink& link, const uint8_t* block, uint8_t* dest, std::span<uint8_t> page) {
  uint8_t payload[AUDIO_POLICY_SIZE];
  std::memcpy(payload, block, sizeof payload);
  put_le32(payload, MAGIC_ZHHH);
  if (!link.current()) return false;
  Answer a;
  if (!link.transact_short(CMD_VIDEO_PROP, 0, payload, sizeof payload, AUDIO_POLICY_SIZE, page, a)) return false;
  std::memmove(dest, a.payload, AUDIO_POLICY_SIZE);
  return true;
}

uint8_t policy_code_of_index(uint8_t i) { return i < 4 ? i : static_cast<uint8_t>(0x80 | (i - 4)); }
uint8_t policy_index_of_code(uint8_t c) { return c >= 0x80 ? static_cast<uint8_t>((c & 0x7F) + 4) : c; }

MemoryPropView::MemoryPropView() {
  for (uint32_t n = 0; n < ROWS; ++n) {
    controls[CAPTION_FIRST + n];
    controls[TRACK_FIRST + n];
    controls[LABEL_FIRST + n].text = "0";
  }
  for (uint32_t id : {CAPTION_POLICY, POLICY_LIST, BTN_REVERT, BTN_DEFAULT, IDOK, IDCANCEL}) controls[id];
}

void MemoryPropView::set_pos(uint32_t id, int p) {
  Control& c = at(id);
  c.pos = p < c.lo ? c.lo : p > c.hi ? c.hi : p;  // a trackbar keeps its position within its range
}

PropertyEditor::PropertyEditor(Card& card) : card_(card) {}

bool PropertyEditor::open() {
  // The policy read goes out with zeros past the write byte: the card ignores them in a read.
  uint8_t block[AUDIO_POLICY_SIZE] = {};
  block[AP_ITEM] = 1;
  block[AP_WRITE] = 0;
  uint8_t answer[AUDIO_POLICY_SIZE];
  if (audio_policy_exchange(card_.link(), block, answer, card_.text_page(0)) && get_le32(answer) == MAGIC_ZHHH &&
      answer[AP_WRITE] != 0) {
    const uint8_t index = policy_index_of_code(answer[AP_POLICY]);
    // A code outside the list (0x88 and up, 4..0x7F) keeps the default pick rather than
    // selecting past the list's end.
    if (index < POLICY_COUNT) current_policy_ = initial_policy_ = index;
  }
  // The zero block asks for nothing to be written; the card answers with its values and offer mask.
  initial_.fill(0);
  return ctl_video_props(card_, initial_);
}

std::vector<std::string> PropertyEditor::policy_names() {
  std::vector<std::string> names;
  for (int i = 0; i < 3; ++i) names.emplace_back(ui_text[17 + i]);
  for (const char* t : kPolicyFixed) names.emplace_back(t);
  return names;
}

void PropertyEditor::start() {
  working_ = initial_;
  show_block(initial_);
  clear_mask(working_);
  initial_policy_ = current_policy_;
  policy_choice_ = current_policy_;
}

void PropertyEditor::on_init_dialog(PropDialogView& view) {
  view_ = &view;
  start();

  view.reset_items(POLICY_LIST);
  for (const std::string& name : policy_names()) view.add_item(POLICY_LIST, name);
  view.select(POLICY_LIST, current_policy_);

  view.set_timer(TIMER_ID, TIMER_PERIOD_MS);

  view.set_title(ui_text[36]);
  view.set_text(BTN_DEFAULT, ui_text[37]);
  view.set_text(BTN_REVERT, ui_text[38]);
  view.set_text(IDOK, ui_text[40]);
  view.set_text(IDCANCEL, ui_text[41]);
  for (uint32_t n = 0; n < ROWS; ++n) view.set_text(CAPTION_FIRST + n, ui_text[20 + n]);
  view.set_text(CAPTION_POLICY, ui_text[32]);
}

void PropertyEditor::show_block(const Block& b) {
  const uint16_t mask = mask_of(b);
  for (uint32_t n = 0; n < ROWS; ++n) {
    const Row& r = kRows[n];
    const uint32_t t = TRACK_FIRST + n;
    const bool shown = view_ && view_->has_control(t);
    if (view_ && !shown) continue;
    PropRow& row = rows_[n];
    row.lo = r.lo;
    row.hi = r.hi;
    int v = field_value(b, r);
    std::string text;
    if (r.bit && (mask & r.bit)) {
      text = decimal(v);
    } else {
      v = r.lo;
      row.enabled = false;
    }
    // A trackbar keeps its position within its range.
    row.value = v < r.lo ? r.lo : v > r.hi ? r.hi : v;
    if (!shown) continue;
    view_->set_range(t, r.lo, r.hi);
    if (!row.enabled) {
      view_->enable(t, false);
      view_->enable(t + 200, false);
      view_->enable(t + 100, false);
    }
    view_->set_pos(t, v);
    view_->set_text(t + 200, text);
  }
}

bool PropertyEditor::on_scroll(uint32_t c, uint32_t code) {
  if (c < TRACK_FIRST || c > TRACK_SCROLL_LAST) return false;
  if (c > TRACK_LAST || !view_) return true;
  move_row(c - TRACK_FIRST, view_->pos(c), code);
  return true;
}

void PropertyEditor::move_row(uint32_t n, int value, uint32_t code) {
  if (n >= ROWS) return;
  const Row& r = kRows[n];
  const uint32_t c = TRACK_FIRST + n;
  // A trackbar keeps its position within its range.
  const int p = value < r.lo ? r.lo : value > r.hi ? r.hi : value;
  rows_[n].value = p;
  if (r.field == Field::None) return;
  // Compared as the field's own type: position -20 and a stored 0xEC are the same brightness.
  Block probe = working_;
  set_field(probe, r, p);
  if (field_value(probe, r) == field_value(working_, r)) return;
  set_field(working_, r, p);
  put_le16(working_.data(), static_cast<uint16_t>(mask_of(working_) | r.bit));
  if (view_) view_->set_text(c + 200, decimal(p));
  log_printf(0, " *&* : scroll SBCode %u  pos %d %u\r\n", code, p, c);
}

void PropertyEditor::write_working() {
  applied_ = 1;
  // The board writes the card's answer back into the block; a failed write is not retried.
  ctl_video_props(card_, working_);
}

bool PropertyEditor::on_timer(uint32_t id) {
  if (id != TIMER_ID) return false;
  if (mask_of(working_) != 0) {
    write_working();
    clear_mask(working_);
  }
  return true;
}

void PropertyEditor::on_ok() {
  if (view_) view_->kill_timer(TIMER_ID);
  if (mask_of(working_) != 0) write_working();
  if (applied_) card_.video_update(VideoUpdateBlock::make(0x8001, 0, 2));
  if (view_) view_->end_dialog(IDOK);
}

void PropertyEditor::on_cancel() {
  if (view_) view_->kill_timer(TIMER_ID);
  working_ = initial_;
  // The initial block carries the offer mask: every offered group goes back to its first value.
  if (applied_) ctl_video_props(card_, working_);
  if (view_) view_->end_dialog(IDCANCEL);
}

bool PropertyEditor::write_policy(uint8_t index) {
  uint8_t block[AUDIO_POLICY_SIZE] = {};
  block[AP_ITEM] = 1;
  block[AP_WRITE] = 1;
  block[AP_POLICY] = policy_code_of_index(index);
  uint8_t answer[AUDIO_POLICY_SIZE];
  // An accepted exchange is the success, as for every write of the dialog; the answer's valid
  // byte says whether it carries a policy to read, not whether the write took.
  return audio_policy_exchange(card_.link(), block, answer, card_.text_page(0));
}

void PropertyEditor::on_revert() {
  working_ = initial_;
  show_block(initial_);
  applied_ = 0;
  if (initial_policy_ != current_policy_ && write_policy(initial_policy_)) current_policy_ = initial_policy_;
}

void PropertyEditor::on_default() {
  working_ = initial_;
  // Built-in defaults, kept when the card has none of its own.
  working_[2] = 0;
  working_[3] = 128;
  working_[4] = 0;
  working_[5] = 128;
  working_[6] = 40;
  working_[7] = 160;
  for (size_t off : {VP_GAIN_R, VP_GAIN_G, VP_GAIN_B}) put_le16(working_.data() + off, VP_GAIN_DEFAULT);
  set_field(working_, kRows[11], 120);  // GFE; bits 12..31 of its word stay

  Answer a;
  auto page = card_.text_page(0);
  if (card_.link().current() && card_.link().transact_short(CMD_VIDEO_STATE, 0, nullptr, 0, VIDEO_PROPS_SIZE, page, a) &&
      a.status == 0) {
    std::memcpy(working_.data() + 2, a.payload + 2, 6);
    std::memcpy(working_.data() + VP_GAIN_R, a.payload + VP_GAIN_R, VP_GAINS_END - VP_GAIN_R);
    set_field(working_, kRows[11], static_cast<int>(get_le32(a.payload + VP_WORD24) & GFE_BITS));
  }
  show_block(working_);
  if (current_policy_ != 1 && write_policy(1)) current_policy_ = 1;
}

void PropertyEditor::on_policy_changed() {
  if (view_) choose_policy(view_->selection(POLICY_LIST));
}

void PropertyEditor::choose_policy(int i) {
  policy_choice_ = i;
  if (i < 0 || i > 255) return;
  const auto index = static_cast<uint8_t>(i);
  if (index == current_policy_) return;
  if (!write_policy(index)) return;
  current_policy_ = index;
}

bool PropertyEditor::on_command(uint32_t id) {
  switch (id) {
    case IDOK: on_ok(); return true;
    case IDCANCEL: on_cancel(); return true;
    case BTN_REVERT: on_revert(); return true;
    case BTN_DEFAULT: on_default(); return true;
    case POLICY_LIST: on_policy_changed(); return true;
    default: return false;
  }
}

}  // namespace kestrel
