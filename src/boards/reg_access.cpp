#include "boards/reg_access.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "devlink/commands.h"
#include "devlink/hid_link.h"

namespace kestrel {
namespace {

// Where a legacy card puts the register values in input report 13. The original copied from
// byte 0, so its first byte was always the report ID 13. The card we build against (src/sim,
// card.h) repeats the request's device, register and count in bytes 1..3 and places the values
// from byte 4, so the copy starts there: 257 bytes of room, enough for a 256-byte read.
constexpr size_t REG_LEGACY_DATA = 4;
static_assert(REG_LEGACY_DATA + REG_READ_MAX <= REG_LEGACY_REPORT_SIZE);
constexpr size_t REG_LEGACY_REQ_DEVICE = 1, REG_LEGACY_REQ_REGISTER = 2, REG_LEGACY_REQ_COUNT = 3;

// The legacy register channel: one unframed output report 12, one fetched input report 13.
int32_t reg_read_legacy(HidLink& link, uint8_t device, uint8_t reg, uint32_t count, std::span<uint8_t> out,
                        uint32_t& returned) {
  std::array<uint8_t, REG_LEGACY_REPORT_SIZE> buf{};
  buf[0] = RID_REG_LEGACY_REQ;
  buf[REG_LEGACY_REQ_DEVICE] = device;
  buf[REG_LEGACY_REQ_REGISTER] = reg;
  buf[REG_LEGACY_REQ_COUNT] = static_cast<uint8_t>(count);
  qhidev* d = link.current();
  if (!d || !d->handle->set_output_report(buf)) return REG_READ_FAILED;
  buf.fill(0);
  buf[0] = RID_REG_LEGACY_ANSWER;
  d = link.current();
  if (!d || !d->handle->get_input_report(buf)) return REG_READ_FAILED;
  std::memcpy(out.data(), buf.data() + REG_LEGACY_DATA, count);
  returned = count;  // the report has room for every byte
  return REG_READ_OK;
}

int32_t reg_read_framed(HidLink& link, uint8_t device, uint8_t reg, uint32_t count, std::span<uint8_t> out,
                        uint32_t& returned) {
  // Request and reply share this one buffer.
  std::array<uint8_t, LONG_REPORT_SIZE> buf{};
  uint8_t payload[REG_REQ_SIZE] = {};
  put_le16(payload + REG_REQ_DEVICE, device);
  put_le16(payload + REG_REQ_REGISTER, reg);
  put_le16(payload + REG_REQ_COUNT, static_cast<uint16_t>(count));
  const uint8_t seq = static_cast<uint8_t>(++*link.reg_seq);
  if (!link.hid_put(seq, CMD_REG_READ, 0, payload, sizeof payload, buf)) return REG_READ_FAILED;
  Answer ans;
  if (!link.fetch_more(CMD_REG_READ, seq, REG_REPLY_MIN, buf, ans)) return REG_READ_NO_REPLY;
  if (ans.payload[REG_REPLY_STATUS] == 0) return REG_READ_NO_REPLY;
  // The count field is the card's word; never copy past the data the reply itself carries.
  const size_t n = std::min<size_t>({count, get_le16(ans.payload + REG_REPLY_COUNT),
                                     static_cast<size_t>(ans.len - REG_REPLY_DATA)});
  std::memcpy(out.data(), ans.payload + REG_REPLY_DATA, n);
  returned = static_cast<uint32_t>(n);
  return REG_READ_OK;
}

}  // namespace

int32_t reg_read(HidLink& link, uint8_t device, uint8_t reg, int32_t count, std::span<uint8_t> out,
                 uint32_t* returned) {
  uint32_t got = 0;
  if (returned) *returned = 0;
  const uint32_t n = static_cast<uint32_t>(count);  // a negative count is out of range too
  if (!link.current() || n > REG_READ_MAX || n > out.size()) return REG_READ_FAILED;
  const int32_t rc = *link.status_block_valid ? reg_read_framed(link, device, reg, n, out, got)
                                          : reg_read_legacy(link, device, reg, n, out, got);
  if (returned) *returned = got;
  return rc;
}

}  // namespace kestrel
