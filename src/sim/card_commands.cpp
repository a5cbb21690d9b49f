// The card's handling of the reports it owns: framed requests on reports 11, 10 and 5 with their
// answers on input report 9, the status report 4, the polled debug report 8, the legacy register
// reports 12/13 and the feature reports 1 and 7.
#include <algorithm>
#include <cstring>

#include "log/clock.h"
#include "sim/card_impl.h"

namespace kestrel::sim {

namespace {

// Which request report each command comes on (0: not a command of the catalogue).
bool report_fits(uint8_t cmd, uint8_t rid) {
  switch (cmd) {
    case CMD_BOARD_EVENT: case CMD_DBG_CONTROL: case CMD_VIDEO_PROP: case CMD_VIDEO_STATE:
      return rid == RID_SHORT_REQ;
    case CMD_CYFXD: case CMD_BUS_XFER:
      return rid == RID_SHORT_REQ || rid == RID_LONG_REQ;
    case CMD_NOTIFY:
      return rid == RID_NOTIFY;
    default:
      return rid == RID_LONG_REQ;
  }
}

// TB610K-1CH and TB610M-1CH have no receiver behind input 1 ("unknow").
bool input_usable(BoardModel m, uint8_t input) {
  return !(input == 1 && (m == BoardModel::TB610K_1CH || m == BoardModel::TB610M_1CH));
}

}  // namespace

SimCard::Impl::Impl(SimCard& owner, const Scenario& s) : card(owner), st(s) {
  regs.fill_for(st);
  props = defaults_block();
  stored_props = props;
  seal_config();
  plug_ns = clock_now_ns();
}

// A new plug-in: the card starts again with what it keeps (configuration, stored properties).
void SimCard::Impl::reset_session() {
  props = stored_props;
  answers.clear();
  legacy_answer.reset();
  polled.clear();
  plug_ns = clock_now_ns();
  async_requested = false;
  download_locked = false;
  probe_hold = 0;
}

bool SimCard::Impl::on_output(std::span<const uint8_t> report) {
  if (report.empty()) return false;
  switch (report[0]) {
    case RID_LONG_REQ:
    case RID_SHORT_REQ:
    case RID_NOTIFY:
      answers.clear();
      if (auto rq = take_request(report)) {
        card.step(StepKind::Command, rq->cmd);
        handle(*rq);
      }
      return true;  // the pipe took the report, whether or not the card could use it
    case RID_LEGACY_REG_REQ:
      legacy_reg_read(report);
      return true;
    default:
      return false;
  }
}

bool SimCard::Impl::on_get_input(std::span<uint8_t> report) {
  if (report.empty()) return false;
  switch (report[0]) {
    case RID_ANSWER: {
      if (answers.empty()) return false;
      std::vector<uint8_t> a = std::move(answers.front());
      answers.pop_front();
      std::fill(report.begin(), report.end(), 0);
      std::copy_n(a.begin(), std::min(a.size(), report.size()), report.begin());
      return true;
    }
    case RID_STATUS:
      if (!(st.capabilities & CAP_STATUS_RPT) || report.size() < STATUS_HEADER + FRAME_HDR + 1) return false;
      build_status_report(report);
      return true;
    case RID_DEBUG_TEXT:
      build_polled_report(report);
      return true;
    case RID_LEGACY_REG_ANS: {
      if (!legacy_answer) return false;
      std::fill(report.begin(), report.end(), 0);
      std::copy_n(legacy_answer->begin(), std::min(legacy_answer->size(), report.size()), report.begin());
      legacy_answer.reset();
      return true;
    }
    default:
      return false;
  }
}

bool SimCard::Impl::on_set_feature(std::span<const uint8_t>) { return false; }

bool SimCard::Impl::on_get_feature(std::span<uint8_t> report) {
  if (report.empty()) return false;
  switch (report[0]) {
    case RID_EVENT_FEAT:
      if (!st.feature_event || report.size() < FEATURE_EVENT_SIZE) return false;
      std::fill(report.begin(), report.end(), 0);
      make_event(report.data(), 1);
      return true;
    case RID_INPUT_SEL:
      std::fill(report.begin(), report.end(), 0);
      report[0] = input_selection_code();
      return true;
    default:
      return false;
  }
}

// The card's own acceptance of a request: the report has its fixed size, the length fits the
// report and the checksum over header and payload is intact. Anything else is ignored.
std::optional<Request> SimCard::Impl::take_request(std::span<const uint8_t> r) {
  const size_t want = r[0] == RID_LONG_REQ ? LONG_REPORT_SIZE : SHORT_REPORT_SIZE;
  const size_t room = r[0] == RID_LONG_REQ ? LONG_PAYLOAD_MAX : SHORT_PAYLOAD_MAX;
  if (r.size() != want) {
    ++rejected;
    return std::nullopt;
  }
  const uint16_t len = get_le16(r.data() + FRAME_LEN);
  if (len > room || frame_csum(r.data(), FRAME_HDR + len) != 0xFFFF) {
    ++rejected;
    return std::nullopt;
  }
  return Request{r[0], r[1], r[2], r[3], r.subspan(FRAME_HDR, len)};
}

void SimCard::Impl::answer(const Request& rq, std::span<const uint8_t> payload, bool refused, uint8_t cmd) {
  if (cmd == 0) cmd = rq.cmd;
  if (auto it = overrides.find(cmd); it != overrides.end() && !refused) payload = it->second;
  const uint8_t status = refused ? (rq.sub | ANSWER_REFUSED) : rq.sub;
  std::vector<uint8_t> a(ANSWER_REPORT_SIZE, 0);
  const auto len = static_cast<uint16_t>(std::min(payload.size(), ANSWER_PAYLOAD_MAX));
  frame_build(a.data(), st.old_answers ? cmd : RID_ANSWER, rq.seq, cmd, status, payload.data(), len);
  answers.push_back(std::move(a));
}

void SimCard::Impl::handle(const Request& rq) {
  if (!report_fits(rq.cmd, rq.rid)) return refuse(rq);
  const auto& p = rq.payload;
  switch (rq.cmd) {
    case CMD_BOARD_EVENT: {
      if (rq.sub != CMD_EVENT_SUB) return refuse(rq);
      uint8_t ev[EVENT_SIZE];
      make_event(ev, 1);
      return answer(rq, ev);
    }
    case CMD_DBG_CONTROL: {
      if (rq.sub < 1 || rq.sub > 3) return refuse(rq);
      if (rq.sub != 3) dbg_status = rq.sub == 2;
      const uint8_t s[4] = {dbg_status, dbg_ready, dbg_bset, dbg_kstd};
      return answer(rq, s);
    }
    case CMD_HDBC_CONFIG: {
      if (p.size() == 8) {
        hdbc[0] = get_le32(p.data());
        hdbc[1] = get_le32(p.data() + 4);
      } else if (!p.empty()) {
        return refuse(rq);
      }
      uint8_t w[8];
      put_le32(w, hdbc[0]);
      put_le32(w + 4, hdbc[1]);
      return answer(rq, w);
    }
    case CMD_BOARD_STATUS:
      if (!st.status_query) return;  // such a card never answers: the fetch fails
      if (p.size() != 1 || p[0] > 1) return refuse(rq);
      return answer(rq, status_block());
    case CMD_WORK_STATUS:
      if (p.size() != 1 || p[0] != 1) return refuse(rq);
      return answer(rq, work_status());
    case CMD_VIDEO_PROP: return cmd_audio_policy(rq);
    case CMD_CONTROL: return cmd_control(rq);
    case CMD_CYFXD:
      if (p.size() != 1 || p[0] != 1) return refuse(rq);
      answer(rq, debug_head());
      if (rq.rid == RID_LONG_REQ) answer(rq, debug_tail(), false, CMD_CYFXD_TAIL);
      return;
    case CMD_CYFXD_TAIL: return answer(rq, debug_tail());
    case CMD_UPDATE: return cmd_video_update(rq);
    case CMD_SEND_ASYNC: return cmd_send_async(rq);
    case CMD_REG_READ: return cmd_reg_read(rq);
    case CMD_PROP_BLOCK: return cmd_prop_block(rq);
    case CMD_NOTIFY: return cmd_notify(rq);
    case CMD_BUS_XFER: return cmd_bus_xfer(rq);
    case CMD_VIDEO_STATE: return answer(rq, defaults_block());
    case CMD_MONITOR:
      if (p.size() != 16) return refuse(rq);
      return answer(rq, monitor);
    case CMD_CONFIG_GET:
      seal_config();
      return answer(rq, config);
    case CMD_CONFIG_PUT: return cmd_config_put(rq);
    default: return refuse(rq);
  }
}

// Command 7: one control code; the answer is the result byte and the code.
void SimCard::Impl::cmd_control(const Request& rq) {
  if (rq.payload.size() != 1) return refuse(rq);
  const uint8_t code = rq.payload[0];
  uint8_t r = 1;
  switch (code) {
    case CTRL_DL_UNLOCK: download_locked = false; break;
    case CTRL_DL_LOCK: download_locked = true; break;
    // 0x20/0x21 set the probe hold and answer the state before, so that the host can restore it
    // with 0x20 + that answer; 0x22 only asks.
    case 0x20: case 0x21: r = probe_hold; probe_hold = code - 0x20; break;
    case 0x22: r = probe_hold; break;
    case 0x10: case 0x11: debug_mode = code - 0x10; break;
    case 0x12: r = debug_mode; break;
    case CTRL_0x31: break;
    default: r = 255; break;
  }
  const uint8_t a[2] = {r, code};
  answer(rq, a);
  // The unlock that follows a transfer (0x20 + the lock's answer): the card may now restart into
  // a new image.
  if (code >= 0x20 && code <= 0x22) card.on_host_released();
}

// Command 10: the video setting block. The answer's signed result is 0 when the card took the
// setting, -1 for a block it does not know or an input it lacks, -2 for a selection while the
// input is locked.
void SimCard::Impl::cmd_video_update(const Request& rq) {
  if (rq.payload.size() != 16) return refuse(rq);
  const uint16_t bits = get_le16(rq.payload.data());
  const uint8_t input = rq.payload[2];
  const uint8_t bctl = rq.payload[3];
  const bool valid_input = input < input_count() && input_usable(st.model, input);
  int32_t result = 0;
  if (bits & 0x8000) {  // kept in the card (bctl 2)
    if (bctl != 2) result = -1;
    else if (bits == 0x8041 && valid_input) { st.locked_input = input; st.input = input; st.scanning = false; }
    else if (bits == 0x8081) { st.locked_input.reset(); st.scanning = true; }
    else if (bits == 0x8001) stored_props = props;
    else result = -1;
  } else if (st.locked_input) {
    result = -2;
  } else if (bits == 0x0041 && valid_input) {
    st.input = input;
    st.scanning = false;
  } else if (bits == 0x0021 && valid_input) {
    st.input = input;
    st.scanning = true;
  } else if (bits == 0x0080) {
    st.scanning = true;
  } else {
    result = -1;
  }
  uint8_t a[4];
  put_le32(a, static_cast<uint32_t>(result));
  answer(rq, a);
  regs.write(0x10, 0x36, st.input);
  if (result == 0 && async_requested && async_capable()) card.send_event(EVENT_STATUS_CHANGE, bits);
}

// Command 12: device, register, count; the answer repeats them, gives the count returned, a
// status byte (1 read, 0 failed) and the data. An answer holds 257 - 8 = 249 data bytes at most.
void SimCard::Impl::cmd_reg_read(const Request& rq) {
  if (rq.payload.size() != 8) return refuse(rq);
  const uint16_t dev = get_le16(rq.payload.data());
  const uint16_t reg = get_le16(rq.payload.data() + 2);
  const uint16_t count = get_le16(rq.payload.data() + 4);
  std::vector<uint8_t> a(8, 0);
  std::copy_n(rq.payload.begin(), 4, a.begin());
  const bool ok = count >= 1 && count <= 256 && dev <= 0x7F && reg <= 0xFF && regs.present(static_cast<uint8_t>(dev));
  if (ok) {
    const size_t n = std::min<size_t>({count, ANSWER_PAYLOAD_MAX - 8, 256u - reg});
    for (size_t i = 0; i < n; ++i) a.push_back(*regs.read(static_cast<uint8_t>(dev), static_cast<uint8_t>(reg + i)));
    put_le16(a.data() + 4, static_cast<uint16_t>(n));
    a[7] = 1;
  }
  answer(rq, a);
}

// Command 13: the mask asks for the groups to write; a group the card does not offer is refused.
void SimCard::Impl::cmd_prop_block(const Request& rq) {
  if (rq.payload.size() != 32) return refuse(rq);
  const uint8_t* p = rq.payload.data();
  const uint16_t mask = get_le16(p);
  if (mask & ~st.prop_offer_mask) return refuse(rq);
  for (int n = 0; n < 6; ++n)
    if (mask & (1u << n)) props[2 + n] = p[2 + n];
  if (mask & 0x40) std::copy_n(p + 16, 6, props.begin() + 16);
  if (mask & 0x80) {
    const uint32_t gfe = get_le32(p + 24);
    put_le32(props.data() + 24, (get_le32(props.data() + 24) & ~0xFFFu) | (gfe & 0xFFF));
    props[28] = p[28];
    props[29] = p[29];
  }
  const auto a = prop_answer();
  answer(rq, std::span<const uint8_t>(a).first(st.prop_short_answer ? 8 : 32));
}

// Command 6: the audio policy block. A write of a code the card does not have is refused and
// answered with the valid byte clear.
void SimCard::Impl::cmd_audio_policy(const Request& rq) {
  const auto& p = rq.payload;
  if (p.size() != 16 || get_le32(p.data()) != MAGIC_ZHHH || p[4] != 1) return refuse(rq);
  uint8_t a[16] = {};
  put_le32(a, MAGIC_ZHHH);
  a[4] = 1;
  bool refused = false;
  if (p[5]) {
    const uint8_t code = p[12];
    if (code <= 3 || (code >= 0x80 && code <= 0x87)) st.audio_policy = code;
    else refused = true;
  }
  a[5] = refused ? 0 : 1;
  a[12] = st.audio_policy;
  answer(rq, a, refused);
}

// Command 15. Long form: a raw bus transfer, answered with the bytes sent. Short form: the
// output-port switch of boards 7 and 8 (byte 0 = 6: switch to byte 1; all zero: ask), answered
// with the port now selected in byte 6.
void SimCard::Impl::cmd_bus_xfer(const Request& rq) {
  const auto& p = rq.payload;
  if (rq.rid == RID_LONG_REQ) {
    if (p.empty()) return refuse(rq);
    return answer(rq, p);
  }
  if (p.size() != 8 || !is_board7or8()) return refuse(rq);
  if (p[0] == 6) {
    if (p[1] >= 3) return refuse(rq);
    st.output_port = p[1];
  } else if (std::any_of(p.begin(), p.end(), [](uint8_t b) { return b != 0; })) {
    return refuse(rq);
  }
  const uint8_t a[8] = {p[0], p[1], 0, 0, 0, 0, st.output_port, 3};
  answer(rq, a);
}

// Command 22: taken only inside a configuration session (control code 0x21), while the card is
// not busy, and for an intact record.
void SimCard::Impl::cmd_config_put(const Request& rq) {
  if (rq.payload.size() != CONFIG_SIZE || !config_record_intact(rq.payload) || probe_hold != 1 || st.busy)
    return refuse(rq);
  std::copy_n(rq.payload.begin(), CONFIG_SIZE, config.begin());
  st.half_frame_rate = config[0] != 0;
  st.default_size = config[1];
  answer(rq, {});
}

// Command 11: no answer. Code 24 asks for asynchronous reports; 6 and 8 restart the card's work.
void SimCard::Impl::cmd_send_async(const Request& rq) {
  if (rq.payload.size() != 4) return;
  const uint32_t action = get_le32(rq.payload.data());
  actions.push_back(action);
  if (action == 24) async_requested = true;
  if (action == 6 || action == 8) {
    plug_ns = clock_now_ns();
    if (async_requested && async_capable()) card.send_event(EVENT_STATUS_CHANGE, action);
  }
}

// Command 14: no answer. Word 0 = 3 asks for asynchronous reports.
void SimCard::Impl::cmd_notify(const Request& rq) {
  const auto& p = rq.payload;
  if (p.size() != 16 || get_le32(p.data()) != MAGIC_ZHHH) return;
  notes.push_back({get_le32(p.data() + 4), get_le32(p.data() + 8), get_le32(p.data() + 12)});
  if (notes.back()[0] == 3) async_requested = true;
}

// Legacy register read: report 12 (device, register, count in bytes 1..3; count 0 means 256)
// answered by input report 13. A device that is not there leaves no answer, so the fetch fails.
void SimCard::Impl::legacy_reg_read(std::span<const uint8_t> r) {
  legacy_answer.reset();
  if (r.size() != LEGACY_REPORT_SIZE) return;
  const uint8_t dev = r[1], reg = r[2];
  const size_t count = r[3] ? r[3] : 256;
  if (!regs.present(dev)) return;
  std::vector<uint8_t> a(LEGACY_REPORT_SIZE, 0);
  a[0] = RID_LEGACY_REG_ANS;
  a[1] = dev;
  a[2] = reg;
  a[3] = r[3];
  const size_t n = std::min<size_t>({count, LEGACY_REPORT_SIZE - LEGACY_DATA_OFFSET, 256u - reg});
  for (size_t i = 0; i < n; ++i) a[LEGACY_DATA_OFFSET + i] = *regs.read(dev, static_cast<uint8_t>(reg + i));
  legacy_answer = std::move(a);
}

}  // namespace kestrel::sim
