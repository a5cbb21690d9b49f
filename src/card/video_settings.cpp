// The video settings of the session's card: card choice, capture input, hold and lock, frame-rate
// halving and default size, with what is shown of them.
#include <cstdlib>
#include <cstring>

#include "card/card_session.h"
#include "boards/control_calls.h"
#include "boards/registry.h"
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

void CardSession::fill_video_lists() {
  monitor_capable_ = ctl_monitor_capable(card_) ? 1 : 0;

  shown_.inputs.clear();
  shown_.input = -1;
  const BoardEntry* cur = card_.registry()->current;
  if (cur && cur->descriptor && cur->descriptor->input_names) {
    const BoardDescriptor& d = *cur->descriptor;
    for (int i = 0; i < d.input_count() && d.input_names[i]; ++i) shown_.inputs.emplace_back(d.input_names[i]);
  }

  shown_.default_sizes.clear();
  const char* const* list = ctl_resolution_list(card_).value_or(default_resolution_list());
  for (int i = 0; i < kSizeListMax && list[i]; ++i) shown_.default_sizes.emplace_back(list[i]);
  choose(shown_.default_size, 0, shown_.default_sizes.size());

  shown_.output_ports.clear();
  const OutputPortReply port = ctl_output_port(card_);
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

void CardSession::attach_card(int index) {
  choose(shown_.card, index, shown_.cards.size());
  show(Shown::Card);
  const int sel = shown_.card;
  log_printf(0, " *&* : device change %d\r\n", sel);
  if (sel < 0) return;
  board_attach(static_cast<uint32_t>(sel));
  show_input_and_half_rate();
  fill_video_lists();
  observer_->enable_device_controls(shown_.card >= 0);
  refresh_status();
  observer_->reset_register_panel();
}

bool CardSession::select_input(int input) {
  choose(shown_.input, input, shown_.inputs.size());
  last_status_ns_ = clock_now_ns();
  const int sel = shown_.input;
  const auto block = VideoUpdateBlock::make(fixed_input_ ? BITS_HOLD : BITS_SCAN_SELECT, static_cast<uint8_t>(sel));
  if (sel < 0) return false;
  if (shown_.input_unknown(sel)) {
    log_printf(8, " *&* : warning video input(%u) select change for unknow and cansel\r\n", static_cast<unsigned>(sel));
    return false;
  }
  return card_.video_update(block);
}

DefaultSizeResult CardSession::set_default_size(int index) {
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
  return card_.store_default_size(static_cast<uint32_t>(number)) ? DefaultSizeResult::Stored : DefaultSizeResult::NotStored;
}

bool CardSession::set_half_rate(bool on) {
  shown_.half_rate = on;
  return card_.store_half_rate(on);
}

bool CardSession::set_hold(bool hold, int input) {
  choose(shown_.input, input, shown_.inputs.size());
  fixed_input_ = hold ? 1 : 0;
  shown_.hold = hold;
  log_printf(0, " msg : value(%u) %u:%s\r\n", static_cast<unsigned>(fixed_input_), 122u,
             "CkestrelDlg::OnClickedCheckAutoVideoInputSource");
  show(Shown::Hold);
  const auto block = fixed_input_ ? VideoUpdateBlock::make(BITS_HOLD, static_cast<uint8_t>(shown_.input))
                                   : VideoUpdateBlock::make(BITS_SCAN, 0);
  return card_.video_update(block);
}

bool CardSession::lock_input(int input) {
  if (input_locked_) return true;
  choose(shown_.input, input, shown_.inputs.size());
  const int sel = shown_.input;
  if (sel < 0) return false;
  if (shown_.input_unknown(sel)) {
    log_printf(8, " *&* : warning video input(%u) select change for unknow and cansel\r\n", static_cast<unsigned>(sel));
    return false;
  }
  return store_lock(VideoUpdateBlock::make(BITS_LOCK, static_cast<uint8_t>(sel), BCTL_STORE), true);
}

bool CardSession::unlock_input() {
  if (!input_locked_) return true;
  return store_lock(VideoUpdateBlock::make(BITS_UNLOCK, INPUT_AUTO, BCTL_STORE), false);
}

bool CardSession::store_lock(const VideoUpdateBlock& block, bool locked) {
  log_printf(9, " *&* : force vpin store bits(%04X) input(%u) bctl(%u)\r\n", get_le16(block.bytes.data()), block.bytes[2],
             BCTL_STORE);
  if (!card_.video_update(block)) return false;
  input_locked_ = locked ? 1 : 0;
  show(Shown::Locked);
  // A locked input is held; unlocked, the card scans again.
  fixed_input_ = input_locked_;
  shown_.hold = fixed_input_ != 0;
  show(Shown::Hold);
  return true;
}

void CardSession::toggle_debug_channel() { switch_debug_channel(!poll_paused_); }

// While the card's own debug channel is on, the timer stops polling for its debug report.
bool CardSession::switch_debug_channel(bool on) {
  poll_paused_ = on ? 1 : 0;
  show(Shown::DebugChannel);
  return card_.debug_channel_control(on);
}

}  // namespace kestrel
