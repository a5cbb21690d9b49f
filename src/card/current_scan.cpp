// The card scan, attach, status refresh and configuration record of the current card.
#include <cstdio>
#include <cstring>

#include "card/current_card.h"
#include "card/card_commands.h"
#include "boards/registry.h"
#include "card/attach.h"
#include "devlink/status_flag.h"
#include "devlink/commands.h"
#include "devlink/status_records.h"
#include "log/clock.h"
#include "log/log.h"
#include "platform/card_claim.h"

namespace kestrel {

namespace {

constexpr uint32_t kAsyncReportsAction = 24;  // asks the card for asynchronous reports
constexpr uint32_t kConfigSettleMs = 200;     // the card needs this long after 0x21 before a write
constexpr size_t kMaxListName = 1024;

// The front end's identity for command 14 (the card hands it back): constant while the current
// card exists.
uint32_t window_token(const void* w) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(w)); }

}  // namespace

void CurrentCard::log_send_async(uint32_t action, bool ok) {
  log_printf(9, " send async %u %s\r\n", action, ok ? "allok" : "failed");
}

bool CurrentCard::board_attach(uint32_t index) {
  qhidev_list& l = *list_;
  m_open_failure = platform::OpenFailure::None;
  if (l.current && l.current_index == index && index < l.count && l.items[index].get() == l.current) return true;
  {
    ReaderHold hold(m_reader);
    if (!qhidev_open(l, index, &m_open_failure)) return false;
  }
  qhidev* d = l.current;
  card_attach_exchanges(m_link, *d, m_registry, text_page(0), *status_valid_);
  // The reader reads while the current card sends asynchronous reports.
  if (m_reader) m_reader->run.store((d->link_flags & QHIDEV_F_ASYNC_MASK) ? 1 : 0, std::memory_order_release);
  return true;
}

bool CurrentCard::read_and_log_status(uint8_t* s, uint16_t* len) {
  if (!m_link.current()) return false;
  if (!board_status_read(m_link, s, text_page(0), 0, len)) return false;
  // The text may be unterminated in a broken block; the parser bounds it by what arrived.
  const std::optional<BoardStatus> st = parse_board_status({s, *len});
  if (!st) return false;
  log_printf(0, " *&* : board status change TEXT(%08X) GPIF(%08X) uvcolor(%u) view(%ux%u)\r\n %.*s\r\n", st->text_word,
             st->gpif, st->color_format, st->view_width, st->view_height, static_cast<int>(st->text.size()),
             st->text.data());
  return board_status_valid(s, *len);
}

