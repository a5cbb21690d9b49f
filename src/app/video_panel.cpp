// The video panel of the main window: its controls turned into the session's and the card's operations,
// and the device commands of its menus.
#include "app/ids.h"
#include "app/main_window.h"
#include "devlink/commands.h"
#include "log/log.h"
#include "res/ui_text.h"

namespace kestrel {

namespace {

// Command 11 actions of the device commands.
constexpr uint32_t ACT_PROBE = 1, ACT_DETECT = 4, ACT_REINIT = 6, ACT_RESTART = 8, ACT_VIDEO_ON = 9, ACT_16 = 16;

// Commands of the panel without a control in the window's template.
constexpr uint32_t ID_1005 = 1005, ID_1039 = 1039, ID_1040 = 1040, ID_1043 = 1043, ID_1052 = 1052;
constexpr uint32_t ID_RESTART = 32809, ID_PROBE = 32810, ID_VIDEO_ON = 32811, ID_DEBUG_MODE = 32812,
                   ID_REINIT = 32814, ID_32816 = 32816;

}  // namespace

void WindowPresenter::refresh_color_buttons() {
  view_.set_check(ids::RADIO_RGB24, session_.color_format() == 0);
  view_.set_check(ids::RADIO_YUV2, session_.color_format() == 1);
  view_.set_check(ids::RADIO_NV12, session_.color_format() == 2);
}

void WindowPresenter::reset_register_panel() {
  for (uint32_t id : {1011u, 1012u, 1013u, 1014u, 1018u, 1044u, 1045u, 1046u, 1047u, 1048u, 1049u, 1036u, 1034u, 1017u}) {
    if (!view_.has_control(id)) continue;
    view_.show(id, false);
    view_.enable(id, false);
  }
  for (uint32_t id : {1035u, 1015u, 1016u}) {
    if (!view_.has_control(id)) continue;
    view_.show(id, true);
    view_.enable(id, false);
  }
}

void WindowPresenter::enable_device_controls(bool e) {
  for (uint32_t id : {ids::DEFAULT_SIZE_LIST, ids::BTN_USB_FIRMWARE, ids::BTN_FPGA_FIRMWARE, ids::CARD_LIST, ids::INPUT_LIST,
                      ids::HALF_RATE_BOX})
    view_.enable(id, e);
  reset_register_panel();
}

void WindowPresenter::on_card_selected() {
  session_.take_choices();
  session_.attach_card(session_.shown().card);
}

void WindowPresenter::on_input_selected() { session_.select_input(session_.shown().input); }

bool WindowPresenter::on_default_size_selected() {
  const DefaultSizeResult r = session_.set_default_size(view_.selection(ids::DEFAULT_SIZE_LIST));
  view_.message_box(ui_text[static_cast<int>(r)]);
  return r == DefaultSizeResult::Stored;
}

void WindowPresenter::on_output_port_selected() {
  card().switch_output_port(static_cast<uint16_t>(view_.selection(ids::OUTPUT_PORT_LIST)));
}

void WindowPresenter::on_half_rate_clicked() { session_.set_half_rate(view_.checked(ids::HALF_RATE_BOX)); }

bool WindowPresenter::on_hold_clicked() { return session_.set_hold(view_.checked(ids::HOLD_BOX), session_.shown().input); }

void WindowPresenter::on_lock_clicked() {
  // The button turns the lock over: it locks the input chosen in the list, or unlocks.
  if (session_.input_locked()) session_.unlock_input();
  else session_.lock_input(session_.shown().input);
}

bool WindowPresenter::on_video_command(uint32_t id) {
  // The card's choices follow what the user picked in the controls before anything acts on them.
  session_.take_choices();
  switch (id) {
    case ids::CARD_LIST: on_card_selected(); return true;
    case ids::INPUT_LIST: on_input_selected(); return true;
    case ids::DEFAULT_SIZE_LIST: on_default_size_selected(); return true;
    case ID_1052: log_printf(0, " *&* : %s\r\n", "CkestrelDlg::OnSelchangeComboSchedulePolicy"); return true;
    case ids::OUTPUT_PORT_LIST: on_output_port_selected(); return true;
    case ids::HALF_RATE_BOX: on_half_rate_clicked(); return true;
    case ids::HOLD_BOX: on_hold_clicked(); return true;
    case ids::BTN_LOCK: on_lock_clicked(); return true;
    case ids::RADIO_YUV2:
    case ids::RADIO_RGB24:
    case ids::RADIO_NV12: refresh_color_buttons(); return true;
    case ID_PROBE: card().send_async_action(ACT_PROBE); return true;
    case ID_1043: card().send_async_action(ACT_DETECT); return true;
    case ID_REINIT: card().send_async_action(ACT_REINIT); return true;
    case ID_RESTART:
    case ID_1040: card().send_async_action(ACT_RESTART); return true;
    case ID_VIDEO_ON:
    case ID_1005: card().send_async_action(ACT_VIDEO_ON); return true;
    case ID_32816:
      card().link().hid_send_command(CTRL_0x31, card().text_page(1));
      card().send_async_action(ACT_16);
      return true;
    case ID_DEBUG_MODE: card().switch_debug_mode(); return true;
    case ID_1039: card().toggle_probe(); return true;
    default: return false;
  }
}

}  // namespace kestrel
