#include "boards/diag_blocks.h"

#include <algorithm>
#include <cstdio>

#include "devlink/frame.h"
#include "log/log.h"

namespace kestrel {
namespace {

constexpr uint32_t W = LOG_DIAG;
constexpr unsigned kInputsShownMax = 3;
constexpr uint8_t kFvpdScan = 7;  // fvpd while the card scans its inputs: not forced

uint32_t u8(const uint8_t* b, size_t o) { return b[o]; }
uint32_t u16(const uint8_t* b, size_t o) { return get_le16(b + o); }
uint32_t u32(const uint8_t* b, size_t o) { return get_le32(b + o); }
int32_t s8(const uint8_t* b, size_t o) { return static_cast<int8_t>(b[o]); }

// "0:RGB", "1:YUV", "2:NV12", or the number.
std::string color_text(uint8_t c) {
  switch (c) {
    case 0: return "0:RGB";
    case 1: return "1:YUV";
    case 2: return "2:NV12";
    default: return std::to_string(c);
  }
}

void line_kadj(const uint8_t* b, size_t kadj, size_t v1, uint32_t fvpd, uint32_t bsize) {
  log_printf(W, "\r\n kadj %02X %d %u %d %u %u %u color:%u fvpd:%u bsize:%04X\r\n", u16(b, kadj), s8(b, v1),
             u8(b, v1 + 1), s8(b, v1 + 2), u8(b, v1 + 3), u8(b, v1 + 4), u8(b, v1 + 5), 1u, fvpd, bsize);
}

void line_view(const uint8_t* b, size_t view, uint32_t framerate) {
  log_printf(W, " view %ux%u cut<%u:%u:%u:%u> framerate:%u\r\n", u16(b, view), u16(b, view + 2), u16(b, view + 4),
             u16(b, view + 6), u16(b, view + 8), u16(b, view + 10), framerate);
}

void line_color(const uint8_t* b, size_t color, size_t bits, size_t stat, size_t lock, size_t dirty, uint32_t now) {
  log_printf(W, " color(%s) bits:%04X stat:%u lock:%u dirty: %u:%u\r\n", color_text(b[color]).c_str(), u16(b, bits),
             u8(b, stat), u8(b, lock), now - u32(b, dirty), u32(b, dirty));
}

void lines_tick_dirty(const uint8_t* b, size_t tick, size_t dirty, uint32_t now) {
  log_printf(W, " tick  %10u:%u\r\n", now - u32(b, tick), u32(b, tick));
  log_printf(W, " dirty %10u:%u\r\n", now - u32(b, dirty), u32(b, dirty));
}

void line_vformat(const uint8_t* b, size_t input, size_t vb, size_t va, size_t flags, size_t w, size_t h) {
  log_printf(W, " vformat  input:%u(%u:%u:%02X) w:%u h:%u\r\n", u8(b, input), u8(b, vb), u8(b, va), u8(b, flags),
             u16(b, w), u16(b, h));
}

void lines_work_vinp(const uint8_t* r) {
  using namespace input_rec;
  log_printf(W, " work     input:%u(%u:%u:%02X) w:%u h:%u\r\n", u8(r, WORK_INPUT), u8(r, WORK_B), u8(r, WORK_A),
             u8(r, WORK_FLAGS), u16(r, WORK_W), u16(r, WORK_H));
  log_printf(W, " vinp     input:%u(%u:%u:%02X) w:%u h:%u\r\n", u8(r, VINP_INPUT), u8(r, VINP_B), u8(r, VINP_A),
             u8(r, VINP_FLAGS), u16(r, VINP_W), u16(r, VINP_H));
}

void input_group(const uint8_t* block, unsigned k, uint32_t now) {
  using namespace input_rec;
  const uint8_t* r = block + debug_info::INPUTS + SIZE * k;
  log_printf(W, " ------ show input vinp:%u ------ \r\n", k);
  log_printf(W, " stat     %u\r\n", u8(r, STAT));
  log_printf(W, " xchg     %u\r\n", u8(r, XCHG));
  log_printf(W, " trig     %u\r\n", u8(r, TRIG));
  log_printf(W, " nref     %u\r\n", u8(r, NREF));
  log_printf(W, " dirty    %u:%u\r\n", now - u32(r, DIRTY), u32(r, DIRTY));
  lines_work_vinp(r);
}

}  // namespace

std::string debug_bit_list(uint16_t bits) {
  std::string s = "{";
  for (unsigned n = 0; n < 16; ++n) {
    if (!(bits & (1u << n))) continue;
    char piece[16];
    std::snprintf(piece, sizeof piece, "%u,", n);
    s += piece;
  }
  if (s.back() == ',') s.back() = '}';
  else s += '}';
  return s;
}

void print_stream_lines(const uint8_t* r, const char* label) {
  using namespace stream_rec;
  const bool uac = label[0] == 'u' && label[1] == 'a';
  log_printf(W,
             uac ? "\r\n uac  active:%u bcfg:%u start:%u clear:%u open:%u stat:%u bdma:%u bcnt:%u time:%u\r\n"
                 : "\r\n uvc  active:%u bcfg:%u start:%u clear:%u open:%u stat:%u bdma:%u bcnt:%u time:%u\r\n",
             u8(r, ACTIVE), u8(r, BCFG), u8(r, START), u8(r, CLEAR), u8(r, OPEN), u8(r, STAT), u8(r, BDMA),
             u8(r, BCNT), u32(r, TIME));
  log_printf(W, " nref %08X prod %08X cons %08X nerr %08X ncnt %08X brst %u\r\n", u32(r, NREF), u32(r, PROD),
             u32(r, CONS), u32(r, NERR), u32(r, NCNT), u8(r, BRST));
  log_printf(W, " min  %-8u max  %-8u work %-8u save %08X tmrd %u\r\n", u16(r, MIN), u16(r, MAX), u16(r, WORK),
             u32(r, SAVE), u32(r, TMRD));
}

void print_run_status(const uint8_t* b) {
  using namespace run_status;
  const uint32_t t = u32(b, T), idle = u32(b, IDLE);
  log_printf(W, "\r\n qzdbg(bdap:%u isdbg:%u probe:%u bset:%u:%08X:%08X) tail(%08X)\r\n", u8(b, BDAP), u8(b, ISDBG),
             u8(b, PROBE), u8(b, BSET), u8(b, USBD), static_cast<uint32_t>(static_cast<int16_t>(u16(b, S16))),
             u32(b, TAIL));
  log_printf(W, " idle %2u.%03u   busy : %u   qzdbg txerr : %u   bcfg[1] : %08X\r\n", idle / 1000, idle % 1000,
             u8(b, BUSY), u8(b, TXERR), u32(b, BCFG1));
  log_printf(W, " tick %u.%03u : %u : %u\r\n", t / 1000, t % 1000, u32(b, TICK_MARK), t - u32(b, TICK_MARK));
  log_printf(W, " vpin %u nref : %u mode : %u stat : %u   idle : %u.%03u\r\n", u8(b, VPIN), u8(b, NREF), u8(b, MODE),
             u8(b, STAT), idle / 1000, idle % 1000);
  log_printf(W, " fvpd %u force: %u kefi : %u\r\n", u8(b, FVPD), b[FVPD] != kFvpdScan ? 1u : 0u, u8(b, KEFI));
  log_printf(W, " lock %u:%u\r\n", u8(b, LOCK), t - u32(b, LOCK_TIME));
  log_printf(W, " audo %u:%u:%u w:%u i:%u\r\n", u8(b, AUDIO_0), u8(b, AUDIO_1), u8(b, AUDIO_2), u8(b, AUDIO_W),
             u8(b, AUDIO_I));
  log_printf(W, " view %u:%u:%u(%4ux%-4u)\r\n", u8(b, VIEW_2), u8(b, VIEW_1), u8(b, VIEW_0), u16(b, VIEW_W),
             u16(b, VIEW_H));
  print_stream_lines(b + UVC, "uvc");
  print_stream_lines(b + UAC, "uac");
}

void print_debug_info(const uint8_t* d) {
  using namespace debug_info;
  const uint32_t now = u32(d, NOW);
  log_printf(W, " cyfx work detail global status\r\n");
  log_printf(W, " code %02X:%02X ready:%u spd:%u matrix:%02X gpif:%u ekwvcc:%02X gpi:%u spi:%u codec:%u\r\n",
             u8(d, CODE0), u8(d, CODE1), u8(d, READY), u8(d, SPD), u8(d, MATRIX), u8(d, GPIF), u8(d, EKWVCC),
             u8(d, GPI), u8(d, SPI), u8(d, CODEC));
  const uint8_t* k = d + KCFG;
  log_printf(W, " kcfg audio(%02X) fvpd(%u) policy(%u) index(%u) rate(%u) fsm(%02X) port(%u) epctl(%02X)\r\n", k[0],
             k[1], k[2], k[3], k[4], k[5], k[6], k[7]);
  log_printf(W, " kgbl xkey(%08X) sync_reset_lock(%u)\r\n", u32(d, XKEY), u8(d, XKEY));
  log_printf(W, " qctl restart(%08X) stat(%u) avideo(%u) bits(%04X)=%s\r\n", u32(d, RESTART), u8(d, RESTART_STAT),
             u8(d, RESTART_AVIDEO), u16(d, BITS), debug_bit_list(get_le16(d + BITS)).c_str());
  log_printf(W, " time %u:%u %u %u\r\n", u8(d, TIME_A), u8(d, TIME_B), u16(d, TIME_C), now);
  line_kadj(d, KADJ, KADJ_V1, u8(d, FVPD), u32(d, BSIZE));
  line_view(d, VIEW_W, u8(d, FRAMERATE));
  print_stream_lines(d + UVC, "uvc");
  print_stream_lines(d + UAC, "uac");
  log_printf(W, "\r\n input work status\r\n");
  line_color(d, COLOR, INPUT_BITS, INPUT_STAT, INPUT_LOCK, INPUT_DIRTY, now);
  log_printf(W, " vpin:%-4u fvpd:%u kefi:%u mode:%u stat:%u lock:%u ffrd:%u intr:%u\r\n", u8(d, VPIN), u8(d, FVPD),
             u8(d, KEFI), u8(d, MODE), u8(d, STAT), u8(d, LOCK), u8(d, FFRD), u8(d, INTR));
  lines_tick_dirty(d, TICK, DIRTY, now);
  line_vformat(d, VF_INPUT, VF_B, VF_A, VF_FLAGS, VF_W, VF_H);
  const unsigned shown = std::min<unsigned>(d[SHOW], kInputsShownMax);
  for (unsigned i = 0; i < shown; ++i) input_group(d, i, now);
  // The selected input gets its own group when it lies beyond the first three.
  const unsigned vpin = d[VPIN];
  if (vpin >= kInputsShownMax && vpin < INPUT_COUNT) input_group(d, vpin, now);
}

void print_board_debug(const uint8_t* b, size_t size) {
  using namespace board_debug;
  if (size < INPUTS + input_rec::SIZE * kInputsShownMax) return;
  const uint64_t dev_ns = get_le64(b + DEV_TIME);
  const auto ms = static_cast<uint32_t>(dev_ns / 1'000'000ULL);
  log_printf(W, " code %02X:%02X ready:%u hid:%u codec:%u\r\n", u8(b, CODE0), u8(b, CODE1), u8(b, READY), u8(b, HID),
             u8(b, CODEC));
  log_printf(W, " kcfg audio(%02X) fvpd(%u) policy(%u)\r\n", u8(b, AUDIO), u8(b, FVPD), u8(b, POLICY));
  log_printf(W, " time %u:%u %u %u.%09u\r\n", u8(b, TIME_A), u8(b, TIME_B), u16(b, TIME_C),
             static_cast<uint32_t>(dev_ns / 1'000'000'000ULL), static_cast<uint32_t>(dev_ns % 1'000'000'000ULL));
  line_kadj(b, KADJ, KADJ_V1, u8(b, VPIN_FVPD), u32(b, BSIZE));
  line_view(b, VIEW_W, u8(b, FRAMERATE));
  log_printf(W, "\r\n input work status\r\n");
  line_color(b, COLOR, INPUT_BITS, INPUT_STAT, INPUT_LOCK, INPUT_DIRTY, ms);
  const uint8_t* v = b + VPIN;
  log_printf(W, " vpin:%-4u fvpd:%u nref:%u mode:%u stat:%u lock:%u intr:%u\r\n", v[0], v[1], v[2], v[3], v[4], v[5],
             v[6]);
  lines_tick_dirty(b, TICK, DIRTY, ms);
  line_vformat(b, VF_INPUT, VF_B, VF_A, VF_FLAGS, VF_W, VF_H);
  const unsigned shown = std::min<unsigned>(b[SHOW], kInputsShownMax);
  for (unsigned i = 0; i < shown; ++i) {
    namespace in = input_rec;
    const uint8_t* r = b + INPUTS + in::SIZE * i;
    log_printf(W, "\r\n ------ show input vinp:%u ------ \r\n", i);
    log_printf(W, " stat(%u) xchg(%u) trig(%u) nref(%u) dirty(%u:%u)\r\n", u8(r, in::STAT), u8(r, in::XCHG),
               u8(r, in::TRIG), u8(r, in::NREF), ms - u32(r, in::DIRTY), u32(r, in::DIRTY));
    lines_work_vinp(r);
  }
}

}  // namespace kestrel
