#include "sim/qspi_flash.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "devlink/frame.h"

namespace kestrel::sim {

QspiFlash::QspiFlash(uint32_t size, uint32_t erase_block) {
  if (size == 0 || !std::has_single_bit(size)) size = 16u << 20;
  if (erase_block < PAGE_SIZE || !std::has_single_bit(erase_block) || erase_block > size) erase_block = 4096;
  size_ = size;
  erase_block_ = erase_block;
}

uint8_t* QspiFlash::cells() {
  if (mem_.empty()) mem_.assign(size_, 0xFF);
  return mem_.data();
}

std::span<const uint8_t> QspiFlash::bytes() { return {cells(), size_}; }

QspiFlash QspiFlash::card_default() {
  QspiFlash f(16u << 20, 4096);
  f.set_partition({"fx3", IMAGE_KIND_USB, 0x00000000u, 0x00040000u});
  f.set_partition({"fpga", IMAGE_KIND_FPGA, 0x00040000u, (16u << 20) - 0x00040000u});
  return f;
}

bool QspiFlash::set_partition(const FlashPartition& p) {
  if (static_cast<uint64_t>(p.base) + p.size > size_) return false;
  for (auto& q : parts_) {
    if (q.kind == p.kind) {
      q = p;
      return true;
    }
  }
  parts_.push_back(p);
  return true;
}

const FlashPartition* QspiFlash::partition(uint16_t kind) const {
  for (const auto& p : parts_)
    if (p.kind == kind) return &p;
  return nullptr;
}

bool QspiFlash::erase(uint32_t addr, uint32_t len) {
  const uint64_t end = static_cast<uint64_t>(addr) + len;
  if (addr % erase_block_ || len % erase_block_ || end > size_) {
    ++counters_.refused;
    return false;
  }
  if (len == 0) return true;
  if (!mem_.empty()) std::fill(mem_.begin() + addr, mem_.begin() + static_cast<ptrdiff_t>(end), uint8_t{0xFF});
  ++counters_.erase_ops;
  counters_.erased_blocks += len / erase_block_;
  return true;
}

bool QspiFlash::program(uint32_t addr, std::span<const uint8_t> data) {
  const uint64_t end = static_cast<uint64_t>(addr) + data.size();
  const bool crosses = !data.empty() && (addr / PAGE_SIZE) != ((end - 1) / PAGE_SIZE);
  if (data.size() > PAGE_SIZE || crosses || end > size_) {
    ++counters_.refused;
    return false;
  }
  uint8_t* mem = cells();
  bool dirty = false;
  for (size_t i = 0; i < data.size(); ++i) {
    uint8_t& cell = mem[addr + i];
    if (cell != 0xFF) dirty = true;
    counters_.lost_bits += static_cast<uint32_t>(std::popcount(static_cast<uint8_t>(data[i] & ~cell)));
    cell &= data[i];
  }
  ++counters_.page_programs;
  if (dirty) ++counters_.dirty_programs;
  return true;
}

std::vector<uint8_t> QspiFlash::read(uint32_t addr, uint32_t len) const {
  if (addr >= size_) return {};
  const uint32_t n = std::min<uint32_t>(len, size_ - addr);
  if (mem_.empty()) return std::vector<uint8_t>(n, 0xFF);
  return {mem_.begin() + addr, mem_.begin() + addr + n};
}

bool QspiFlash::is_erased(uint32_t addr, uint32_t len) const {
  if (static_cast<uint64_t>(addr) + len > size_) return false;
  if (mem_.empty()) return true;
  return std::all_of(mem_.begin() + addr, mem_.begin() + addr + len, [](uint8_t b) { return b == 0xFF; });
}

uint32_t QspiFlash::crc(uint32_t addr, uint32_t len) const {
  if (addr >= size_) return 0xFFFFFFFFu;
  const uint32_t n = std::min<uint32_t>(len, size_ - addr);
  if (!mem_.empty()) return crc32_register(mem_.data() + addr, n);
  uint32_t r = 0xFFFFFFFFu;
  static const std::array<uint8_t, 4096> kErased = [] {
    std::array<uint8_t, 4096> a;
    a.fill(0xFF);
    return a;
  }();
  for (uint32_t done = 0; done < n;) {
    const uint32_t k = std::min<uint32_t>(n - done, static_cast<uint32_t>(kErased.size()));
    r = crc32_register(kErased.data(), k, r);
    done += k;
  }
  return r;
}

void QspiFlash::load(uint32_t addr, std::span<const uint8_t> data) {
  if (addr >= size_) return;
  const size_t n = std::min<size_t>(data.size(), size_ - addr);
  std::memcpy(cells() + addr, data.data(), n);
}

void QspiFlash::reset() {
  mem_.clear();
  mem_.shrink_to_fit();
  counters_ = {};
}

}  // namespace kestrel::sim
