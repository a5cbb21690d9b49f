// Construction, initialisation and command routing of the main window's logic.
#include "app/main_window.h"

#include "app/ids.h"
#include "boards/registry.h"
#include "log/clock.h"
#include "log/log.h"
#include "res/ui_text.h"

namespace kestrel {

namespace {
constexpr uint64_t kFirstEnableDelayNs = 500'000'000ULL;  // the next display re-applies the busy state

struct RuntimeText {
  uint32_t id;
  int text;
};
constexpr RuntimeText kRuntimeTexts[] = {
    {ids::CAPTION_UVC, 2},        {ids::CAPTION_TARGET_VERSION, 3}, {ids::HOLD_BOX, 4},
    {ids::CAPTION_DEFAULT_SIZE, 6}, {ids::CAPTION_OUTPUT_PORT, 7},  {ids::CAPTION_UPGRADE, 8},
    {ids::HALF_RATE_BOX, 9},      {ids::CAPTION_OUTPUT_MODE, 10},   {ids::BTN_USB_FIRMWARE, 13},
    {ids::BTN_FPGA_FIRMWARE, 14}, {ids::BTN_LOCK, 15},              {ids::BTN_1005, 11},
    {ids::BTN_VIDEO_PROPS, 12},   {ids::BTN_EXIT, 39}};
}  // namespace

CkestrelDlg::CkestrelDlg(DialogView& view, qhidev_list& list) : m_link(list), view_(view), list_(&list) {
  // The constructor must not use the clock: start-up computes its scale afterwards.
  m_registry = &registry_build(this);
  load_scripts();
}

CkestrelDlg::~CkestrelDlg() {
  ReaderHold hold(m_reader);
  // The reader must not call back into a window that is gone: it stays idle from here on.
  if (m_reader) m_reader->run.store(0, std::memory_order_release);
  qhidev_release_all(*list_);
}

void CkestrelDlg::on_init_dialog() {
  if (view_.has_control(ids::REG_COUNT)) view_.set_text(ids::REG_COUNT, "1");
  board_scan();
  enable_device_controls(view_.selection(ids::CARD_LIST) >= 0);
  view_.show(ids::PROGRESS, false);
  view_.set_progress_range(ids::PROGRESS, 0, 100);
  on_status_refresh_command();
  m_enable_deadline_ns = clock_now_ns() + kFirstEnableDelayNs;
  for (const RuntimeText& t : kRuntimeTexts)
    if (view_.has_control(t.id)) view_.set_text(t.id, ui_text[t.text]);
}

bool CkestrelDlg::on_command(uint32_t id) {
  if (on_diag_command(id)) return true;
  switch (id) {
    case ids::ID_DEV_TEXT_EVENT: on_dev_text_event(); return true;
    case ids::ID_DEV_INTR_EVENT: on_dev_intr_event(); return true;
    case ids::ID_MONITOR_QUERY: on_monitor_query(); return true;
    case ids::ID_STDVIEW_EVENT: on_stdview_event(); return true;
    case ids::ID_STATUS_REFRESH: on_status_refresh_command(); return true;
    default: return on_video_command(id);
  }
}

}  // namespace kestrel
