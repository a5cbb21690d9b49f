// The board probes and image checks of the board table. A probe asks the receiver chip a model carries
// for its identity, one register per read; a read counts only when reg_read returns 0.
#include <array>
#include <cstring>

#include "boards/board_ops.h"
#include "boards/reg_access.h"
#include "devlink/frame.h"

namespace kestrel::boards {
namespace {

// I2C addresses and identity registers of the receiver chips the probes ask.
constexpr uint8_t DEV_ITE_48 = 0x48;     // iTE receiver (TB610M-1CH, TB720V-2CH, meadow)
constexpr uint8_t DEV_ITE_49 = 0x49;     // must not answer on a TB610M-1CH
constexpr uint8_t DEV_4C = 0x4C;         // ADC7611 (TB610K-1CH), iTE66122 (rw820c)
constexpr uint8_t DEV_ADC7842 = 0x20;    // TB610R-1CH
constexpr uint8_t REG_ID_HI = 0xEA, REG_ID_LO = 0xEB;  // ADV chip identity
constexpr uint8_t ITE_ID_REGS = 5;       // iTE identity: registers 0..4 (vendor 'T','I', device)

// Reads registers first .. first + n - 1 of `device` one at a time into out; stops at the first
// read that fails, so a board that lacks the chip costs one exchange.
bool read_each(HidLink& link, uint8_t device, uint8_t first, uint8_t n, uint8_t* out) {
  for (uint8_t i = 0; i < n; ++i)
    if (reg_read(link, device, static_cast<uint8_t>(first + i), 1, {out + i, 1}) != REG_READ_OK) return false;
  return true;
}

// An iTE identity at `device`: registers 0..4 read and bytes 0..3 as given.
bool ite_identity(HidLink& link, uint8_t device, const std::array<uint8_t, 4>& id) {
  std::array<uint8_t, ITE_ID_REGS> r{};
  if (!read_each(link, device, 0, ITE_ID_REGS, r.data())) return false;
  return std::memcmp(r.data(), id.data(), id.size()) == 0;
}

}  // namespace

// The reads of an identity test whose accepted values are not settled: judged as never matching.
bool probe_tb610k(const BoardEntry&, BoardContext& ctx) {
  uint8_t id[2] = {};
  reg_read(ctx.link, DEV_4C, REG_ID_HI, 1, {id, 1});
  reg_read(ctx.link, DEV_4C, REG_ID_LO, 1, {id + 1, 1});
  return false;
}

// iTE6802 at 0x48 and nothing at 0x49. Byte 2 is not judged.
bool probe_tb610m(const BoardEntry&, BoardContext& ctx) {
  std::array<uint8_t, ITE_ID_REGS> r{};
  if (!read_each(ctx.link, DEV_ITE_48, 0, ITE_ID_REGS, r.data())) return false;
  uint8_t other = 0;
  if (reg_read(ctx.link, DEV_ITE_49, 0, 1, {&other, 1}) == REG_READ_OK) return false;
  return r[0] == 0x54 && r[1] == 0x49 && r[3] == 0x68;
}

// ADC7842: identity 0x20 in 0xEA, bits 6 and 7 of 0xEB clear.
bool probe_tb610r(const BoardEntry&, BoardContext& ctx) {
  uint8_t hi = 0, lo = 0;
  if (reg_read(ctx.link, DEV_ADC7842, REG_ID_HI, 1, {&hi, 1}) != REG_READ_OK) return false;
  if (reg_read(ctx.link, DEV_ADC7842, REG_ID_LO, 1, {&lo, 1}) != REG_READ_OK) return false;
  return hi == 0x20 && (lo & 0xC0) == 0;
}

// An iTE 0x68xx at 0x48 that answers the same twice.
bool probe_tb720v(const BoardEntry&, BoardContext& ctx) {
  uint8_t a[4] = {}, b[4] = {};
  if (!read_each(ctx.link, DEV_ITE_48, 0, 4, a)) return false;
  if (!read_each(ctx.link, DEV_ITE_48, 0, 4, b)) return false;
  return std::memcmp(a, b, 4) == 0 && (get_le32(a) & 0xFF00FFFFu) == 0x68004954u;
}

bool probe_always(const BoardEntry&, BoardContext&) { return true; }

// iTE6805 at 0x48.
bool probe_meadow(const BoardEntry&, BoardContext& ctx) {
  return ite_identity(ctx.link, DEV_ITE_48, {0x54, 0x49, 0x05, 0x68});
}

// iTE66122 at 0x4C.
bool probe_rw820c(const BoardEntry&, BoardContext& ctx) {
  return ite_identity(ctx.link, DEV_4C, {0x54, 0x49, 0x22, 0x06});
}

bool check_image_always(const BoardEntry&, std::span<const uint8_t>) { return true; }

// The 16-byte image trailer: "ZHHH", 4 bytes not examined, the image length, then the CRC
// register over everything before it, so that the register run over the whole image ends at 0.
constexpr size_t TRAILER_SIZE = 16;
constexpr size_t TRAILER_MAGIC = 16, TRAILER_LENGTH = 8;  // offsets back from the end

bool check_image_trailer(const BoardEntry&, std::span<const uint8_t> image) {
  const size_t n = image.size();
  if (n < TRAILER_SIZE) return false;
  if (crc32_register(image.data(), n) != 0) return false;
  return get_le32(image.data() + n - TRAILER_MAGIC) == MAGIC_ZHHH &&
         get_le32(image.data() + n - TRAILER_LENGTH) == n;
}

}  // namespace kestrel::boards
