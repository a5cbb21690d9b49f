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

void put_le24(uint8_t* p, uint32_t v) {
  put_le16(p, static_cast<uint16_t>(v));
  p[2] = static_cast<uint8_t>(v >> 16);
}

void put_be16(Bank& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

// A frame size as the FPGA's scaler keeps it: width in bits 0..11, height in bits 12..23.
uint32_t packed_size(uint16_t w, uint16_t h) { return (w & 0xFFFu) | (static_cast<uint32_t>(h & 0xFFFu) << 12); }

// The scaler's words of one channel (rate, vinp, scin, scout, scl-x, scl-y from `at`): the
// frame rate, the input, the input and output sizes, and a scale of 1.0 (16.16) each way.
void channel_words(Bank& b, size_t at, const Scenario& s, bool split_scout) {
  put_le32(b.data() + at + 0x00, s.frame_rate);
  put_le32(b.data() + at + 0x06, s.input);
  put_le32(b.data() + at + 0x0A, packed_size(s.width, s.height));
  if (split_scout) {
    put_le16(b.data() + at + 0x0E, s.width);  // TB850V-1CH keeps W and H as two words
    put_le16(b.data() + at + 0x10, s.height);
  } else {
    put_le32(b.data() + at + 0x0E, packed_size(s.width, s.height));
  }
  put_le32(b.data() + at + 0x12, 0x00010000);
  put_le32(b.data() + at + 0x16, 0x00010000);
}

// 32-bit words of one frame in the card's colour: what the FPGA's transfer counters hold.
uint32_t frame_words(const Scenario& s) {
  const uint32_t pixels = static_cast<uint32_t>(s.width) * s.height;
  switch (s.color_format) {
    case 0: return pixels * 3 / 4;   // RGB24: 3 bytes a pixel
    case 2: return pixels * 3 / 8;   // NV12: 1.5 bytes a pixel
    default: return pixels / 2;      // YUV422: 2 bytes a pixel
  }
}

// The FPGA bank of a healthy card that captures the scenario's signal, with each value where
// that model's FPGA keeps it.
Bank fpga_bank(const Scenario& s) {
  Bank b{};
  const bool two_channel = s.model == BoardModel::TB720V_2CH;
  b[0x00] = 0x13;  // stat: init, bclk, data
  b[0x03] = 0x0F;  // GPIF: rest, slcs, slwe, pkte
  b[0x07] = 0x06;  // CTL
  b[0x26] = 0x80;  // AVIF
  b[0x27] = 0x10;
  b[0x34] = s.color_format;
  b[0x35] = s.interlaced ? 1 : 0;  // deinterlacer on
  put_le24(b.data() + 0x52, 0x000080);  // contrast, brightness: the middle of their range
  put_le24(b.data() + 0x55, 0x000080);
  put_le32(b.data() + 0x60, version_word(s.fpga_version) | (static_cast<uint32_t>(s.model) << 24));
  put_le32(b.data() + 0x68, 48000);  // audio sample rate
  b[0x6C] = 1;                       // resampling on
  const uint32_t words = frame_words(s);
  if (two_channel) {
    // Channel 1: width at 0x22, height at 0x20, frame rate at 0x28; channel 2: width at 0x0E,
    // height at 0x0C, frame rate at 0x1E. Both carry the one simulated signal.
    put_be16(b, 0x22, s.width);
    put_be16(b, 0x20, s.height);
    put_be16(b, 0x28, s.frame_rate);
    put_be16(b, 0x0E, s.width);
    put_be16(b, 0x0C, s.height);
    put_be16(b, 0x1E, s.frame_rate);
    put_le16(b.data() + 0x16, s.width);  // the back-end's size and selected channel
    put_le16(b.data() + 0x18, s.height);
    put_le24(b.data() + 0x1B, static_cast<uint32_t>(s.width) * s.height * 2u / 4u);  // dlen: YUV words of a frame
    b[0x2E] = 0x03;  // TXEN: both channels on
    b[0x2F] = 0x03;  // CHSS
    channel_words(b, 0x30, s, false);
    channel_words(b, 0x70, s, false);
    return b;
  }
  // Single channel: width at 0x1C, height at 0x1A, frame rate at 0x1E (16 bits each, high byte
  // first); 0x0C..0x0F are the 3D denoise word (off).
  put_be16(b, 0x1C, s.width);
  put_be16(b, 0x1A, s.height);
  put_be16(b, 0x1E, s.frame_rate);
  b[0x28] = 0x01;  // DDR3 ready
  b[0x29] = 0x03;  // DDRS: init, done
  put_le16(b.data() + 0x2A, 0x4000);  // gain R, G, B: 1.0
  put_le16(b.data() + 0x2C, 0x4000);
  put_le16(b.data() + 0x2E, 0x4000);
  channel_words(b, 0x30, s, s.model == BoardModel::TB850V_1CH);
  // The transfer counters: packet length, whole packets and the last packet's words, each
  // split over two registers (high, low).
  constexpr uint32_t kPacketWords = 4093;
  const uint32_t packets = words / kPacketWords, tail = words % kPacketWords;
  b[0x12] = static_cast<uint8_t>(kPacketWords >> 8);
  b[0x02] = static_cast<uint8_t>(kPacketWords);
  b[0x09] = static_cast<uint8_t>(packets >> 8);
  b[0x10] = static_cast<uint8_t>(packets);
  b[0x01] = static_cast<uint8_t>(tail >> 8);
  b[0x08] = static_cast<uint8_t>(tail);
  if (s.model == BoardModel::Rw820c) b[0x0B] = s.signal ? 0x04 : 0x01;  // SDI: active, or lock lost
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
