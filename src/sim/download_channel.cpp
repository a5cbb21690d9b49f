#include "sim/download_channel.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <utility>

#include "devlink/frame.h"
#include "log/clock.h"
#include "sim/card.h"

namespace kestrel::sim {

namespace {

uint16_t get_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

}  // namespace

DownloadChannel::DownloadChannel(QspiFlash& flash) : DownloadChannel(flash, Config{}) {}

DownloadChannel::DownloadChannel(QspiFlash& flash, const Config& config) : flash_(flash), cfg_(config) {}

bool DownloadChannel::erasing() const { return busy_until_ns_ > kestrel::clock_now_ns(); }

Handled DownloadChannel::unplug_now() {
  active_ = false;
  if (!faults_.bound()) {
    gone_ = true;
    if (unplug_hook_) unplug_hook_();
  }
  return Handled::Fail;
}

Handled DownloadChannel::on_set_feature(std::span<const uint8_t> report) {
  if (report.empty() || report[0] != DL_RID_CONTROL) return Handled::No;
  if (gone_) return Handled::Fail;
  armed_ = Fault::None;
  const Fault t = faults_.step(StepKind::Transaction);
  if (t == Fault::Unplug) return unplug_now();
  if (t == Fault::Refuse) return Handled::Fail;
  if (report.size() != DL_REPORT_SIZE || report[1] > 1) {
    ++stats_.bad_reports;
    return Handled::Fail;
  }
  if (report[1] == 1) {
    ++stats_.starts;
    active_ = true;
    high_water_ = 0;
    page_log_.clear();
  } else {
    ++stats_.ends;
    const bool wrote = active_ && !page_log_.empty();
    active_ = false;
    if (wrote && written_hook_) {
      constexpr uint16_t kFpgaHeaderPage = DL_FPGA_BASE >> 8;
      const bool fpga = std::find(page_log_.begin(), page_log_.end(), kFpgaHeaderPage) != page_log_.end();
      if (!fpga) written_hook_(2, usb_image(high_water_));
      else if (auto img = fpga_image()) written_hook_(1, std::move(*img));
    }
  }
  return Handled::Ok;
}

Handled DownloadChannel::on_set_output(std::span<const uint8_t> report) {
  if (report.empty()) return Handled::No;
  const uint8_t rid = report[0];
  // Output 5 at another size is the framed notification: not ours.
  if (rid == DL_RID_ERASE && report.size() != DL_REPORT_SIZE) return Handled::No;
  if (rid != DL_RID_ERASE && rid != DL_RID_DATA) return Handled::No;
  if (gone_) return Handled::Fail;
  armed_ = Fault::None;  // an answer fault not fetched is dropped by the next request
  if (report.size() != DL_REPORT_SIZE) {
    ++stats_.bad_reports;
    return Handled::Fail;
  }
  const Fault t = faults_.step(StepKind::Transaction);
  const Fault w = faults_.step(rid == DL_RID_ERASE ? StepKind::Erase : StepKind::Page);
  Fault fault = t != Fault::None ? t : w;
  switch (fault) {
    case Fault::Unplug:
      return unplug_now();
    case Fault::Refuse:
      return Handled::Fail;  // the card stalls the report
    case Fault::Slow:
      if (rid == DL_RID_DATA) {
        kestrel::sleep_ms(faults_.slow_ms());  // a page is held back, then taken
        fault = Fault::None;
      }
      break;
    case Fault::SlowFail:
      if (rid == DL_RID_DATA) {
        kestrel::sleep_ms(faults_.slow_ms());  // a page is held back, then the transfer times out
        return Handled::Fail;
      }
      break;
    default:
      break;
  }
  if (!active_) ++stats_.outside_session;

  if (rid == DL_RID_ERASE) {
    armed_ = fault;
    armed_delay_ms_ = faults_.slow_ms();
    const uint32_t block = report[1];
    const uint32_t addr = block * DL_BLOCK_SIZE;
    stats_.erased_blocks.push_back(block);
    // The erase granularity of the flash may be smaller than 64 KiB; erase the block whole.
    const uint32_t len = std::max<uint32_t>(DL_BLOCK_SIZE, flash_.erase_block());
    if (!flash_.erase(addr - addr % len, len)) {
      ++stats_.bad_reports;
      return Handled::Fail;
    }
    // A request during a running erase queues behind it.
    const uint64_t now = kestrel::clock_now_ns();
    busy_until_ns_ = std::max(busy_until_ns_, now) + static_cast<uint64_t>(cfg_.erase_ms) * 1'000'000ULL;
    return Handled::Ok;
  }

  if (fault == Fault::DropAnswer) return Handled::Ok;  // the page is lost on the way
  std::array<uint8_t, DL_REPORT_SIZE> r{};
  std::memcpy(r.data(), report.data(), DL_REPORT_SIZE);
  if (fault == Fault::CorruptChecksum) r[5] ^= 0x5A;
  const uint16_t page = get_be16(r.data() + 1);
  const uint16_t count = get_be16(r.data() + 3);
  const uint32_t addr = static_cast<uint32_t>(page) * QspiFlash::PAGE_SIZE;
  if (count > QspiFlash::PAGE_SIZE) {
    ++stats_.bad_reports;
    return Handled::Fail;
  }
  if (erasing()) {
    ++stats_.writes_while_busy;
    return Handled::Ok;  // the flash ignores a program while it erases; the host is not told
  }
  if (!flash_.program(addr, std::span<const uint8_t>(r.data() + 5, count))) {
    ++stats_.bad_reports;
    return Handled::Fail;
  }
  ++stats_.pages;
  stats_.bytes += count;
  page_log_.push_back(page);
  high_water_ = std::max(high_water_, addr + count);
  if (cfg_.page_us) {
    debt_us_ += cfg_.page_us;
    if (debt_us_ >= 1000) {
      kestrel::sleep_ms(static_cast<uint32_t>(debt_us_ / 1000));
      debt_us_ %= 1000;
    }
  }
  return Handled::Ok;
}

Handled DownloadChannel::on_get_input(std::span<uint8_t> report) {
  // Input 6 at 264 bytes is the flash channel's qspi status: not ours.
  if (report.empty() || report[0] != DL_RID_HANDSHAKE || report.size() != DL_HANDSHAKE_SIZE) return Handled::No;
  if (gone_) return Handled::Fail;
  ++stats_.polls;
  const Fault f = faults_.bound() ? Fault::None : armed_;
  armed_ = Fault::None;
  if (f == Fault::Slow || f == Fault::SlowFail) kestrel::sleep_ms(armed_delay_ms_);
  if (f == Fault::DropAnswer || f == Fault::SlowFail) return Handled::Fail;
  std::memset(report.data(), 0, report.size());
  if (erasing()) {
    ++stats_.busy_polls;
    report[0] = DL_BUSY;
  } else {
    busy_until_ns_ = 0;
  }
  if (f == Fault::CorruptChecksum) report[0] = static_cast<uint8_t>(~report[0]);
  if (f == Fault::WrongReportId) report[0] = 9;  // the framed answer's ID: reads as busy
  return Handled::Ok;
}

std::optional<std::vector<uint8_t>> DownloadChannel::fpga_image() const {
  const auto hdr = flash_.read(DL_FPGA_BASE, 8);
  if (hdr.size() != 8) return std::nullopt;
  const uint32_t size = get_le32(hdr.data());
  if (get_le32(hdr.data() + 4) != ~size) return std::nullopt;
  if (static_cast<uint64_t>(DL_FPGA_DATA) + size > flash_.size()) return std::nullopt;
  return flash_.read(DL_FPGA_DATA, size);
}

namespace {

// Which card holds which storage. The card holds the storage (through its channels); the
// registry only remembers where it is.
std::mutex g_storage_mu;
std::vector<std::pair<const SimCard*, std::weak_ptr<CardStorage>>> g_storage;

ChannelFaults::StepFn card_step(SimCard& card) {
  return [&card](StepKind kind, uint32_t& delay_ms) {
    const Fault f = card.step(kind);
    // The card arms its own delay for the next fetch; a page has none, so the channel holds
    // the page back for the rule's delay itself.
    if (f == Fault::Slow || f == Fault::SlowFail) delay_ms = card.armed_delay_ms();
    return f;
  };
}

}  // namespace

std::shared_ptr<CardStorage> attach_storage(SimCard& card) {
  auto st = std::make_shared<CardStorage>();
  const LatencyModel& lat = card.latency();
  auto& fc = st->flash_channel.config();
  fc.erase_block_us = lat.per_erase_block_ms * 1000;
  fc.page_us = lat.per_page_ms * 1000;
  fc.control_us = 0;  // the card spends its per-transfer latency itself
  auto& dc = st->download.config();
  if (lat.per_erase_block_ms) dc.erase_ms = lat.per_erase_block_ms * (DL_BLOCK_SIZE / st->flash.erase_block());
  dc.page_us = lat.per_page_ms * 1000;
  st->flash_channel.faults().bind_card(card_step(card));
  st->download.faults().bind_card(card_step(card));
  auto written = [&card](uint16_t kind, std::vector<uint8_t> image) { card.note_image_written(kind, image); };
  st->flash_channel.set_written_hook(written);
  st->download.set_written_hook(written);

  // The card holds the storage through aliasing pointers to its channels.
  card.add_channel(std::shared_ptr<SimChannel>(st, &st->download));
  if (card.initial_scenario().capabilities & CAP_FLASH_CHAN)
    card.add_channel(std::shared_ptr<SimChannel>(st, &st->flash_channel));
  {
    std::lock_guard lk(g_storage_mu);
    std::erase_if(g_storage, [](const auto& e) { return e.second.expired(); });
    g_storage.emplace_back(&card, st);
  }
  return st;
}

std::shared_ptr<CardStorage> storage_of(const SimCard& card) {
  std::lock_guard lk(g_storage_mu);
  for (auto it = g_storage.rbegin(); it != g_storage.rend(); ++it)
    if (it->first == &card)
      if (auto p = it->second.lock()) return p;
  return nullptr;
}

}  // namespace kestrel::sim
