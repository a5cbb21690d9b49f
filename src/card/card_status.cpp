// A card's own exchanges: its status block and record, the configuration record, the download
// lock, the video update and the board's controls, and the card's actions.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "card/card.h"
#include "boards/control.h"
#include "boards/control_calls.h"
#include "boards/registry.h"
#include "devlink/commands.h"
#include "devlink/status_records.h"
#include "log/clock.h"
#include "log/log.h"
#include "platform/card_claim.h"

namespace kestrel {

namespace {

constexpr uint32_t kAsyncReportsAction = 24;  // asks the card for asynchronous reports
constexpr uint32_t kConfigSettleMs = 200;     // the card needs this long after 0x21 before a write

// Code 6 writes the record whole.
static_assert(WORK_STATUS_COPY == STATUS_VIEW_SIZE);
constexpr size_t kWorkStatusLen = 176;
constexpr uint16_t kWorkStatusMin = 160;

// The work-status answer's fields that make up the record when the board has no code 6:
// offset and width, copied to the same offset; bytes 160..167 go to 64..71.
struct Span {
  size_t off, len;
};
constexpr Span kCopied[] = {{0, 4}, {4, 1}, {10, 2}, {12, 4}, {16, 1}, {20, 4}, {24, 4}, {32, 32}};

void log_send_async(uint32_t action, bool ok) { log_printf(9, " send async %u %s\r\n", action, ok ? "allok" : "failed"); }

}  // namespace

VideoUpdateBlock VideoUpdateBlock::make(uint16_t bits, uint8_t input, uint8_t bctl) {
  VideoUpdateBlock b;
  put_le16(b.bytes.data(), bits);
  b.bytes[2] = input;
  b.bytes[3] = bctl;
  return b;
}

bool Card::read_and_log_status(uint8_t* s, uint16_t* len) {
  if (!link_.current()) return false;
  if (!board_status_read(link_, s, text_page(0), 0, len)) return false;
  // The text may be unterminated in a broken block; the parser bounds it by what arrived.
  const std::optional<BoardStatus> st = parse_board_status({s, *len});
  if (!st) return false;
  log_printf(0, " *&* : board status change TEXT(%08X) GPIF(%08X) uvcolor(%u) view(%ux%u)\r\n %.*s\r\n", st->text_word,
             st->gpif, st->color_format, st->view_width, st->view_height, static_cast<int>(st->text.size()),
             st->text.data());
  return board_status_valid(s, *len);
}

bool Card::work_status_get(uint8_t* dest) {
  const uint8_t one = 1;
  std::span<uint8_t> page = text_page(0);
  const uint8_t s = link_.next_seq();
  if (!link_.hid_put(s, CMD_WORK_STATUS, 0, &one, 1, page)) return false;
  if (!link_.hid_get(page)) {
    log_printf(0, " war : query status(%u) get failed error(%u)\r\n", 0u, static_cast<unsigned>(errno));
    return false;
  }
  if (!link_.frame_check(page.data(), CMD_WORK_STATUS, s, kWorkStatusMin)) return false;
  // A 160..175-byte answer leaves the tail as it was in the page; copy the full 176 all the same.
  std::memcpy(dest, page.data() + FRAME_HDR, kWorkStatusLen);
  return true;
}

bool Card::status_view_get(uint8_t* v) {
  BoardContext ctx{link_, text_page(0)};
  if (ctl_work_status(registry_, ctx, std::span<uint8_t, WORK_STATUS_COPY>(v, WORK_STATUS_COPY))) return true;
  uint8_t* answer = status_work_.data() + kPage;
  if (!work_status_get(answer)) return false;
  std::memset(v, 0, STATUS_VIEW_SIZE);
  for (const Span& sp : kCopied) std::memcpy(v + sp.off, answer + sp.off, sp.len);
  std::memcpy(v + 64, answer + 160, 8);
  return true;
}

std::optional<StatusView> Card::read_status_view() {
  uint8_t* record = status_work_.data();
  return status_view_get(record) ? parse_status_view({record, STATUS_VIEW_SIZE}) : std::nullopt;
}

void Card::start_async_reports(uint32_t token) {
  qhidev* d = link_.current();
  if (!d) return;
  if (d->link_flags & QHIDEV_F_STATUS_RPT) {
    link_.send_notify(3, 0, token);
  } else {
    log_send_async(kAsyncReportsAction, link_.send_async(kAsyncReportsAction, text_page(1)));
    uint8_t buf[ANSWER_REPORT_SIZE];
    Answer a;
    if (link_.transact_short(CMD_DBG_CONTROL, 2, nullptr, 0, 4, buf, a)) std::memcpy(text_work_.data(), a.payload, 4);
  }
}

bool Card::board_config(int op, uint32_t n, void* v) {
  // The record is read, changed and written back into the card's flash: no other program's
  // request may fall between, as for an upgrade.
  const platform::ExclusiveClaim held(op == 2 || op == 4 ? link_.claim() : nullptr);
  if (!held.ok()) return false;
  std::span<uint8_t> page = text_page(0);
  uint8_t* r = board_config_read(link_, page);
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

  // Write sequence: host and card locked, 0x21, a pause, the sealed record, then restore.
  const int was_locked = set_download_lock(1);
  const int rc = link_.hid_send_command(CTRL_CFG_BEGIN, text_page(1));
  sleep_ms(kConfigSettleMs);
  board_config_seal(r);
  const uint8_t s2 = link_.next_seq();
  bool result = false;
  // The record is sent from the page it was read into; the answer lands in the same page.
  uint8_t rec[CONFIG_SIZE];
  std::memcpy(rec, r, CONFIG_SIZE);
  if (link_.hid_put(s2, CMD_CONFIG_PUT, 0, rec, CONFIG_SIZE, page) && link_.hid_get(page)) {
    result = link_.frame_check(page.data(), CMD_CONFIG_PUT, s2, 0) && !(page[FRAME_SUB] & ANSWER_REFUSED);
  }
  if (rc >= -1 && rc <= 1) link_.hid_send_command(static_cast<uint8_t>(CTRL_CFG_END + (rc == -1 ? 2 : rc)), text_page(1));
  set_download_lock(was_locked);
  return result;
}

bool Card::store_half_rate(bool on) {
  uint8_t v = on ? 1 : 0;
  return board_config(2, 1, &v);
}

bool Card::store_default_size(uint32_t number) { return board_config(4, 4, &number); }

int Card::set_download_lock(int mode) {
  const int prev = download_locked_ ? 1 : 0;
  switch (mode) {
    case 0:
      if (download_locked_) {
        download_locked_ = 0;
        if (lock_changed_) lock_changed_(false);
      }
      link_.hid_send_command(CTRL_DL_UNLOCK, text_page(1));
      return prev;
    case 1:
      if (!download_locked_ && lock_changed_) lock_changed_(true);
      download_locked_ = 1;
      link_.hid_send_command(CTRL_DL_LOCK, text_page(1));
      return prev;
    case 2:
      return prev;
    default:
      return 2;
  }
}

bool Card::video_update(const VideoUpdateBlock& block) {
  // Request in the page after the first; the answer comes back into the first page.
  const uint8_t s = link_.next_seq();
  if (!link_.hid_put(s, CMD_UPDATE, 0, block.bytes.data(), block.bytes.size(), text_page(1))) return false;
  Answer a;
  return link_.fetch_more(CMD_UPDATE, s, 2, text_page(0), a);
}

bool Card::board_control(uint32_t code, uint32_t size, void* out) {
  BoardContext ctx{link_, text_page(0), &diag_.dump};
  return board_control_current(registry_, ctx, code, size, out);
}

PortReply Card::switch_output_port(uint16_t current) {
  const OutputPortReply r = ctl_output_port(*this, current);
  log_printf(0, " *&* : combo input switch(%u) port = %u\r\n", r.ok ? 1u : 0u, r.record.current);
  return {r.ok, r.record.current};
}

std::optional<uint8_t> Card::input_in_use() {
  uint8_t input = 0;
  if (board_input_get(link_, &input) != 0) return std::nullopt;
  return input;
}

void Card::send_async_action(uint32_t action) { log_send_async(action, link_.send_async(action, text_page(1))); }

uint32_t Card::monitor_query(uint8_t* dest) {
  uint8_t payload[16] = {};
  put_le64(payload, clock_now_ns());
  Answer a;
  if (!link_.transact_long(CMD_MONITOR, 0, payload, sizeof payload, 16, text_page(0), a)) return 0;
  std::memcpy(dest, a.payload, a.len);
  return a.len;
}

void Card::switch_debug_mode() {
  int r;
  int32_t next;
  if (debug_mode_ == 0) {
    r = link_.hid_send_command(CTRL_DEBUG_MODE + 1, text_page(1));
    next = 1;
  } else if (debug_mode_ == 1) {
    r = link_.hid_send_command(CTRL_DEBUG_MODE, text_page(1));
    next = 0;
  } else {
    r = link_.hid_send_command(CTRL_DEBUG_MODE + 2, text_page(1));
    next = r;
  }
  debug_mode_ = r < 0 ? -1 : next;
}

void Card::toggle_probe() {
  int r;
  switch (probe_state_) {
    case 1:
      r = link_.hid_send_command(CTRL_CFG_BEGIN, text_page(1));
      probe_state_ = r < 0 ? 0 : 2;
      break;
    case 2:
      r = link_.hid_send_command(CTRL_CFG_END, text_page(1));
      probe_state_ = r >= 0 ? 1 : 0;
      break;
    default:
      r = link_.hid_send_command(CTRL_CFG_END + 2, text_page(1));
      probe_state_ = r < 0 ? 0 : r + 1;
      break;
  }
}

}  // namespace kestrel
