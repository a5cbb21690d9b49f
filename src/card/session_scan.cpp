// The card scan and attach, and the status refresh's first steps.
#include <cstdio>
#include <cstring>

#include "card/card_session.h"
#include "devlink/commands.h"
#include "devlink/status_records.h"
#include "log/log.h"

namespace kestrel {

namespace {

constexpr size_t kMaxListName = 1024;

// The front end's identity for command 14 (the card hands it back): constant while the session
// exists.
uint32_t session_token(const void* w) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(w)); }

}  // namespace

bool CardSession::board_attach(uint32_t index) { return card_.attach(index); }

void CardSession::show_version_text(const uint8_t* s) {
  char formatted[256];
  std::snprintf(formatted, sizeof formatted, " %s", reinterpret_cast<const char*>(s + STATUS_TEXT));
  const char* colon = std::strchr(formatted, ':');
  if (colon) {
    ++colon;
    while (*colon == ' ') ++colon;
  }
  shown_.version = colon ? colon : formatted;
  show(Shown::Version);
}

bool CardSession::status_refresh_steps() {
  uint8_t* s = card_.status_page(0).data();
  uint16_t len = 0;
  if (!card_.read_and_log_status(s, &len)) return false;
  const std::optional<BoardStatus> st = parse_board_status({s, len});
  if (!st) return false;
  observer_->read_choices(shown_);
  if (shown_.output_port != st->output_port) {
    choose(shown_.output_port, st->output_port, shown_.output_ports.size());
    show(Shown::OutputPort);
  }
  if (shown_.default_size != st->default_size) {
    choose(shown_.default_size, st->default_size, shown_.default_sizes.size());
    show(Shown::DefaultSize);
  }
  show_version_text(s);
  color_format_ = st->color_format;
  input_locked_ = st->input_locked() ? 1 : 0;
  show(Shown::Color);
  refresh_status_display();
  return true;
}

void CardSession::board_status_refresh() { status_refresh_steps(); }

void CardSession::board_scan() {
  qhidev_list& l = *list_;
  {
    ReaderHold hold(card_.reader());
    qhidev_enum(l);
  }
  board_attach(0);

  shown_.cards.clear();
  for (uint32_t i = 0; i < l.count; ++i) {
    const qhidev* d = l.items[i].get();
    shown_.cards.push_back((d && d->name.size() < kMaxListName) ? d->name : std::string());
  }
  shown_.card = l.count > 0 ? 0 : -1;
  show(Shown::CardList);
  if (l.count > 0) show_input_and_half_rate();
  fill_video_lists();
  log_printf(0, " *&* : intr event %08X : %08X\r\n", get_le32(event_state_.event.data() + EVENT_WORD1),
             get_le32(event_state_.event.data() + EVENT_WORD2));
  if (!status_refresh_steps()) return;
  observer_->reset_register_panel();
  card_.start_async_reports(session_token(this));
}

void CardSession::show_input_and_half_rate() {
  if (const std::optional<uint8_t> input = card_.input_in_use()) {
    choose(shown_.input, *input, shown_.inputs.size());
    show(Shown::Input);
  }
  uint8_t half = 0;
  if (card_.board_config(1, 1, &half)) {
    shown_.half_rate = half != 0;
    show(Shown::HalfRate);
  }
}

}  // namespace kestrel