void CurrentCard::show_version_text(const uint8_t* s) {
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

bool CurrentCard::status_refresh_steps() {
  uint8_t* s = m_status_work.data();
  uint16_t len = 0;
  if (!read_and_log_status(s, &len)) return false;
  const std::optional<BoardStatus> st = parse_board_status({s, len});
  if (!st) return false;
  take_choices();
  if (shown_.output_port != st->output_port) {
    choose(shown_.output_port, st->output_port, shown_.output_ports.size());
    show(Shown::OutputPort);
  }
  if (shown_.default_size != st->default_size) {
    choose(shown_.default_size, st->default_size, shown_.default_sizes.size());
    show(Shown::DefaultSize);
  }
  show_version_text(s);
  m_color_format = st->color_format;
  m_input_locked = st->input_locked() ? 1 : 0;
  show(Shown::Color);
  refresh_status_display();
  return true;
}

void CurrentCard::board_status_refresh() { status_refresh_steps(); }

void CurrentCard::board_scan() {
  qhidev_list& l = *list_;
  {
    ReaderHold hold(m_reader);
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
  log_printf(0, " *&* : intr event %08X : %08X\r\n", get_le32(m_event_state.event.data() + EVENT_WORD1),
             get_le32(m_event_state.event.data() + EVENT_WORD2));
  if (!status_refresh_steps()) return;
  reset_register_panel();

  qhidev* d = m_link.current();
  if (!d) return;
  if (d->link_flags & QHIDEV_F_STATUS_RPT) {
    m_link.send_notify(3, 0, window_token(this));
  } else {
    log_send_async(kAsyncReportsAction, m_link.send_async(kAsyncReportsAction, text_page(1)));
    uint8_t buf[ANSWER_REPORT_SIZE];
    Answer a;
    if (m_link.transact_short(CMD_DBG_CONTROL, 2, nullptr, 0, 4, buf, a)) std::memcpy(m_text_work.data(), a.payload, 4);
  }
}

void CurrentCard::show_input_and_half_rate() {
  uint8_t input = 0;
  if (board_input_get(m_link, &input) == 0) {
    choose(shown_.input, input, shown_.inputs.size());
    show(Shown::Input);
  }
  uint8_t half = 0;
  if (board_config(1, 1, &half)) {
    shown_.half_rate = half != 0;
    show(Shown::HalfRate);
  }
}

bool CurrentCard::board_config(int op, uint32_t n, void* v) {
  // The record is read, changed and written back into the card's flash: no other program's
  // request may fall between, as for an upgrade.
  const platform::ExclusiveClaim held(op == 2 || op == 4 ? m_link.claim() : nullptr);
  if (!held.ok()) return false;
  std::span<uint8_t> page = text_page(0);
  uint8_t* r = board_config_read(m_link, page);
  if (!r) return false;
  const uint32_t m = n < 4 ? n : 4;
  auto* vb = static_cast<uint8_t*>(v);
  switch (op) {
    case 0:
      return true;
    case 1:
    case 3: {
      const uint32_t x = r[op == 1 ? CONFIG_HALF_RATE : CONFIG_SETTING1];
      if (m > 0) {
        if (!vb) return false;
        for (uint32_t i = 0; i < m; ++i) vb[i] = static_cast<uint8_t>(x >> (8 * i));
      }
      return true;
    }
    case 2: {
      uint32_t num = 0;
      for (uint32_t i = 0; vb && i < m; ++i) num |= static_cast<uint32_t>(vb[i]) << (8 * i);
      const uint8_t y = (vb && num != 0) ? 1 : 0;
      if (y == r[CONFIG_HALF_RATE]) return true;
      r[CONFIG_HALF_RATE] = y;
      break;
    }
    case 4: {
      const uint8_t y = (vb && m > 0) ? vb[0] : 0;
      if (y == r[CONFIG_SETTING1]) return true;
      r[CONFIG_SETTING1] = y;
      break;
    }
    default:
      return false;
  }

  // Write sequence: front end and card locked, 0x21, a pause, the sealed record, then restore.
  const int was_locked = set_download_lock(1);
  const int rc = m_link.hid_send_command(CTRL_CFG_BEGIN, text_page(1));
  sleep_ms(kConfigSettleMs);
  board_config_seal(r);
  const uint8_t s2 = m_link.next_seq();
  bool result = false;
  // The record is sent from the page it was read into; the answer lands in the same page.
  uint8_t rec[CONFIG_SIZE];
  std::memcpy(rec, r, CONFIG_SIZE);
  if (m_link.hid_put(s2, CMD_CONFIG_PUT, 0, rec, CONFIG_SIZE, page) && m_link.hid_get(page)) {
    result = m_link.frame_check(page.data(), CMD_CONFIG_PUT, s2, 0) && !(page[FRAME_SUB] & ANSWER_REFUSED);
  }
  if (rc >= -1 && rc <= 1) m_link.hid_send_command(static_cast<uint8_t>(CTRL_CFG_END + (rc == -1 ? 2 : rc)), text_page(1));
  set_download_lock(was_locked);
  return result;
}

int CurrentCard::set_download_lock(int mode) {
  const int prev = m_dxctl_lock_status ? 1 : 0;
  switch (mode) {
    case 0:
      if (m_dxctl_lock_status) {
        m_dxctl_lock_status = 0;
        if (m_pending_event) {
          m_pending_event = 0;
          post(ids::ID_DEV_INTR_EVENT);
        }
      }
      m_link.hid_send_command(CTRL_DL_UNLOCK, text_page(1));
      return prev;
    case 1:
      if (!m_dxctl_lock_status) m_pending_event = 0;
      m_dxctl_lock_status = 1;
      m_link.hid_send_command(CTRL_DL_LOCK, text_page(1));
      return prev;
    case 2:
      return prev;
    default:
      return 2;
  }
}

}  // namespace kestrel
