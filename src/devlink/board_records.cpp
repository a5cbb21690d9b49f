#include "devlink/board_records.h"

#include <cstring>

#include "devlink/commands.h"

namespace kestrel {

namespace {
constexpr size_t kPage = 4096;
}

bool board_event_intact(const uint8_t* rec) {
  return get_le32(rec + EVENT_MAGIC) == MAGIC_ZHHH && frame_sum_intact(rec, EVENT_SIZE);
}

bool board_status_valid(const uint8_t* block, size_t avail) {
  if (avail < STATUS_MIN_LENGTH) return false;
  if (get_le32(block + STATUS_MAGIC) != MAGIC_ZHHH) return false;
  const size_t length = get_le16(block + STATUS_LENGTH);
  if (length > avail || length <= STATUS_TEXT) return false;
  if (!frame_sum_intact(block, length)) return false;
  // The text and its NUL must lie inside the block.
  const void* nul = std::memchr(block + STATUS_TEXT, 0, length - STATUS_TEXT);
  return nul != nullptr;
}

bool board_config_intact(const uint8_t* rec, size_t avail) {
  // The length field itself must have been received before it can be believed.
  if (avail < CONFIG_SIZE) return false;
  const size_t length = get_le16(rec + CONFIG_LENGTH);
  if (length < CONFIG_SIZE || length > avail) return false;
  if (get_le32(rec + CONFIG_MAGIC) != CONFIG_MAGIC_WORD) return false;
  return crc32_register(rec, length) == 0;
}

void board_config_seal(uint8_t* rec) {
  put_le16(rec + CONFIG_LENGTH, CONFIG_SIZE);
  put_le32(rec + CONFIG_MAGIC, CONFIG_MAGIC_WORD);
  put_le32(rec + CONFIG_MAGIC2, CONFIG_MAGIC_WORD);
  put_le32(rec + CONFIG_CRC, crc32_register(rec, CONFIG_CRC));
}

bool board_event_query(HidLink& link, uint8_t* dest) {
  const uint8_t s = link.next_seq();
  if (!link.current()) return false;
  alignas(64) uint8_t buf[ANSWER_REPORT_SIZE];
  if (!link.put_short(s, CMD_BOARD_EVENT, CMD_EVENT_SUB, nullptr, 0, buf)) return false;
  if (!link.hid_get(buf)) return false;
  if (get_le16(buf + FRAME_LEN) != EVENT_SIZE) return false;
  if (buf[0] != RID_ANSWER || buf[1] != s || buf[2] != CMD_BOARD_EVENT || buf[3] != CMD_EVENT_SUB) return false;
  if (!frame_sum_intact(buf, FRAME_HDR + EVENT_SIZE)) return false;
  const uint8_t* rec = buf + FRAME_HDR;
  if (rec[EVENT_KIND] != 1 || !board_event_intact(rec)) return false;
  std::memcpy(dest, rec, EVENT_SIZE);
  return true;
}

bool board_status_fetch_report4(HidLink& link, std::span<uint8_t> page) {
  qhidev* d = link.current();
  if (!d || page.size() < STATUS_REPORT_SIZE) return false;
  std::memset(page.data(), 0, STATUS_REPORT_SIZE);
  page[0] = RID_STATUS;
  if (!d->handle->get_input_report(page.first(STATUS_REPORT_SIZE))) return false;
  const uint16_t len = get_le16(page.data() + FRAME_LEN);
  // Sequence and command bytes carry nothing here; the report may hold at most 183 bytes.
  return page[0] == RID_STATUS && len >= STATUS_MIN_LENGTH && len <= STATUS_PAYLOAD_MAX &&
         frame_sum_intact(page.data(), FRAME_HDR + len);
}

bool board_status_read(HidLink& link, uint8_t* dest, std::span<uint8_t> page, uint8_t b, uint16_t* out_len) {
  qhidev* d = link.current();
  if (!d) return false;
  if ((d->link_flags & QHIDEV_F_STATUS_RPT) && board_status_fetch_report4(link, page)) {
    const uint16_t len = get_le16(page.data() + FRAME_LEN);
    std::memcpy(dest, page.data() + FRAME_HDR, len);
    if (out_len) *out_len = len;
    return true;
  }
  if (page.size() < 2 * kPage) return false;
  // Request built in the page after the transfer page, answer fetched into the transfer page.
  const uint8_t s = link.next_seq();
  if (!link.hid_put(s, CMD_BOARD_STATUS, 0, &b, 1, page.subspan(kPage))) return false;
  Answer a;
  if (!link.fetch_more(CMD_BOARD_STATUS, s, STATUS_MIN_LENGTH, page, a)) return false;
  std::memcpy(dest, a.payload, a.len);
  if (out_len) *out_len = a.len;
  return true;
}

int board_input_get(HidLink& link, uint8_t* out) {
  qhidev* d = link.current();
  if (!d || !out) return -1;
  uint8_t rep[INPUT_SEL_SIZE] = {};
  rep[0] = RID_INPUT_SEL;
  if (!d->handle->get_feature_report(rep)) return -1;
  switch (rep[0]) {
    case 0: *out = 0; return 0;
    case 1: *out = 1; return 0;
    case 3: *out = 2; return 0;
    default: return -1;
  }
}

uint8_t* board_config_read(HidLink& link, std::span<uint8_t> page) {
  Answer a;
  if (!link.transact_long(CMD_CONFIG_GET, 0, nullptr, 0, CONFIG_MIN_ANSWER, page, a)) return nullptr;
  uint8_t* rec = page.data() + FRAME_HDR;
  return board_config_intact(rec, a.len) ? rec : nullptr;
}

}  // namespace kestrel
