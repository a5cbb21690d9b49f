#include "devlink/hid_link.h"

#include <cstring>

#include "devlink/commands.h"
#include "platform/card_claim.h"

namespace kestrel {

qhidev* HidLink::current() const {
  qhidev* d = list_->current;
  return (d && d->handle) ? d : nullptr;
}

bool HidLink::hid_put(uint8_t seq, uint8_t cmd, uint8_t sub, const void* payload, uint32_t len,
                      std::span<uint8_t> page) {
  if (len > LONG_PAYLOAD_MAX || page.size() < LONG_REPORT_SIZE) return false;
  uint8_t* p = page.data();
  std::memset(p + FRAME_CSUM, 0, LONG_REPORT_SIZE - FRAME_CSUM);
  frame_build(p, RID_LONG_REQ, seq, cmd, sub, static_cast<const uint8_t*>(payload), static_cast<uint16_t>(len));
  qhidev* d = current();
  if (!d) return false;
  return d->handle->set_output_report(page.first(LONG_REPORT_SIZE));
}

bool HidLink::send_frame(std::span<const uint8_t> frame) {
  if (frame.size() < FRAME_HDR) return false;
  const size_t total = FRAME_HDR + get_le16(frame.data() + FRAME_LEN);
  size_t report_size = 0;
  switch (frame[FRAME_RID]) {
    case RID_SHORT_REQ: report_size = SHORT_REPORT_SIZE; break;
    case RID_LONG_REQ: report_size = LONG_REPORT_SIZE; break;
    default: return false;
  }
  // The frame proper must fit in the report; for report 11 that is 264 of its 265 bytes.
  const size_t frame_room = frame[FRAME_RID] == RID_LONG_REQ ? FRAME_HDR + LONG_PAYLOAD_MAX : SHORT_REPORT_SIZE;
  if (total > frame_room || frame.size() < report_size) return false;
  qhidev* d = current();
  if (!d) return false;
  return d->handle->set_output_report(frame.first(report_size));
}

bool HidLink::put_short(uint8_t seq, uint8_t cmd, uint8_t sub, const void* payload, uint32_t len,
                        std::span<uint8_t> buf) {
  if (len > SHORT_PAYLOAD_MAX || buf.size() < ANSWER_REPORT_SIZE) return false;
  std::memset(buf.data(), 0, SHORT_REPORT_SIZE);
  frame_build(buf.data(), RID_SHORT_REQ, seq, cmd, sub, static_cast<const uint8_t*>(payload), static_cast<uint16_t>(len));
  return send_frame(buf);
}

bool HidLink::hid_get(std::span<uint8_t> page) {
  if (page.size() < ANSWER_REPORT_SIZE) return false;
  page[0] = RID_ANSWER;
  std::memset(page.data() + 1, 0, 263);
  qhidev* d = current();
  if (!d) return false;
  return d->handle->get_input_report(page.first(ANSWER_REPORT_SIZE));
}

bool HidLink::frame_check(const uint8_t* buf, uint8_t cmd, uint8_t seq, uint16_t min_len, uint16_t max_len) const {
  const qhidev* d = list_->current;
  const size_t echo = (d && (d->link_flags & QHIDEV_F_ECHO2)) ? FRAME_CMD : FRAME_RID;
  if (buf[echo] != cmd) return false;
  if (buf[FRAME_SEQ] != seq) return false;
  const uint16_t len = get_le16(buf + FRAME_LEN);
  // A length past what the report holds would make the sum and the copy run over stale bytes.
  if (len < min_len || len > max_len) return false;
  return frame_sum_intact(buf, FRAME_HDR + len);
}

std::shared_ptr<platform::CardClaim> HidLink::claim() const {
  const qhidev* d = current();
  return d && d->handle ? d->handle->claim() : nullptr;
}

int HidLink::hid_send_command(uint8_t code, std::span<uint8_t> page) {
  // The request and its answer are one transaction: no other program's request comes between.
  const platform::ClaimedTransaction t(claim());
  const uint8_t s = next_seq();
  last_seq_ = s;
  if (!hid_put(s, CMD_CONTROL, 0, &code, 1, page)) return -1;
  if (!hid_get(page) || !current()) return 0;
  if (!frame_check(page.data(), CMD_CONTROL, s, 2)) return 0;
  const uint8_t r = page[FRAME_HDR];
  if (r == 255) return -1;
  return r != 0 ? 1 : 0;
}

bool HidLink::transact_long(uint8_t cmd, uint8_t sub, const void* payload, uint32_t len, uint16_t min_len,
                            std::span<uint8_t> page, Answer& out, uint32_t* seq_counter) {
  const platform::ClaimedTransaction t(claim());
  uint32_t& counter = seq_counter ? *seq_counter : hid_seq;
  const uint8_t s = static_cast<uint8_t>(++counter);
  last_seq_ = s;
  if (!hid_put(s, cmd, sub, payload, len, page)) return false;
  return fetch_more(cmd, s, min_len, page, out);
}

bool HidLink::transact_short(uint8_t cmd, uint8_t sub, const void* payload, uint32_t len, uint16_t min_len,
                             std::span<uint8_t> buf, Answer& out) {
  const platform::ClaimedTransaction t(claim());
  const uint8_t s = next_seq();
  last_seq_ = s;
  if (!put_short(s, cmd, sub, payload, len, buf)) return false;
  return fetch_more(cmd, s, min_len, buf, out);
}

bool HidLink::fetch_more(uint8_t cmd, uint8_t seq, uint16_t min_len, std::span<uint8_t> page, Answer& out) {
  if (!hid_get(page)) return false;
  if (!frame_check(page.data(), cmd, seq, min_len)) return false;
  out.payload = page.data() + FRAME_HDR;
  out.len = get_le16(page.data() + FRAME_LEN);
  out.status = page[FRAME_SUB];
  return true;
}

bool HidLink::send_async(uint32_t action, std::span<uint8_t> page) {
  uint8_t payload[4];
  put_le32(payload, action);
  const uint8_t s = next_seq();
  last_seq_ = s;
  return hid_put(s, CMD_SEND_ASYNC, 0, payload, sizeof payload, page);
}

bool HidLink::send_notify(uint32_t w0, uint32_t w1, uint32_t w2) {
  uint8_t report[NOTIFY_REPORT_SIZE] = {};
  uint8_t payload[16];
  put_le32(payload, MAGIC_ZHHH);
  put_le32(payload + 4, w0);
  put_le32(payload + 8, w1);
  put_le32(payload + 12, w2);
  const uint8_t s = next_seq();
  last_seq_ = s;
  qhidev* d = current();
  if (!d || !(d->link_flags & QHIDEV_F_STATUS_RPT)) return false;
  frame_build(report, RID_NOTIFY, s, CMD_NOTIFY, 0, payload, sizeof payload);
  return d->handle->set_output_report(report);
}

}  // namespace kestrel
