#include "boards/diag_query.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "boards/board_table.h"
#include "devlink/board_records.h"
#include "devlink/commands.h"
#include "devlink/hid_link.h"
#include "log/hexdump.h"
#include "log/log.h"

namespace kestrel {
namespace {

constexpr uint8_t kQueryByte = 1;        // the one payload byte of commands 5, 8 and 9
constexpr uint8_t kVersionStatusByte = 1;

size_t board_debug_size(const BoardEntry& entry) {
  switch (entry.descriptor ? entry.descriptor->board_number() : 0) {
    case BOARD_MEADOW: return board_debug::SIZE_MEADOW;
    case BOARD_RW820C: return board_debug::SIZE_RW820C;
    default: return 0;
  }
}

void copy_cut(std::span<uint8_t> block, size_t offset, const Answer& a) {
  if (offset >= block.size()) return;
  std::memcpy(block.data() + offset, a.payload, std::min<size_t>(a.len, block.size() - offset));
}

}  // namespace

bool run_status_query(HidLink& link, std::span<uint8_t> page) {
  Answer a;
  if (!link.transact_long(CMD_WORK_STATUS, 0, &kQueryByte, 1, run_status::MIN_SIZE, page, a)) return false;
  print_run_status(a.payload);
  return true;
}

bool debug_info_query(HidLink& link, std::span<uint8_t> page, std::span<uint8_t, debug_info::SIZE> block) {
  const uint8_t seq = link.next_seq();
  if (!link.hid_put(seq, CMD_CYFXD, 0, &kQueryByte, 1, page)) return false;
  // Both answers follow the one request; the second is fetched at once.
  Answer a;
  if (!link.fetch_more(CMD_CYFXD, seq, 0, page, a)) return false;
  copy_cut(block, 0, a);
  if (!link.fetch_more(CMD_CYFXD_TAIL, seq, debug_info::TAIL_MIN, page, a)) return false;
  copy_cut(block, debug_info::TAIL_OFFSET, a);
  print_debug_info(block.data());
  return true;
}

bool version_query(HidLink& link, std::span<uint8_t> page) {
  std::array<uint8_t, ANSWER_PAYLOAD_MAX> s{};
  uint16_t len = 0;
  if (!link.current() || !board_status_read(link, s.data(), page, kVersionStatusByte, &len)) {
    log_printf(LOG_WARN, "%s", LOG_VERSION_FAILED);
    return false;
  }
  if (!board_status_valid(s.data(), len)) return false;
  log_printf(0, "\r\n %s\r\n", reinterpret_cast<const char*>(s.data() + STATUS_TEXT));
  log_printf(0, " xfcs(%08X) gpif(%08x)\r\n", get_le32(s.data() + STATUS_TEXT_WORD), get_le32(s.data() + STATUS_GPIF));
  return true;
}

bool qzdbg_control(HidLink& link, uint8_t sub, uint8_t* out) {
  std::array<uint8_t, ANSWER_REPORT_SIZE> buf{};
  Answer a;
  if (!link.transact_short(CMD_DBG_CONTROL, sub, nullptr, 0, QZDBG_ANSWER_MIN, buf, a)) return false;
  std::memcpy(out, a.payload, QZDBG_ANSWER_MIN);
  return true;
}

HdbcResult hdbc_adjust(HidLink& link, std::span<uint8_t> page, uint32_t mode, uint32_t& saved) {
  HdbcResult r;
  Answer a;
  if (!link.transact_long(CMD_HDBC_CONFIG, 0, nullptr, 0, HDBC_ANSWER_MIN, page, a)) return r;
  uint32_t w0 = get_le32(a.payload), w1 = get_le32(a.payload + 4);
  r.read[0] = w0;
  r.read[1] = w1;
  switch (mode) {
    case 1: w1 |= 1u; break;
    case 2: w1 &= ~1u; break;
    case 3:
      if (w0 & HDBC_SAVE_MASK) saved = w0 & HDBC_SAVE_MASK;
      w0 &= ~HDBC_SAVE_MASK;
      break;
    case 4:
      if (saved != 0) w0 |= saved;
      break;
    default: return r;
  }
  uint8_t payload[8];
  put_le32(payload, w0);
  put_le32(payload + 4, w1);
  r.written[0] = w0;
  r.written[1] = w1;
  r.ok = link.transact_long(CMD_HDBC_CONFIG, 0, payload, sizeof payload, HDBC_ANSWER_MIN, page, a);
  return r;
}

uint32_t board_debug_fetch(HidLink& link, std::span<uint8_t> page, std::span<uint8_t> block) {
  std::fill(block.begin(), block.end(), 0);
  Answer a;
  if (!link.transact_long(CMD_CYFXD, 0, &kQueryByte, 1, 0, page, a)) return 0;
  copy_cut(block, 0, a);
  if (!link.transact_long(CMD_CYFXD_TAIL, 0, &kQueryByte, 1, 0, page, a)) return 1;
  copy_cut(block, board_debug::TAIL_OFFSET, a);
  return BOARD_DEBUG_PARTS;
}

namespace boards {

bool board_debug_dump(const BoardEntry& entry, BoardContext& ctx, bool full) {
  const size_t size = board_debug_size(entry);
  if (size == 0) return false;
  std::array<uint8_t, board_debug::MAX_SIZE> storage{};
  const std::span<uint8_t> block(storage.data(), size);
  const uint32_t arrived = board_debug_fetch(ctx.link, ctx.page, block);
  if (ctx.outcome) {
    ctx.outcome->parts = BOARD_DEBUG_PARTS;
    ctx.outcome->parts_arrived = arrived;
  }
  const auto n = static_cast<uint32_t>(size);
  log_printf(0, " *&* : lenght %04X offt %02X second %02X", n, static_cast<uint32_t>(board_debug::TAIL_OFFSET),
             n - static_cast<uint32_t>(board_debug::TAIL_OFFSET));
  log_hex_dump(0, block.data(), n);
  if (!full) return true;
  const uint8_t* key = block.data() + size - board_debug::KEY_SIZE;
  log_printf(0, " meadow board data length(%04X) keyid(%08X)", n, crc32_register(key, board_debug::KEY_SIZE));
  log_hex_dump(0, key, board_debug::KEY_SIZE);
  print_board_debug(block.data(), size);
  return true;
}

}  // namespace boards
}  // namespace kestrel
