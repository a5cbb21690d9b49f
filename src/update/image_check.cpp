#include "update/image_check.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "boards/board.h"
#include "boards/registry.h"
#include "devlink/board_records.h"
#include "devlink/hid_link.h"
#include "update/image_file.h"
#include "update/verify.h"

namespace kestrel {

namespace {

constexpr char kKey[] = "key-";
constexpr size_t kKeyLen = 4;

// Byte i of the zero-terminated string s, or 0 when the string ends before it (never reads past
// the terminator).
char char_at(const char* s, size_t i) {
  const size_t n = strnlen(s, i + 1);
  return n > i ? s[i] : '\0';
}

// The first place at or after a point where `needle` begins, within the zero-terminated string
// that holds the point; the string's terminating zero when there is none. It remembers its last
// answer: no match begins between the last start and that answer, so a later start in between
// gets the same answer without reading again. Asked at starts that never move backwards, it reads
// each byte of the strings a bounded number of times.
class ForwardFind {
 public:
  explicit ForwardFind(const char* needle) : needle_(needle), len_(std::strlen(needle)) {}

  const char* at_or_after(const char* from) {
    if (from_ && from >= from_ && from <= found_) return found_;
    const char* p = from;
    while (*p && std::strncmp(p, needle_, len_) != 0) ++p;
    from_ = from;
    found_ = p;
    return p;
  }

