// The video settings panel: card choice, capture input, hold and lock, colour format, frame-rate
// halving, default size, output port, and the video and device commands.
#include <cstdlib>
#include <cstring>

#include "app/ids.h"
#include "app/main_window.h"
#include "boards/control.h"
#include "boards/control_calls.h"
#include "boards/registry.h"
#include "devlink/commands.h"
#include "log/clock.h"
#include "log/log.h"
#include "res/ui_text.h"

namespace kestrel {

namespace {

constexpr uint16_t BITS_HOLD = 0x0041;
constexpr uint16_t BITS_SCAN_SELECT = 0x0021;
constexpr uint16_t BITS_SCAN = 0x0080;
constexpr uint16_t BITS_LOCK = 0x8041;
constexpr uint16_t BITS_UNLOCK = 0x8081;
constexpr uint8_t INPUT_AUTO = 7;  // the card scans its inputs
constexpr uint8_t BCTL_STORE = 2;
constexpr int kSizeListMax = 128;
constexpr const char* kUnknownInput = "unknow";

// Command 11 actions of the device commands.
constexpr uint32_t ACT_PROBE = 1, ACT_DETECT = 4, ACT_REINIT = 6, ACT_RESTART = 8, ACT_VIDEO_ON = 9, ACT_16 = 16;

// Commands of the panel without a control in the window's template.
constexpr uint32_t ID_1005 = 1005, ID_1039 = 1039, ID_1040 = 1040, ID_1043 = 1043, ID_1052 = 1052;
constexpr uint32_t ID_RESTART = 32809, ID_PROBE = 32810, ID_VIDEO_ON = 32811, ID_DEBUG_MODE = 32812,
                   ID_REINIT = 32814, ID_32816 = 32816;

}  // namespace

VideoUpdateBlock VideoUpdateBlock::make(uint16_t bits, uint8_t input, uint8_t bctl) {
  VideoUpdateBlock b;
  put_le16(b.bytes.data(), bits);
  b.bytes[2] = input;
  b.bytes[3] = bctl;
  return b;
}

bool CkestrelDlg::video_update(const VideoUpdateBlock& block) {
  // Request in the page after the first; the answer comes back into the first page.
  const uint8_t s = m_link.next_seq();
  if (!m_link.hid_put(s, CMD_UPDATE, 0, block.bytes.data(), block.bytes.size(), text_page(1))) return false;
  Answer a;
  return m_link.fetch_more(CMD_UPDATE, s, 2, text_page(0), a);
}

bool CkestrelDlg::board_control(uint32_t code, uint32_t size, void* out) {
  if (!m_registry) return false;
  BoardContext ctx{m_link, text_page(0), &m_diag.dump};
  return board_control_current(*m_registry, ctx, code, size, out);
}

void CkestrelDlg::refresh_color_buttons() {
  view_.set_check(ids::RADIO_RGB24, m_color_format == 0);
  view_.set_check(ids::RADIO_YUV2, m_color_format == 1);
  view_.set_check(ids::RADIO_NV12, m_color_format == 2);
}

void CkestrelDlg::reset_register_panel() {
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

void CkestrelDlg::enable_device_controls(bool e) {
  for (uint32_t id : {ids::DEFAULT_SIZE_LIST, ids::BTN_USB_FIRMWARE, ids::BTN_FPGA_FIRMWARE, ids::CARD_LIST, ids::INPUT_LIST,
                      ids::HALF_RATE_BOX})
    view_.enable(id, e);
  reset_register_panel();
}

void CkestrelDlg::fill_video_lists() {
  m_monitor_capable = ctl_monitor_capable(*this) ? 1 : 0;

  view_.reset_items(ids::INPUT_LIST);
  const BoardEntry* cur = m_registry ? m_registry->current : nullptr;
  if (cur && cur->descriptor && cur->descriptor->input_names) {
    const BoardDescriptor& d = *cur->descriptor;
    for (int i = 0; i < d.input_count() && d.input_names[i]; ++i) view_.add_item(ids::INPUT_LIST, d.input_names[i]);
  }

  view_.reset_items(ids::DEFAULT_SIZE_LIST);
  const char* const* list = ctl_resolution_list(*this).value_or(default_resolution_list());
  for (int i = 0; i < kSizeListMax && list[i]; ++i) view_.add_item(ids::DEFAULT_SIZE_LIST, list[i]);
  view_.select(ids::DEFAULT_SIZE_LIST, 0);

  view_.reset_items(ids::OUTPUT_PORT_LIST);
  const OutputPortReply port = ctl_output_port(*this);
  const PortSwitchRecord& rec = port.record;
  if (port.ok && rec.names && rec.current < rec.count) {
    for (int i = 0; i < rec.count && rec.names[i]; ++i) view_.add_item(ids::OUTPUT_PORT_LIST, rec.names[i]);
    view_.select(ids::OUTPUT_PORT_LIST, rec.current);
    view_.enable(ids::OUTPUT_PORT_LIST, true);
  } else {
    view_.add_item(ids::OUTPUT_PORT_LIST, "NONE");
    view_.select(ids::OUTPUT_PORT_LIST, 0);
    view_.enable(ids::OUTPUT_PORT_LIST, false);
  }
}

void CkestrelDlg::on_card_selected() {
  const int sel = view_.selection(ids::CARD_LIST);
  log_printf(0, " *&* : device change %d\r\n", sel);
  if (sel < 0) return;
  board_attach(static_cast<uint32_t>(sel));
  uint8_t input = 0;
  if (board_input_get(m_link, &input) == 0) view_.select(ids::INPUT_LIST, input);
  uint8_t half = 0;
  if (board_config(1, 1, &half)) view_.set_check(ids::HALF_RATE_BOX, half != 0);
  fill_video_lists();
  enable_device_controls(view_.selection(ids::CARD_LIST) >= 0);
  on_status_refresh_command();
  reset_register_panel();
}

void CkestrelDlg::on_input_selected() {
  m_last_status_ns = clock_now_ns();
  const int sel = view_.selection(ids::INPUT_LIST);
  const auto block = VideoUpdateBlock::make(m_fixed_input ? BITS_HOLD : BITS_SCAN_SELECT, static_cast<uint8_t>(sel));
  if (sel < 0) return;
  if (view_.item_text(ids::INPUT_LIST, sel) == kUnknownInput) {
    log_printf(8, " *&* : warning video input(%u) select change for unknow and cansel\r\n", static_cast<unsigned>(sel));
    return;
  }
  video_update(block);
}

bool CkestrelDlg::on_default_size_selected() {
  const int sel = view_.selection(ids::DEFAULT_SIZE_LIST);
  const std::string text = sel >= 0 ? view_.item_text(ids::DEFAULT_SIZE_LIST, sel) : std::string();
  const size_t colon = text.find(':');
  int number = 0;
  if (colon != std::string::npos) {
    const char* p = text.c_str() + colon + 1;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    number = std::atoi(p);
  }
  if (sel < 0 || colon == std::string::npos || number <= 0) {
    view_.message_box(ui_text[33]);
    return false;
  }
  uint32_t value = static_cast<uint32_t>(number);
  const bool ok = board_config(4, 4, &value);
  view_.message_box(ui_text[ok ? 35 : 34]);
  return ok;
}

PortReply CkestrelDlg::switch_output_port(uint16_t current) {
  const OutputPortReply r = ctl_output_port(*this, current);
  log_printf(0, " *&* : combo input switch(%u) port = %u\r\n", r.ok ? 1u : 0u, r.record.current);
  return {r.ok, r.record.current};
}

void CkestrelDlg::on_output_port_selected() {
  switch_output_port(static_cast<uint16_t>(view_.selection(ids::OUTPUT_PORT_LIST)));
}

void CkestrelDlg::on_half_rate_clicked() {
  uint8_t v = view_.checked(ids::HALF_RATE_BOX) ? 1 : 0;
  board_config(2, 1, &v);
}

bool CkestrelDlg::on_hold_clicked() {
  m_fixed_input = view_.checked(ids::HOLD_BOX) ? 1 : 0;
  log_printf(0, " msg : value(%u) %u:%s\r\n", static_cast<unsigned>(m_fixed_input), 122u,
             "CkestrelDlg::OnClickedCheckAutoVideoInputSource");
  view_.set_text(ids::HOLD_BOX, ui_text[m_fixed_input ? 5 : 4]);
  const auto block = m_fixed_input
                         ? VideoUpdateBlock::make(BITS_HOLD, static_cast<uint8_t>(view_.selection(ids::INPUT_LIST)))
                         : VideoUpdateBlock::make(BITS_SCAN, 0);
  return video_update(block);
}

void CkestrelDlg::on_lock_clicked() {
  m_fixed_input = view_.checked(ids::HOLD_BOX) ? 1 : 0;
  const uint8_t old = m_input_locked;
  VideoUpdateBlock block;
  if (!old) {
    const int sel = view_.selection(ids::INPUT_LIST);
    block = VideoUpdateBlock::make(BITS_LOCK, static_cast<uint8_t>(sel), BCTL_STORE);
    if (sel < 0) return;
    if (view_.item_text(ids::INPUT_LIST, sel) == kUnknownInput) {
      log_printf(8, " *&* : warning video input(%u) select change for unknow and cansel\r\n", static_cast<unsigned>(sel));
      return;
    }
  } else {
    block = VideoUpdateBlock::make(BITS_UNLOCK, INPUT_AUTO, BCTL_STORE);
  }
  log_printf(9, " *&* : force vpin store bits(%04X) input(%u) bctl(%u)\r\n", get_le16(block.bytes.data()), block.bytes[2],
             BCTL_STORE);
  if (!video_update(block)) return;
  m_input_locked = old ? 0 : 1;
  view_.enable(ids::HOLD_BOX, !m_input_locked);
  view_.enable(ids::INPUT_LIST, !m_input_locked);
  view_.set_text(ids::BTN_LOCK, ui_text[m_input_locked ? 15 : 16]);
  m_fixed_input = m_input_locked;
  view_.set_text(ids::HOLD_BOX, ui_text[m_fixed_input ? 5 : 4]);
  view_.set_check(ids::HOLD_BOX, m_fixed_input != 0);
}

void CkestrelDlg::send_async_action(uint32_t action) {
  log_send_async(action, m_link.send_async(action, text_page(1)));
}

void CkestrelDlg::on_debug_mode_switch() {
  int r;
  int32_t next;
  if (m_debug_mode == 0) {
    r = m_link.hid_send_command(CTRL_DEBUG_MODE + 1, text_page(1));
    next = 1;
  } else if (m_debug_mode == 1) {
    r = m_link.hid_send_command(CTRL_DEBUG_MODE, text_page(1));
    next = 0;
  } else {
    r = m_link.hid_send_command(CTRL_DEBUG_MODE + 2, text_page(1));
    next = r;
  }
  m_debug_mode = r < 0 ? -1 : next;
}

void CkestrelDlg::on_probe_toggle() {
  int r;
  switch (m_probe_state) {
    case 1:
      r = m_link.hid_send_command(CTRL_CFG_BEGIN, text_page(1));
      m_probe_state = r < 0 ? 0 : 2;
      break;
    case 2:
      r = m_link.hid_send_command(CTRL_CFG_END, text_page(1));
      m_probe_state = r >= 0 ? 1 : 0;
      break;
    default:
      r = m_link.hid_send_command(CTRL_CFG_END + 2, text_page(1));
      m_probe_state = r < 0 ? 0 : r + 1;
      break;
  }
}

bool CkestrelDlg::on_video_command(uint32_t id) {
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
    case ID_PROBE: send_async_action(ACT_PROBE); return true;
    case ID_1043: send_async_action(ACT_DETECT); return true;
    case ID_REINIT: send_async_action(ACT_REINIT); return true;
    case ID_RESTART:
    case ID_1040: send_async_action(ACT_RESTART); return true;
    case ID_VIDEO_ON:
    case ID_1005: send_async_action(ACT_VIDEO_ON); return true;
    case ID_32816:
      m_link.hid_send_command(CTRL_0x31, text_page(1));
      send_async_action(ACT_16);
      return true;
    case ID_DEBUG_MODE: on_debug_mode_switch(); return true;
    case ID_1039: on_probe_toggle(); return true;
    default: return false;
  }
}

WindowSnapshot CkestrelDlg::snapshot() const {
  WindowSnapshot s;
  auto chosen = [this](uint32_t id) {
    const int at = view_.selection(id);
    return at >= 0 ? view_.item_text(id, at) : std::string();
  };
  s.board = m_registry && m_registry->current ? m_registry->current->name : "";
  s.version = view_.text(ids::VERSION_TEXT);
  s.signal_format = view_.text(ids::FORMAT_LABEL);
  s.title = view_.title();
  s.input = view_.selection(ids::INPUT_LIST);
  s.input_name = chosen(ids::INPUT_LIST);
  s.input_held = m_fixed_input != 0;
  s.input_locked = m_input_locked != 0;
  s.color_format = m_color_format;
  s.default_size = chosen(ids::DEFAULT_SIZE_LIST);
  s.output_port = chosen(ids::OUTPUT_PORT_LIST);
  auto items = [this](uint32_t id) {
    std::vector<std::string> all;
    for (int i = 0; i < view_.item_count(id); ++i) all.push_back(view_.item_text(id, i));
    return all;
  };
  s.inputs = items(ids::INPUT_LIST);
  for (const std::string& name : s.inputs) s.input_usable.push_back(name != kUnknownInput);
  s.default_sizes = items(ids::DEFAULT_SIZE_LIST);
  s.output_ports = items(ids::OUTPUT_PORT_LIST);
  s.output_port_choice = view_.enabled(ids::OUTPUT_PORT_LIST);
  return s;
}

}  // namespace kestrel
