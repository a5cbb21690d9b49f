// The card's I2C buses: the FPGA bank at 0x10 and the receiver chips of each model. The chips'
// identity registers hold the values that model's probe looks for; a device absent from a bus
// fails every read, which some probes rely on (TB610M-1CH has nothing at 0x49).
#include <cstdlib>

#include "devlink/frame.h"
#include "sim/card_impl.h"

namespace kestrel::sim {

namespace {

constexpr uint8_t DEV_FPGA = 0x10;
constexpr uint8_t DEV_ADV7842 = 0x20;   // TB610R-1CH receiver and its maps
constexpr uint8_t DEV_ITE = 0x48;       // iTE6802 / iTE6805
constexpr uint8_t DEV_ITE_SECOND = 0x49;  // second receiver (TB720V-2CH) or CEC block (meadow)
constexpr uint8_t DEV_0x4C = 0x4C;      // ADV7611 (TB610K-1CH), iTE66122 (rw820c)
constexpr uint8_t DEV_GSV2K11 = 0x58;

using Bank = std::array<uint8_t, 256>;

Bank chip(std::initializer_list<std::pair<uint8_t, uint8_t>> values) {
  Bank b{};
  for (auto [reg, v] : values) b[reg] = v;
  return b;
}

// "5.2.1" -> 0x050201 (major, minor, patch), missing parts 0.
uint32_t version_word(const std::string& text) {
  uint32_t w = 0;
  const char* p = text.c_str();
  for (int part = 0; part < 3; ++part) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(p, &end, 10);
    w = (w << 8) | (end != p ? (v & 0xFF) : 0);
    p = (*end == '.') ? end + 1 : end;
  }
  return w;
}

Bank fpga_bank(const Scenario& s) {
  Bank b{};
  b[0x00] = 0x13;  // stat: init, bclk, data
  b[0x03] = 0x0F;  // GPIF: rest, slcs, slwe, pkte
  b[0x07] = 0x06;  // CTL
  b[0x0C] = static_cast<uint8_t>(s.width >> 8);  // view width, BE16
  b[0x0D] = static_cast<uint8_t>(s.width);
  b[0x0E] = static_cast<uint8_t>(s.height >> 8);
  b[0x0F] = static_cast<uint8_t>(s.height);
  b[0x1A] = 0;
  b[0x1B] = s.frame_rate;
  b[0x26] = 0x80;  // AVIF
  b[0x27] = 0x10;
  b[0x28] = 0x01;  // DDR3 ready
  b[0x29] = 0x03;  // DDRS: init, done
  put_le16(b.data() + 0x2A, 0x4000);  // gain R, G, B
  put_le16(b.data() + 0x2C, 0x4000);
  put_le16(b.data() + 0x2E, 0x4000);
  put_le32(b.data() + 0x30, s.frame_rate);  // rate
  b[0x36] = s.input;                        // vinp
  put_le32(b.data() + 0x60, version_word(s.fpga_version) | (static_cast<uint32_t>(s.model) << 24));
  return b;
}

}  // namespace

std::optional<uint8_t> RegisterBanks::read(uint8_t device, uint8_t reg) const {
  auto it = banks_.find(device);
  if (it == banks_.end()) return std::nullopt;
  return it->second[reg];
}

void RegisterBanks::write(uint8_t device, uint8_t reg, uint8_t value) { banks_[device][reg] = value; }

void RegisterBanks::remove(uint8_t device) { banks_.erase(device); }

void RegisterBanks::fill_for(const Scenario& s) {
  banks_.clear();
  banks_[DEV_FPGA] = fpga_bank(s);
  // iTE receivers: vendor ID "TI" (0x54 0x49), then the device ID low and high byte.
  const Bank ite6802 = chip({{0, 0x54}, {1, 0x49}, {2, 0x02}, {3, 0x68}, {4, 0x01}});
  switch (s.model) {
    case BoardModel::TB610K_1CH:
      banks_[DEV_0x4C] = chip({{0xEA, 0x20}, {0xEB, 0x51}});  // ADV7611 identity
      banks_[0x22] = Bank{};                                  // CP map
      banks_[0x35] = Bank{};                                  // HDMI map
      break;
    case BoardModel::TB610M_1CH:
      banks_[DEV_ITE] = ite6802;
      break;
    case BoardModel::TB610R_1CH:
      banks_[DEV_ADV7842] = chip({{0xEA, 0x20}, {0xEB, 0x12}, {0x19, 0x40}});  // ADV7842 identity
      for (uint8_t map : {0x22, 0x24, 0x26, 0x34, 0x40, 0x48, 0x4A}) banks_[map] = Bank{};
      break;
    case BoardModel::TB720V_2CH:
      banks_[DEV_ITE] = ite6802;
      banks_[DEV_ITE_SECOND] = ite6802;
      break;
    case BoardModel::TB830R_1CH:
    case BoardModel::TB850V_1CH:
      banks_[DEV_GSV2K11] = chip({{0, 0x2B}, {1, 0x11}});
      break;
    case BoardModel::Meadow:
      banks_[DEV_ITE] = chip({{0, 0x54}, {1, 0x49}, {2, 0x05}, {3, 0x68}, {4, 0x02}});  // iTE6805
      banks_[DEV_ITE_SECOND] = chip({{0, 0x01}});  // its CEC block
      break;
    case BoardModel::Rw820c:
      banks_[DEV_0x4C] = chip({{0, 0x54}, {1, 0x49}, {2, 0x22}, {3, 0x06}, {4, 0x01}});  // iTE66122
      break;
  }
}

}  // namespace kestrel::sim
