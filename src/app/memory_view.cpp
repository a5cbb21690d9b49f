#include "app/memory_view.h"

#include "app/ids.h"

namespace kestrel {

namespace {
const std::set<uint32_t> kTemplateControls = {
    ids::BTN_EXIT, ids::CARD_LIST, ids::INPUT_LIST, ids::HALF_RATE_BOX, ids::CAPTION_OUTPUT_MODE,
    ids::RADIO_YUV2, ids::RADIO_RGB24, ids::BTN_USB_FIRMWARE, ids::BTN_FPGA_FIRMWARE, ids::DEFAULT_SIZE_LIST,
    ids::CAPTION_UVC, ids::PROGRESS, ids::CAPTION_DEFAULT_SIZE, ids::FORMAT_LABEL, ids::CAPTION_TARGET_VERSION,
    ids::VERSION_TEXT, ids::HOLD_BOX, ids::BTN_LOCK, ids::CAPTION_OUTPUT_PORT, ids::OUTPUT_PORT_LIST,
    ids::RADIO_NV12, ids::BTN_VIDEO_PROPS, ids::CAPTION_UPGRADE};
}  // namespace

MemoryView::MemoryView() : MemoryView(kTemplateControls) {}

MemoryView::MemoryView(std::set<uint32_t> ids) {
  for (uint32_t id : ids) controls_[id];
}

MemoryView::Control* MemoryView::find(uint32_t id) {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}

const MemoryView::Control* MemoryView::control(uint32_t id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}

void MemoryView::reset_items(uint32_t id) {
  if (Control* c = find(id)) {
    c->items.clear();
    c->sel = -1;
  }
}

void MemoryView::add_item(uint32_t id, const std::string& text) {
  if (Control* c = find(id)) c->items.push_back(text);
}

int MemoryView::item_count(uint32_t id) const {
  const Control* c = control(id);
  return c ? static_cast<int>(c->items.size()) : 0;
}

std::string MemoryView::item_text(uint32_t id, int index) const {
  const Control* c = control(id);
  if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return {};
  return c->items[index];
}

void MemoryView::select(uint32_t id, int index) {
  Control* c = find(id);
  if (!c) return;
  // Like a combo box: an index outside the list clears the selection.
  c->sel = (index >= 0 && index < static_cast<int>(c->items.size())) ? index : -1;
}

int MemoryView::selection(uint32_t id) const {
  const Control* c = control(id);
  return c ? c->sel : -1;
}

bool MemoryView::dropped_down(uint32_t id) const {
  const Control* c = control(id);
  return c && c->dropped;
}

void MemoryView::set_text(uint32_t id, const std::string& text) {
  if (Control* c = find(id)) c->text = text;
}

std::string MemoryView::text(uint32_t id) const {
  const Control* c = control(id);
  return c ? c->text : std::string();
}

void MemoryView::set_check(uint32_t id, bool v) {
  if (Control* c = find(id)) c->checked = v;
}

bool MemoryView::checked(uint32_t id) const {
  const Control* c = control(id);
  return c && c->checked;
}

void MemoryView::enable(uint32_t id, bool on) {
  if (Control* c = find(id)) c->enabled = on;
}

bool MemoryView::enabled(uint32_t id) const {
  const Control* c = control(id);
  return c && c->enabled;
}

void MemoryView::show(uint32_t id, bool on) {
  if (Control* c = find(id)) c->visible = on;
}

bool MemoryView::visible(uint32_t id) const {
  const Control* c = control(id);
  return c && c->visible;
}

void MemoryView::set_progress_range(uint32_t id, int lo, int hi) {
  if (Control* c = find(id)) {
    c->lo = lo;
    c->hi = hi;
  }
}

void MemoryView::set_progress(uint32_t id, int pos) {
  if (Control* c = find(id)) c->pos = pos;
}

void MemoryView::post_command(uint32_t id) {
  std::lock_guard<std::mutex> g(post_lock_);
  posted_.push_back(id);
}

std::vector<uint32_t> MemoryView::take_posted() {
  std::lock_guard<std::mutex> g(post_lock_);
  std::vector<uint32_t> out(posted_.begin(), posted_.end());
  posted_.clear();
  return out;
}

}  // namespace kestrel
