#include "sim/flash_channel.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "devlink/frame.h"
#include "log/clock.h"

namespace kestrel::sim {

namespace {

// Offsets in the control payload (BdevControl; the host's time at 8 is not used by the card)
// and in the card's answer payload.
constexpr size_t CP_OP = 0, CP_KIND = 2, CP_MAGIC = 4, CP_BASE = 16, CP_LEN = 20, CP_CRC = 24, CP_NAME = 40;
constexpr size_t CP_ADDR = 20, CP_COUNT = 24;  // erase
// Answer payload: 0 op, 1 result (non-zero: done / matched; the host reads byte 9 of the
// report after a verify), 2 kind, 4 magic, 8 card time, 16 base, 20 size (open) or length
// (verify) or address (erase), 24 CRC the card computed (verify) or count (erase), 32 erase block.
constexpr size_t AP_OP = 0, AP_RESULT = 1, AP_KIND = 2, AP_MAGIC = 4, AP_TIME = 8, AP_BASE = 16, AP_SIZE = 20,
                 AP_CRC = 24, AP_EBLOCK = 32;

constexpr char kDeviceName[] = "qzffs";

// The card's own test of a control frame: its checksum over 8 + len bytes, len within the
// report and at least what the operation needs.
bool control_frame_ok(std::span<const uint8_t> r, uint16_t need) {
  const uint16_t len = get_le16(r.data() + FRAME_LEN);
  if (len < need || FRAME_HDR + len > r.size()) return false;
  return frame_csum(r.data(), FRAME_HDR + len) == 0xFFFF;
}

}  // namespace

void ChannelFaults::set_plan(FaultPlan plan) {
  plan_ = std::move(plan);
  fired_.assign(plan_.rules.size(), 0);
  std::fill(std::begin(counts_), std::end(counts_), 0u);
}

Fault ChannelFaults::step(StepKind kind) {
  if (card_step_) {
    slow_ms_ = 1500;
    return kind == StepKind::Transaction ? Fault::None : card_step_(kind, slow_ms_);
  }
  const uint32_t n = ++counts_[static_cast<size_t>(kind)];
  for (size_t i = 0; i < plan_.rules.size(); ++i) {
    const FaultRule& r = plan_.rules[i];
    if (r.kind != kind || r.value != n || r.fault == Fault::None) continue;
    if (r.times != 0 && fired_[i] >= r.times) continue;
    ++fired_[i];
    slow_ms_ = r.delay_ms;
    return r.fault;
  }
  return Fault::None;
}

FlashChannel::FlashChannel(QspiFlash& flash) : FlashChannel(flash, Config{}) {}

FlashChannel::FlashChannel(QspiFlash& flash, const Config& config)
    : flash_(flash), cfg_(config), answer_(FLASH_REPORT_SIZE, 0) {
  // Before any request the status is an empty refused frame with an intact checksum.
  build_answer(0, 0, true, nullptr);
  stats_.refusals = 0;
}

void FlashChannel::replug() {
  gone_ = false;
  open_ = false;
  answer_pending_ = false;
  armed_ = Fault::None;
  busy_until_ns_ = 0;
}

Handled FlashChannel::unplug_now() {
  open_ = false;
  if (!faults_.bound()) {
    gone_ = true;
    if (unplug_hook_) unplug_hook_();
  }
  return Handled::Fail;
}

void FlashChannel::spend_us(uint64_t us) {
  debt_us_ += us;
  if (debt_us_ >= 1000) {
    const uint64_t ms = debt_us_ / 1000;
    debt_us_ %= 1000;
    kestrel::sleep_ms(static_cast<uint32_t>(std::min<uint64_t>(ms, 0xFFFFFFFFu)));
  }
}

void FlashChannel::build_answer(uint8_t seq, uint8_t op, bool refused, const uint8_t* payload) {
  std::fill(answer_.begin(), answer_.end(), uint8_t{0});
  const uint16_t len = payload ? static_cast<uint16_t>(BDEV_ANSWER_LEN) : 0;
  frame_build(answer_.data(), FLASH_IN_RID, seq, op, refused ? ANSWER_REFUSED : 0, payload, len);
  if (refused) ++stats_.refusals;
}

Handled FlashChannel::on_set_output(std::span<const uint8_t> report) {
  if (report.empty() || report[0] != FLASH_OUT_RID) return Handled::No;
  // An operation this channel does not know is not its protocol: left to the card's other
  // channels (and then the card, which stalls it); the status fetches that follow are too.
  const uint8_t op = report.size() > FRAME_CMD ? report[FRAME_CMD] : 0;
  if (op != BDEV_OP_OPEN && op != BDEV_OP_CLOSE && op != BDEV_OP_ERASE && op != BDEV_OP_PAGE &&
      op != BDEV_OP_VERIFY) {
    answer_pending_ = false;
    return Handled::No;
  }
  if (gone_) return Handled::Fail;
  armed_ = Fault::None;  // an answer fault not fetched is dropped by the next request
  if (report.size() != FLASH_REPORT_SIZE) {
    ++stats_.bad_requests;
    return Handled::Fail;  // the card's report 7 has one size; anything else is stalled
  }
  if (cfg_.control_us && !faults_.bound()) spend_us(cfg_.control_us);
  const Fault t = faults_.step(StepKind::Transaction);
  if (t == Fault::Unplug) return unplug_now();
  if (report[FRAME_CMD] == BDEV_OP_PAGE) return on_page(report);
  armed_ = t;
  armed_delay_ms_ = faults_.slow_ms();
  answer_pending_ = true;
  return on_control(report);
}

Handled FlashChannel::on_page(std::span<const uint8_t> report) {
  const Fault fault = faults_.step(StepKind::Page);
  switch (fault) {
    case Fault::Unplug:
      return unplug_now();
    case Fault::Refuse:
      ++stats_.refusals;
      return Handled::Fail;  // the card stalls the report
    case Fault::Slow:
      kestrel::sleep_ms(faults_.slow_ms());  // held back, then taken
      break;
    case Fault::SlowFail:
      kestrel::sleep_ms(faults_.slow_ms());  // held back, then the transfer times out
      return Handled::Fail;
    default:
      break;
  }

  ++stats_.requests;
  ++stats_.pages;
  if (fault == Fault::DropAnswer) return Handled::Ok;  // lost on the way; only verify tells

  std::array<uint8_t, FLASH_REPORT_SIZE> req{};
  std::memcpy(req.data(), report.data(), FLASH_REPORT_SIZE);
  if (fault == Fault::CorruptChecksum) req[FRAME_HDR] ^= 0x5A;  // inside the summed bytes for index >= 1

  const uint16_t index = get_le16(req.data() + FRAME_LEN);
  bool ok = req[FRAME_SUB] == BDEV_PAGE_SUB;
  if (ok && cfg_.page_check == PageCheck::ZeroExtended) {
    // 8 + index bytes of the request page; the ones past the 264 sent count as zero, which adds
    // nothing to the sum.
    const size_t n = std::min<size_t>(FRAME_HDR + index, FLASH_REPORT_SIZE);
    ok = frame_csum(req.data(), n) == 0xFFFF;
  }
  if (!ok) ++stats_.bad_requests;
  const uint32_t addr = static_cast<uint32_t>(index) << 8;
  if (ok)
    ok = open_ && addr >= part_.base &&
         static_cast<uint64_t>(addr) + QspiFlash::PAGE_SIZE <= static_cast<uint64_t>(part_.base) + part_.size;
  if (ok) ok = flash_.program(addr, std::span<const uint8_t>(req.data() + FRAME_HDR, QspiFlash::PAGE_SIZE));
  if (!ok) {
    ++stats_.pages_rejected;
    return Handled::Ok;  // the host fetches nothing per page; verify tells
  }
  ++stats_.pages_programmed;
  if (cfg_.page_us) spend_us(cfg_.page_us);
  return Handled::Ok;
}

Handled FlashChannel::on_control(std::span<const uint8_t> report) {
  const uint8_t seq = report[FRAME_SEQ];
  const uint8_t op = report[FRAME_CMD];
  const uint8_t* p = report.data() + FRAME_HDR;

  Fault fault = Fault::None;
  if (op == BDEV_OP_ERASE) {
    fault = faults_.step(StepKind::Erase);
    if (fault == Fault::Unplug) return unplug_now();
    if (fault != Fault::None && armed_ == Fault::None) {
      armed_ = fault;
      armed_delay_ms_ = faults_.slow_ms();
    }
  }
  const bool refuse_fault = fault == Fault::Refuse || armed_ == Fault::Refuse;

  ++stats_.requests;
  prev_seq_ = last_seq_;
  last_seq_ = seq;

  const uint16_t need = op == BDEV_OP_ERASE ? 32 : 64;
  const bool known = op == BDEV_OP_OPEN || op == BDEV_OP_ERASE || op == BDEV_OP_VERIFY || op == BDEV_OP_CLOSE;
  const bool frame_ok = known && report[FRAME_SUB] == 0 && control_frame_ok(report, need) &&
                        get_le16(p + CP_OP) == op && get_le32(p + CP_MAGIC) == MAGIC_ZHHH;
  if (!frame_ok) ++stats_.bad_requests;
  bool refused = !frame_ok || refuse_fault;
  const uint16_t kind = get_le16(p + CP_KIND);

  uint8_t ans[BDEV_ANSWER_LEN] = {};
  ans[AP_OP] = op;
  put_le16(ans + AP_KIND, kind);
  put_le32(ans + AP_MAGIC, MAGIC_ZHHH);
  put_le64(ans + AP_TIME, kestrel::clock_now_ns());

  switch (op) {
    case BDEV_OP_OPEN: {
      ++stats_.opens;
      const FlashPartition* part = flash_.partition(kind);
      if (!refused && (!part || std::memcmp(p + CP_NAME, kDeviceName, sizeof kDeviceName) != 0)) refused = true;
      if (!refused) {
        open_ = true;
        kind_ = kind;
        part_ = *part;
        const uint32_t eb = cfg_.report_zero_erase_block ? 0
                            : cfg_.reported_erase_block ? cfg_.reported_erase_block
                                                        : flash_.erase_block();
        ans[AP_RESULT] = 1;
        put_le32(ans + AP_BASE, part_.base);
        put_le32(ans + AP_SIZE, part_.size);
        put_le32(ans + AP_EBLOCK, eb);
      }
      break;
    }
    case BDEV_OP_ERASE: {
      ++stats_.erase_steps;
      const uint32_t addr = get_le32(p + CP_ADDR);
      const uint32_t count = get_le32(p + CP_COUNT);
      put_le32(ans + AP_SIZE, addr);
      put_le32(ans + AP_CRC, count);
      const bool inside = addr >= part_.base && static_cast<uint64_t>(addr) + count <=
                                                    static_cast<uint64_t>(part_.base) + part_.size;
      if (!refused && (!open_ || !inside || !flash_.erase(addr, count))) refused = true;
      if (!refused) {
        ans[AP_RESULT] = 1;
        if (cfg_.erase_block_us) {
          const uint64_t blocks = count / flash_.erase_block();
          busy_until_ns_ = kestrel::clock_now_ns() + blocks * cfg_.erase_block_us * 1000ULL;
        }
      }
      break;
    }
    case BDEV_OP_VERIFY: {
      ++stats_.verifies;
      const uint32_t base = get_le32(p + CP_BASE);
      const uint32_t length = get_le32(p + CP_LEN);
      const uint32_t host_crc = get_le32(p + CP_CRC);
      if (!open_) refused = true;
      if (!refused) {
        const bool in_flash = static_cast<uint64_t>(base) + length <= flash_.size();
        const uint32_t crc = in_flash ? flash_.crc(base, length) : ~host_crc;
        stats_.last_verify_crc = crc;
        const bool match = in_flash && crc == host_crc;
        if (match) ++stats_.verify_matched;
        if (match && written_hook_) written_hook_(kind, flash_.read(base, length));
        ans[AP_RESULT] = match ? 1 : 0;
        put_le32(ans + AP_BASE, base);
        put_le32(ans + AP_SIZE, length);
        put_le32(ans + AP_CRC, crc);
      }
      break;
    }
    case BDEV_OP_CLOSE:
      ++stats_.closes;
      if (!refused) {
        open_ = false;
        ans[AP_RESULT] = 1;
      }
      break;
    default:
      build_answer(seq, op, true, nullptr);
      return Handled::Ok;
  }

  build_answer(seq, op, refused, ans);
  return Handled::Ok;
}

Handled FlashChannel::on_get_input(std::span<uint8_t> report) {
  // Only the 264-byte qspi status is ours; a 257-byte fetch of report 6 is the download
  // protocol's handshake.
  if (report.empty() || report[0] != FLASH_IN_RID || report.size() != FLASH_REPORT_SIZE) return Handled::No;
  if (gone_) return Handled::Fail;
  if (!answer_pending_) return Handled::No;  // no request of ours to answer
  ++stats_.fetches;
  if (cfg_.control_us && !faults_.bound()) spend_us(cfg_.control_us);
  // An erase still in progress: the fetch completes when it is done.
  const uint64_t now = kestrel::clock_now_ns();
  if (busy_until_ns_ > now) {
    const uint64_t ms = (busy_until_ns_ - now + 999'999) / 1'000'000;
    kestrel::sleep_ms(static_cast<uint32_t>(std::min<uint64_t>(ms, 0xFFFFFFFFu)));
  }
  busy_until_ns_ = 0;
  std::memcpy(report.data(), answer_.data(), FLASH_REPORT_SIZE);

  // Answer faults of the channel on its own (a card applies its own to what it hands over).
  const Fault f = faults_.bound() ? Fault::None : armed_;
  armed_ = Fault::None;
  switch (f) {
    case Fault::DropAnswer:
      return Handled::Fail;
    case Fault::Slow:
      kestrel::sleep_ms(armed_delay_ms_);
      break;
    case Fault::SlowFail:
      kestrel::sleep_ms(armed_delay_ms_);
      return Handled::Fail;
    case Fault::WrongReportId:
      report[0] = 9;  // the framed answer's ID in place of the status report's
      break;
    case Fault::CorruptChecksum:
      report[FRAME_CSUM] ^= 0x5A;
      report[FRAME_CSUM + 1] ^= 0xA5;
      break;
    case Fault::StaleSequence:
    case Fault::Refuse: {
      if (f == Fault::StaleSequence)
        report[FRAME_SEQ] = prev_seq_;
      else
        report[FRAME_SUB] |= ANSWER_REFUSED;
      const uint16_t len = get_le16(report.data() + FRAME_LEN);
      frame_build(report.data(), report[0], report[FRAME_SEQ], report[FRAME_CMD], report[FRAME_SUB],
                  report.data() + FRAME_HDR, len);
      break;
    }
    default:
      break;
  }
  return Handled::Ok;
}

}  // namespace kestrel::sim