 private:
  const char* needle_;
  size_t len_;
  const char* from_ = nullptr;
  const char* found_ = nullptr;
};

// `text` cut to at most IMAGE_TEXT_MAX bytes, never inside a UTF-8 sequence.
void cut_to_limit(std::string& text) {
  if (text.size() <= IMAGE_TEXT_MAX) return;
  size_t n = IMAGE_TEXT_MAX;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  text.resize(n);
}

std::string bounded(const char* s) { return std::string(s, strnlen(s, IMAGE_TEXT_MAX + 1)); }

std::string info_part(const char* info) { return " 固件信息:\r\n " + bounded(info) + "\r\n"; }
std::string target_part(const std::string& target) { return "\r\n 目标信息:\r\n " + target + "\r\n"; }

}  // namespace

// The info text is "key-" tag ':' version "build" spaces stamp ... "GCC:", all in one
// zero-terminated string: the first ':' after "key-", the first "build" after that ':', the stamp
// right after that "build" and its spaces, then "GCC:" anywhere after the stamp's start. Nothing
// limits how long the text is (IMAGE_TEXT_MAX only cuts what is shown), so a candidate's search
// cannot be cut short without refusing texts the check takes. What makes it linear instead: each
// step's answer only depends on where that step starts, and those starts never move backwards
// from one candidate to the next, so each step resumes where the previous candidate's left off.
// An image of "key-key-key-..." (one string, no ':') is then read once, not once per "key-".
const char* find_image_info(const uint8_t* start, const uint8_t* end) {
  ForwardFind colon(":"), build("build"), gcc("GCC:");
  const char* last_b = nullptr;  // the "build" the stamp was last checked after
  const char* q = nullptr;       // its stamp (after the spaces)
  bool stamp_ok = false;
  const uint8_t* p = start;
  while (p < end) {
    if (*p != 'k') {
      ++p;
      continue;
    }
    if (end - p < 4) return nullptr;
    if (std::memcmp(p, kKey, kKeyLen) != 0) {
      ++p;
      continue;
    }
    // A candidate: every search below runs in the zero-terminated string from p.
    const char* next = reinterpret_cast<const char*>(p) + kKeyLen;
    bool ok = false;
    const char* c = colon.at_or_after(next);  // "key-" itself holds no ':'
    const char* b = *c ? build.at_or_after(c) : c;
    if (*b) {
      if (b != last_b) {
        last_b = b;
        q = b + 5;
        while (*q == ' ') ++q;
        stamp_ok = char_at(q, 4) == '-' && char_at(q, 7) == '-' && char_at(q, 13) == ':' && char_at(q, 16) == ':';
      }
      ok = stamp_ok && *gcc.at_or_after(q) != '\0';
    }
    if (ok) return next;
    p = reinterpret_cast<const uint8_t*>(next);
  }
  return nullptr;
}

bool tags_match(const char* a, const char* b) {
  if (!a || !b) return false;
  const char* ca = std::strchr(a, ':');
  const char* cb = std::strchr(b, ':');
  if (!ca || !cb) return false;
  const size_t na = static_cast<size_t>(ca - a), nb = static_cast<size_t>(cb - b);
  return na == nb && na > 0 && std::memcmp(a, b, na) == 0;
}

UpgradeDecision compose_upgrade_decision(ImageCheckContext& ctx, const char* info) {
  UpgradeDecision d;
  if (!info) info = "";

  // 1. The target: the attached board's status text, cut at "FPGA:".
  if (std::optional<std::string> text = read_status_text(ctx.link, ctx.work)) {
    d.target_known = true;
    std::string t = std::move(*text);
    const size_t cut = t.find("FPGA:");
    if (cut != std::string::npos) t.resize(cut);
    d.target = std::move(t);
    d.tags_equal = tags_match(info, d.target.c_str());
  }

  // 2. The board the image names, and its probe.
  d.entry = ctx.registry ? registry_find_by_tag(*ctx.registry, info) : nullptr;
  if (d.entry && d.entry->descriptor && d.entry->descriptor->probe) {
    BoardContext bctx{ctx.link, ctx.work};
    d.probe = board_probe(*d.entry, bctx);
  }

  // A probe that cannot tell boards apart (some models answer true on every card) must not pass
  // an image made for another model: when the card names a registered board and that board's
  // name does not begin with the image's tag, the image is for another model, whatever the probe
  // says. A tag that only names a family (TB610) still passes on each of its members.
  if (d.target_known && d.probe && !d.tags_equal && ctx.registry) {
    const BoardEntry* target_entry = registry_find_by_tag(*ctx.registry, d.target.c_str());
    const char* colon = std::strchr(info, ':');
    if (target_entry && colon &&
        std::strncmp(target_entry->name, info, static_cast<size_t>(colon - info)) != 0) {
      d.wrong_board = true;
      d.probe = false;
    }
  }

  // 3. The request.
  AlertRequest& r = d.request;
  std::string text = info_part(info);
  const char* verdict;
  if (d.probe && d.tags_equal) {
    text += target_part(d.target);
    verdict = VERDICT_SUITS;
    r.style = ALERT_STYLE_SUITS;
    r.accept_caption = ACCEPT_UPGRADE;
  } else if (d.probe) {
    text += "\r\n 目标信息: ";
    text += d.entry->name;
    text += "\r\n 硬件自动检查匹配通过\r\n";
    verdict = VERDICT_CAREFUL;
    r.style = ALERT_STYLE_CAREFUL;
    r.accept_caption = ACCEPT_CAREFUL;
  } else if (d.tags_equal) {
    text += target_part(d.target);
    verdict = VERDICT_CONFLICT;
    r.style = ALERT_STYLE_FORCE;
    r.accept_caption = ACCEPT_FORCE;
  } else {
    text += d.target_known ? target_part(d.target) : std::string("\r\n 目标信息:\r\n 与固件信息不匹配, 不能正常识别\r\n");
    verdict = VERDICT_MISMATCH;
    r.style = ALERT_STYLE_FORCE;
    r.accept_caption = ACCEPT_FORCE;
  }
  cut_to_limit(text);
  std::string v = verdict;
  cut_to_limit(v);
  r.title = ALERT_TITLE;
  r.info = std::move(text);
  r.verdict = std::move(v);
  r.cancel_caption = ALERT_CANCEL;
  return d;
}

bool decide_upgrade(ImageCheckContext& ctx, const char* info) {
  const UpgradeDecision d = compose_upgrade_decision(ctx, info);
  return show_alert(ctx.show_alert, d.request);
}

bool check_usb_image_file(ImageCheckContext& ctx, const std::string& path) {
  const std::optional<ImageFile> img = ImageFile::load(path);
  return img && check_usb_image_bytes(ctx, *img);
}

bool check_usb_image_bytes(ImageCheckContext& ctx, const ImageFile& img) {
  if (img.size() < 2 || img.begin()[0] != IMAGE_SIG0 || img.begin()[1] != IMAGE_SIG1) return false;
  // The info text search runs in zero-terminated strings: an ImageFile ends in a zero byte.
  const char* info = find_image_info(img.begin(), img.begin() + img.size());
  if (!info) info = IMAGE_INFO_UNKNOWN_FILE;
  return decide_upgrade(ctx, info);
}

bool check_usb_image_buffer(ImageCheckContext& ctx, const BoardEntry* entry, const uint8_t* data, uint32_t count) {
  const char* info;
  if (entry && entry->descriptor && entry->descriptor->check_image &&
      !board_check_image(*entry, std::span<const uint8_t>(data, count)))
    info = IMAGE_INFO_DAMAGED;
  else if (!(info = find_image_info(data, data + count)))
    info = IMAGE_INFO_UNRECOGNISED;
  return decide_upgrade(ctx, info);
}

}  // namespace kestrel
