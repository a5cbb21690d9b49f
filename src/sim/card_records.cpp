// The records the card serves: event record, status block, work status, debug information,
// property and defaults blocks, configuration record, monitor records, and the report
// descriptor. Layouts are those the host reads; every field the host does not read is the
// card's own choice and says so.
#include <algorithm>
#include <cstring>

#include "log/clock.h"
#include "sim/card_impl.h"

namespace kestrel::sim {

namespace {

// Stores at `at` the complement of the one's-complement sum over `count` bytes (the field itself
// counted as zero), so that the sum over the whole range folds to 0xFFFF.
void seal_sum(uint8_t* data, size_t count, size_t at) {
  put_le16(data + at, 0);
  put_le16(data + at, static_cast<uint16_t>(~frame_csum(data, count)));
}

void put_stream_record(uint8_t* r, uint32_t time_ms, uint32_t frames, bool active) {
  r[0] = active;         // active
  r[1] = 1;              // bcfg
  r[2] = active;         // start
  r[4] = active;         // open
  r[5] = active;         // bdma
  r[6] = active ? 3 : 0; // stat
  r[7] = 4;              // bcnt
  put_le32(r + 8, time_ms);
  put_le16(r + 14, 6);   // work
  put_le16(r + 16, 2);   // min
  put_le16(r + 18, 8);   // max
  put_le32(r + 28, frames);      // ncnt
  put_le32(r + 32, frames * 2);  // nref
  put_le32(r + 36, frames * 4);  // prod
  put_le32(r + 40, frames * 4);  // cons
}

void put_input_record(uint8_t* r, const Scenario& st, uint8_t input, uint32_t now_ms) {
  const bool live = st.signal && input == st.input;
  r[0] = live ? 3 : 0;  // stat
  r[3] = live ? 1 : 0;  // nref
  put_le32(r + 4, now_ms > 500 ? now_ms - 500 : 0);
  if (live) {
    put_le16(r + 8, st.width);
    put_le16(r + 10, st.height);
    put_le16(r + 16, st.width);
    put_le16(r + 18, st.height);
  }
  r[12] = r[20] = st.frame_rate;
  r[13] = r[21] = st.interlaced;
  r[14] = r[22] = input;
  r[15] = r[23] = live ? 0x01 : 0x00;
}

}  // namespace

uint32_t SimCard::Impl::running_ms() const {
  return static_cast<uint32_t>((clock_now_ns() - plug_ns) / 1'000'000ULL);
}

// BoardEvent: kind, capabilities, sum (bytes 2..3, the host does not read them), magic, device
// time, event words.
void SimCard::Impl::make_event(uint8_t* out, uint8_t kind) const {
  std::memcpy(out, last_event.data(), EVENT_SIZE);
  out[0] = kind;
  // A card that answers in the old form has no byte-2 echo to offer.
  out[1] = st.old_answers ? (st.capabilities & ~CAP_ECHO2) : st.capabilities;
  put_le32(out + 4, MAGIC_ZHHH);
  put_le64(out + 8, card.device_time_ns());
  seal_sum(out, EVENT_SIZE, 2);
}

// BoardStatus: the 64-byte head, then the text and its NUL. Bytes 6..7 hold the sum that makes
// the block's one's-complement sum fold to 0xFFFF (the host reads no field there).
std::vector<uint8_t> SimCard::Impl::status_block() const {
  const std::string text = st.status_text();
  std::vector<uint8_t> b(STATUS_HEADER + text.size() + 1, 0);
  put_le32(b.data(), MAGIC_ZHHH);
  put_le16(b.data() + 4, static_cast<uint16_t>(b.size()));
  b[8] = static_cast<uint8_t>(st.model);
  b[9] = st.capabilities;
  put_le32(b.data() + 32, (st.signal ? 0x01u : 0u) | (st.busy ? 0x10u : 0u) | (st.scanning ? 0x100u : 0u));  // TEXT
  put_le32(b.data() + 36, 0x000F0000u | fvpd());  // GPIF
  b[40] = st.color_format;
  b[41] = input_count();
  b[45] = st.locked_input ? *st.locked_input : INPUT_SCAN;
  b[47] = default_size_index();
  b[50] = st.output_port;
  if (st.signal) {
    put_le16(b.data() + 60, st.width);
    put_le16(b.data() + 62, st.height);
  }
  std::memcpy(b.data() + STATUS_HEADER, text.data(), text.size());
  seal_sum(b.data(), b.size(), 6);
  return b;
}

// Input report 4: the status block as the payload of a frame (sequence and command not read).
void SimCard::Impl::build_status_report(std::span<uint8_t> report) const {
  std::fill(report.begin(), report.end(), 0);
  std::vector<uint8_t> block = status_block();
  const size_t room = std::min(report.size(), STATUS_REPORT_SIZE) - FRAME_HDR;
  const uint16_t len = static_cast<uint16_t>(std::min(block.size(), room));
  frame_build(report.data(), RID_STATUS, 0, CMD_BOARD_STATUS, 0, block.data(), len);
}

// Work status (command 5). Boards 7 and 8 carry the signal format at 64..71 (their status view);
// the others carry the two stream records there and the format at 160..167.
std::vector<uint8_t> SimCard::Impl::work_status() const {
  std::vector<uint8_t> w(WORK_STATUS_SIZE, 0);
  uint8_t* p = w.data();
  const uint32_t t = running_ms();
  put_le32(p + 0, t);
  p[4] = USB_STATE_CONFIGURED;
  put_le16(p + 10, static_cast<uint16_t>(-1));
  p[12] = 1;                 // bdap
  p[13] = debug_mode;        // isdbg
  p[14] = probe_hold;        // probe
  p[16] = st.busy;
  p[18] = dbg_status;        // bset
  put_le32(p + 20, 0x00000100);          // tail
  put_le32(p + 24, st.busy ? 42'250 : 99'500);  // idle, thousandths of a percent
  put_le32(p + 28, hdbc[0]);              // bcfg[1]
  p[32] = st.input;
  p[33] = fvpd();
  p[34] = st.signal;         // nref
  p[35] = st.scanning ? 2 : 1;  // mode
  p[36] = st.signal ? 3 : 0;    // stat
  p[37] = st.locked_input.has_value();
  p[39] = 0;                 // kefi
  put_le32(p + 40, t > 2000 ? t - 2000 : 0);  // lock time
  put_le32(p + 44, t > 16 ? t - 16 : 0);      // tick mark
  if (st.signal) {
    put_le16(p + 48, st.width);
    put_le16(p + 50, st.height);
  }
  p[52] = st.color_format;
  p[53] = st.frame_rate;
  p[54] = st.interlaced;
  p[56] = st.audio_policy;
  p[57] = 2;   // channels
  p[58] = 48;  // kHz
  const uint32_t resolution = st.signal ? (st.width | (static_cast<uint32_t>(st.height) << 16)) : 0;
  uint8_t* fmt = is_board7or8() ? p + 64 : p + 160;
  if (!is_board7or8()) {
    put_stream_record(p + 64, t, frames, st.signal);
    put_stream_record(p + 112, t, frames, st.signal);
  }
  put_le32(fmt, resolution);
  fmt[4] = st.interlaced;
  fmt[5] = st.frame_rate;
  fmt[6] = st.signal;
  return w;
}

// Debug information, first answer. Boards 7 and 8 use their own block (216 bytes up to the tail);
// the others the generic block, 160 bytes up to the tail.
std::vector<uint8_t> SimCard::Impl::debug_head() const {
  const uint32_t now = running_ms();
  if (is_board7or8()) {
    std::vector<uint8_t> d(216, 0);
    d[3] = card.initial_scenario().usb_speed;
    d[104] = 0xC3;
    d[105] = static_cast<uint8_t>(st.model);
    d[106] = 1;    // ready
    d[111] = 1;    // hid
    d[116] = 1;    // codec
    d[128] = 0x03; // audio
    d[129] = fvpd();
    d[130] = st.audio_policy;
    put_le64(d.data() + 136, card.device_time_ns());
    put_le16(d.data() + 148, 7);
    d[150] = 1;
    d[151] = 2;
    put_le32(d.data() + 200, 0x1000);  // bsize
    if (st.signal) {
      put_le16(d.data() + 204, st.width);
      put_le16(d.data() + 206, st.height);
    }
    return d;
  }
  std::vector<uint8_t> d(160, 0);
  d[0] = 0xC3;
  d[1] = static_cast<uint8_t>(st.model);
  d[2] = 1;                          // ready
  d[3] = card.initial_scenario().usb_speed;  // spd
  d[5] = 0x11;                       // matrix
  d[6] = 1;                          // gpif
  d[7] = 0x5A;                       // ekwvcc
  d[10] = 1;                         // gpi
  d[11] = 1;                         // spi
  d[12] = 1;                         // codec
  put_le32(d.data() + 16, 0x0000A501);  // xkey
  put_le16(d.data() + 20, 0x0101);      // restart: stat, avideo
  put_le16(d.data() + 22, 0x0005);      // bits
  d[24] = 0x03;
  d[25] = fvpd();
  d[26] = st.audio_policy;
  d[27] = 0;
  d[28] = 48;
  d[29] = 2;
  d[30] = st.output_port;
  d[31] = 0x81;
  put_le32(d.data() + 32, now);
  put_le16(d.data() + 36, 7);
  d[41] = 1;
  d[42] = 2;
  put_le32(d.data() + 48, 0x1000);
  if (st.signal) {
    put_le16(d.data() + 52, st.width);
    put_le16(d.data() + 54, st.height);
  }
  put_stream_record(d.data() + 64, now, frames, st.signal);
  put_stream_record(d.data() + 112, now, frames, st.signal);
  return d;
}

// Debug information, second answer (the tail). Offsets below are block offsets minus the tail's
// start (160 generic, 216 for boards 7 and 8).
std::vector<uint8_t> SimCard::Impl::debug_tail() const {
  const uint32_t now = running_ms();
  const bool own = is_board7or8();
  const size_t base = own ? 216 : 160;
  const size_t size = own ? (st.model == BoardModel::Meadow ? 232 : 184) : ANSWER_PAYLOAD_MAX;
  std::vector<uint8_t> d(size, 0);
  auto at = [&](size_t block_offset) { return d.data() + (block_offset - base); };
  const uint8_t shown = std::min<uint8_t>(input_count(), 3);
  if (own) {
    put_le16(at(224), static_cast<uint16_t>((1u << input_count()) - 1));
    *at(228) = st.signal ? 3 : 0;
    *at(229) = st.locked_input.has_value();
    put_le32(at(236), now > 500 ? now - 500 : 0);
    *at(240) = st.color_format;
    *at(244) = st.frame_rate;
    *at(245) = shown;
    put_le16(at(264), 0x0040);
    uint8_t* v = at(296);
    v[0] = st.input; v[1] = fvpd(); v[2] = st.signal; v[3] = st.scanning ? 2 : 1;
    v[4] = st.signal ? 3 : 0; v[5] = st.locked_input.has_value(); v[6] = 0;
    put_le32(at(304), now > 16 ? now - 16 : 0);
    put_le32(at(308), now > 500 ? now - 500 : 0);
    if (st.signal) {
      put_le16(at(312), st.width);
      put_le16(at(314), st.height);
    }
    *at(316) = st.frame_rate; *at(317) = st.interlaced; *at(318) = st.input; *at(319) = st.signal;
    for (uint8_t i = 0; i < shown; ++i) put_input_record(at(328 + 24 * i), st, i, now);
    if (st.model == BoardModel::Meadow)  // key area: the last 32 bytes of the 448-byte block
      for (size_t k = 0; k < 32; ++k) *at(416 + k) = static_cast<uint8_t>(0xA0 + k * 7);
    return d;
  }
  put_le16(at(168), static_cast<uint16_t>((1u << input_count()) - 1));
  *at(172) = st.signal ? 3 : 0;
  *at(173) = st.locked_input.has_value();
  put_le32(at(180), now > 500 ? now - 500 : 0);
  *at(184) = st.color_format;
  *at(187) = 0;
  *at(188) = st.frame_rate;
  *at(189) = input_count();
  put_le16(at(208), 0x0040);
  *at(210) = static_cast<uint8_t>(props[2]);
  *at(211) = props[3];
  *at(212) = static_cast<uint8_t>(props[4]);
  *at(213) = props[5];
  *at(214) = props[6];
  *at(215) = props[7];
  uint8_t* v = at(240);
  v[0] = st.input; v[1] = fvpd(); v[3] = st.scanning ? 2 : 1; v[4] = st.signal ? 3 : 0;
  v[5] = st.locked_input.has_value(); v[6] = 0; v[7] = 0;
  put_le32(at(248), now > 16 ? now - 16 : 0);
  put_le32(at(252), now > 500 ? now - 500 : 0);
  if (st.signal) {
    put_le16(at(256), st.width);
    put_le16(at(258), st.height);
  }
  *at(260) = st.frame_rate; *at(261) = st.interlaced; *at(262) = st.input; *at(263) = st.signal;
  // Input records from block offset 272; the answer's 257 bytes end at 417, so inputs 0..5.
  for (uint8_t i = 0; i < input_count() && 272u + 24u * (i + 1u) <= base + size; ++i)
    put_input_record(at(272 + 24 * i), st, i, now);
  return d;
}

// Command 17: the card's factory defaults in the property block's layout.
std::array<uint8_t, 32> SimCard::Impl::defaults_block() const {
  std::array<uint8_t, 32> d{};
  put_le16(d.data(), st.prop_offer_mask);
  d[2] = 0;     // brightness
  d[3] = 128;   // contrast
  d[4] = 0;     // hue
  d[5] = 128;   // saturation
  d[6] = 32;    // sharpness
  d[7] = 128;   // 3D denoise
  put_le16(d.data() + 16, 0x4000);
  put_le16(d.data() + 18, 0x4000);
  put_le16(d.data() + 20, 0x4000);
  put_le32(d.data() + 24, 100);  // GFE
  return d;
}

// Command 13 answer: the offer mask and the values now in effect; groups not offered read 0.
std::array<uint8_t, 32> SimCard::Impl::prop_answer() const {
  std::array<uint8_t, 32> a{};
  const uint16_t offer = st.prop_offer_mask;
  put_le16(a.data(), offer);
  for (int n = 0; n < 6; ++n)
    if (offer & (1u << n)) a[2 + n] = props[2 + n];
  if (offer & 0x40) std::copy(props.begin() + 16, props.begin() + 22, a.begin() + 16);
  if (offer & 0x80) std::copy(props.begin() + 24, props.begin() + 30, a.begin() + 24);
  return a;
}

// Status byte 47 is the default size's place in the board's size list. The card stores the
// number written (config byte 1); the lists of meadow and rw820c have no "NONE" first, so their
// number n sits at place n - 1.
uint8_t SimCard::Impl::default_size_index() const {
  return is_board7or8() && st.default_size > 0 ? static_cast<uint8_t>(st.default_size - 1) : st.default_size;
}

// BoardConfig: the CRC register over bytes 0..27 goes to 28..31, so that the register over the
// whole record runs to 0.
void SimCard::Impl::seal_config() {
  config[0] = st.half_frame_rate;
  config[1] = st.default_size;
  put_le16(config.data() + 2, CONFIG_SIZE);
  put_le32(config.data() + 4, CONFIG_MAGIC);
  put_le32(config.data() + 24, CONFIG_MAGIC);
  put_le32(config.data() + 28, crc32_register(config.data(), 28));
}

bool config_record_intact(std::span<const uint8_t> rec) {
  if (rec.size() < CONFIG_SIZE) return false;
  const uint16_t len = get_le16(rec.data() + 2);
  if (len < CONFIG_SIZE || len > rec.size()) return false;
  if (get_le32(rec.data() + 4) != CONFIG_MAGIC) return false;
  return crc32_register(rec.data(), len) == 0;
}

// Fetched input report 8: the next queued piece of debug text or update notice, else empty text.
void SimCard::Impl::build_polled_report(std::span<uint8_t> report) {
  std::fill(report.begin(), report.end(), 0);
  std::vector<uint8_t> r;
  if (!polled.empty()) {
    r = std::move(polled.front());
    polled.pop_front();
  } else {
    r.assign(POLLED_TEXT_SIZE, 0);
    frame_build(r.data(), RID_DEBUG_TEXT, 0, 1, 0, nullptr, 0);
  }
  std::copy_n(r.begin(), std::min(r.size(), report.size()), report.begin());
}

// Feature report 7, byte 0: 0, 1 and 3 name inputs 0, 1 and 2; inputs past 2 have no code the
// host accepts, and the card sends 0x80 + input for them.
uint8_t SimCard::Impl::input_selection_code() const {
  switch (st.input) {
    case 0: return 0;
    case 1: return 1;
    case 2: return 3;
    default: return static_cast<uint8_t>(0x80 | st.input);
  }
}

// Frame record: queue, tick, width, height, interlaced, frame rate, input.
void SimCard::Impl::set_frame_record(uint8_t* rec, uint64_t tick) const {
  std::memset(rec, 0, 24);
  put_le32(rec, frames);
  put_le32(rec + 4, frames % 4);
  put_le64(rec + 8, tick);
  if (st.signal) {
    put_le16(rec + 16, st.width);
    put_le16(rec + 18, st.height);
  }
  rec[20] = st.interlaced;
  rec[21] = st.frame_rate;
  rec[22] = st.input;
}

// The interface's report descriptor: one vendor collection with every report ID and its size
// (report ID byte included in the sizes below). Where two protocols share an ID and kind with
// different sizes (output 5: notification 63, download control 261; feature 1: event get 24,
// download set 261) the larger size is declared.
std::vector<uint8_t> SimCard::report_descriptor() {
  struct Item { uint8_t main; uint8_t id; uint16_t size; };
  constexpr uint8_t IN = 0x81, OUT = 0x91, FEAT = 0xB1;
  static constexpr Item kReports[] = {
      {IN, 9, 265}, {IN, 6, 264}, {IN, 4, 191}, {IN, 8, 264}, {IN, 2, 264}, {IN, 3, 264},
      {IN, 12, 264}, {IN, 13, 261},
      {OUT, 11, 265}, {OUT, 10, 63}, {OUT, 5, 261}, {OUT, 7, 264}, {OUT, 4, 261}, {OUT, 12, 261},
      {FEAT, 1, 261}, {FEAT, 7, 261},
  };
  std::vector<uint8_t> d = {0x06, 0x00, 0xFF,  // usage page (vendor 0xFF00)
                            0x09, 0x01,        // usage 1
                            0xA1, 0x01,        // collection (application)
                            0x15, 0x00,        // logical minimum 0
                            0x26, 0xFF, 0x00,  // logical maximum 255
                            0x75, 0x08};       // report size 8 bits
  for (const Item& r : kReports) {
    const uint16_t count = static_cast<uint16_t>(r.size - 1);
    d.insert(d.end(), {0x85, r.id, 0x96, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                       0x09, 0x01, r.main, 0x02});
  }
  d.push_back(0xC0);  // end collection
  return d;
}

}  // namespace kestrel::sim
