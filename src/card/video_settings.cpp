// The video settings of the current card: card choice, capture input, hold and lock, frame-rate
// halving, default size, output port, and the card's video and device actions.
#include <cstdlib>
#include <cstring>

#include "card/current_card.h"
#include "boards/control.h"
#include "boards/control_calls.h"
#include "boards/registry.h"
#include "devlink/commands.h"
#include "log/clock.h"
#include "log/log.h"

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

}  // namespace

VideoUpdateBlock VideoUpdateBlock::make(uint16_t bits, uint8_t input, uint8_t bctl) {
  VideoUpdateBlock b;
  put_le16(b.bytes.data(), bits);
  b.bytes[2] = input;
  b.bytes[3] = bctl;
  return b;
}

bool CurrentCard::video_update(const VideoUpdateBlock& block) {
  // Request in the page after the first; the answer comes back into the first page.
  const uint8_t s = m_link.next_seq();
  if (!m_link.hid_put(s, CMD_UPDATE, 0, block.bytes.data(), block.bytes.size(), text_page(1))) return false;
  Answer a;
  return m_link.fetch_more(CMD_UPDATE, s, 2, text_page(0), a);
}

bool CurrentCard::board_control(uint32_t code, uint32_t size, void* out) {
  if (!m_registry) return false;
  BoardContext ctx{m_link, text_page(0), &m_diag.dump};
  return board_control_current(*m_registry, ctx, code, size, out);
}

void CurrentCard::fill_video_lists() {
  m_monitor_capable = ctl_monitor_capable(*this) ? 1 : 0;

  shown_.inputs.clear();
  shown_.input = -1;
  const BoardEntry* cur = m_registry ? m_registry->current : nullptr;
  if (cur && cur->descriptor && cur->descriptor->input_names) {
    const BoardDescriptor& d = *cur->descriptor;
    for (int i = 0; i < d.input_count() && d.input_names[i]; ++i) shown_.inputs.emplace_back(d.input_names[i]);
  }

  shown_.default_sizes.clear();
  const char* const* list = ctl_resolution_list(*this).value_or(default_resolution_list());
  for (int i = 0; i < kSizeListMax && list[i]; ++i) shown_.default_sizes.emplace_back(list[i]);
  choose(shown_.default_size, 0, shown_.default_sizes.size());

  shown_.output_ports.clear();
  const OutputPortReply port = ctl_output_port(*this);
  const PortSwitchRecord& rec = port.record;
  shown_.output_port_choice = port.ok && rec.names && rec.current < rec.count;
  if (shown_.output_port_choice) {
    for (int i = 0; i < rec.count && rec.names[i]; ++i) shown_.output_ports.emplace_back(rec.names[i]);
    choose(shown_.output_port, rec.current, shown_.output_ports.size());
  } else {
    shown_.output_ports.emplace_back("NONE");
    shown_.output_port = 0;
  }
  show(Shown::Lists);
}

void CurrentCard::attach_card(int index) {
  choose(shown_.card, index, shown_.cards.size());
  show(Shown::Card);
  const int sel = shown_.card;
  log_printf(0, " *&* : device change %d\r\n", sel);
  if (sel < 0) return;
  board_attach(static_cast<uint32_t>(sel));
  show_input_and_half_rate();
  fill_video_lists();
  enable_device_controls(shown_.card >= 0);
  on_status_refresh_command();
  reset_register_panel();
}

bool CurrentCard::select_input(int input) {
  choose(shown_.input, input, shown_.inputs.size());
  m_last_status_ns = clock_now_ns();
  const int sel = shown_.input;
  const auto block = VideoUpdateBlock::make(m_fixed_input ? BITS_HOLD : BITS_SCAN_SELECT, static_cast<uint8_t>(sel));
  if (sel < 0) return false;
  if (shown_.input_unknown(sel)) {
    log_printf(8, " *&* : warning video input(%u) select change for unknow and cansel\r\n", static_cast<unsigned>(sel));
    return false;
  }
  return video_update(block);
}

DefaultSizeResult CurrentCard::set_default_size(int index) {
  choose(shown_.default_size, index, shown_.default_sizes.size());
  show(Shown::DefaultSize);
  const int sel = shown_.default_size;
  const std::string text = sel >= 0 ? shown_.default_sizes[static_cast<size_t>(sel)] : std::string();
  const size_t colon = text.find(':');
  int number = 0;
  if (colon != std::string::npos) {
    const char* p = text.c_str() + colon + 1;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    number = std::atoi(p);
  }
  if (sel < 0 || colon == std::string::npos || number <= 0) return DefaultSizeResult::NoSize;
  uint32_t value = static_cast<uint32_t>(number);
  return board_config(4, 4, &value) ? DefaultSizeResult::Stored : DefaultSizeResult::NotStored;
}

PortReply CurrentCard::switch_output_port(uint16_t current) {
  const OutputPortReply r = ctl_output_port(*this, current);
  log_printf(0, " *&* : combo input switch(%u) port = %u\r\n", r.ok ? 1u : 0u, r.record.current);
  return {r.ok, r.record.current};
}

bool CurrentCard::set_half_rate(bool on) {
  shown_.half_rate = on;
  uint8_t v = on ? 1 : 0;
  return board_config(2, 1, &v);
}

bool CurrentCard::set_hold(bool hold, int input) {
  choose(shown_.input, input, shown_.inputs.size());
  m_fixed_input = hold ? 1 : 0;
  shown_.hold = hold;
  log_printf(0, " msg : value(%u) %u:%s\r\n", static_cast<unsigned>(m_fixed_input), 122u,
             "CkestrelDlg::OnClickedCheckAutoVideoInputSource");
  show(Shown::Hold);
  const auto block = m_fixed_input ? VideoUpdateBlock::make(BITS_HOLD, static_cast<uint8_t>(shown_.input))
                                   : VideoUpdateBlock::make(BITS_SCAN, 0);
  return video_update(block);
}

bool CurrentCard::lock_input(int input) {
  if (m_input_locked) return true;
  choose(shown_.input, input, shown_.inputs.size());
  const int sel = shown_.input;
  if (sel < 0) return false;
  if (shown_.input_unknown(sel)) {
    log_printf(8, " *&* : warning video input(%u) select change for unknow and cansel\r\n", static_cast<unsigned>(sel));
    return false;
  }
  return store_lock(VideoUpdateBlock::make(BITS_LOCK, static_cast<uint8_t>(sel), BCTL_STORE), true);
}

bool CurrentCard::unlock_input() {
  if (!m_input_locked) return true;
  return store_lock(VideoUpdateBlock::make(BITS_UNLOCK, INPUT_AUTO, BCTL_STORE), false);
}

bool CurrentCard::store_lock(const VideoUpdateBlock& block, bool locked) {
  log_printf(9, " *&* : force vpin store bits(%04X) input(%u) bctl(%u)\r\n", get_le16(block.bytes.data()), block.bytes[2],
             BCTL_STORE);
  if (!video_update(block)) return false;
  m_input_locked = locked ? 1 : 0;
  show(Shown::Locked);
  // A locked input is held; unlocked, the card scans again.
  m_fixed_input = m_input_locked;
  shown_.hold = m_fixed_input != 0;
  show(Shown::Hold);
  return true;
}

void CurrentCard::send_async_action(uint32_t action) {
  log_send_async(action, m_link.send_async(action, text_page(1)));
}

void CurrentCard::on_debug_mode_switch() {
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

void CurrentCard::on_probe_toggle() {
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

}  // namespace kestrel
