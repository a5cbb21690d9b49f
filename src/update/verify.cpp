#include "update/verify.h"

#include <algorithm>
#include <cstring>

#include "devlink/board_records.h"
#include "devlink/frame.h"
#include "devlink/hid_link.h"
#include "update/image_check.h"

namespace kestrel {

namespace {

constexpr size_t kStampLength = 19;  // YYYY-MM-DD HH:MM:SS

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n' || s.back() == '\0'))
    s.remove_suffix(1);
  return s;
}

// Runs of spaces fold to one, so that "V2.0  build  2024-..." and "V2.0 build 2024-..." agree.
std::string fold_spaces(std::string_view s) {
  std::string out;
  for (char c : trim(s)) {
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out += c;
  }
  return out;
}

std::string_view before_fpga(std::string_view text) {
  const size_t cut = text.find("FPGA:");
  return cut == std::string_view::npos ? text : text.substr(0, cut);
}

}  // namespace

std::optional<ImageVersion> image_version_of(std::string_view info) {
  const size_t colon = info.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const size_t build = info.find("build", colon);
  if (build == std::string_view::npos) return std::nullopt;
  size_t q = build + 5;
  while (q < info.size() && info[q] == ' ') ++q;
  if (q + kStampLength > info.size()) return std::nullopt;
  ImageVersion v;
  v.tag = std::string(info.substr(0, colon));
  v.version = fold_spaces(info.substr(colon + 1, build - colon - 1));
  v.stamp = std::string(info.substr(q, kStampLength));
  return v;
}

std::optional<ImageVersion> image_version_of(std::span<const uint8_t> data) {
  const char* info = find_image_info(data.data(), data.data() + data.size());
  if (!info) return std::nullopt;
  return image_version_of(std::string_view(info));
}

bool card_runs_image(const ImageVersion& image, std::string_view status_text) {
  const std::string text = fold_spaces(before_fpga(status_text));
  const size_t colon = text.find(':');
  if (colon == std::string::npos || text.compare(0, colon, image.tag) != 0 || colon != image.tag.size()) return false;
  const std::string rest = text.substr(colon + 1);
  return rest.find(image.version) != std::string::npos && rest.find(image.stamp) != std::string::npos;
}

std::string fpga_version_of(std::string_view status_text) {
  const size_t at = status_text.find("FPGA:");
  if (at == std::string_view::npos) return {};
  return std::string(trim(status_text.substr(at + 5)));
}

namespace {

std::string without_node(const std::string& path) {
  const size_t hash = path.rfind('#');
  const size_t amp = path.rfind('&', hash == std::string::npos ? std::string::npos : hash);
  return amp == std::string::npos ? path : path.substr(0, amp);
}

}  // namespace

int find_returned_card(const CardKey& card, const std::vector<CardKey>& listed) {
  int same_port = -1, same_kind = -1, kinds = 0;
  for (size_t i = 0; i < listed.size(); ++i) {
    const CardKey& e = listed[i];
    if (e.path == card.path) return static_cast<int>(i);
    if (without_node(e.path) == without_node(card.path)) same_port = static_cast<int>(i);
    if (e.vendor_id == card.vendor_id && e.product_id == card.product_id) {
      same_kind = static_cast<int>(i);
      ++kinds;
    }
  }
  if (same_port >= 0) return same_port;
  return kinds == 1 ? same_kind : -1;
}

int find_upgraded_card(const CardKey& card, const std::string& port, const std::vector<std::string>& others,
                       const std::vector<ListedCard>& now) {
  auto other = [&](const std::string& path) { return std::find(others.begin(), others.end(), path) != others.end(); };
  for (size_t i = 0; i < now.size(); ++i)
    if (now[i].key.path == card.path) return static_cast<int>(i);
  for (size_t i = 0; i < now.size(); ++i)
    if (!port.empty() && now[i].port == port) return static_cast<int>(i);
  std::vector<CardKey> keys;
  for (const ListedCard& e : now) keys.push_back(other(e.key.path) ? CardKey{} : e.key);
  return find_returned_card(card, keys);
}

std::optional<std::string> read_status_text(HidLink& link, std::span<uint8_t> work) {
  if (!link.current() || work.size() < 2 * 4096) return std::nullopt;
  alignas(8) uint8_t block[ANSWER_REPORT_SIZE + 8] = {};
  uint16_t len = 0;
  if (!board_status_read(link, block, work, 0, &len)) return std::nullopt;
  const size_t avail = len > STATUS_TEXT ? len - STATUS_TEXT : 0;
  const char* text = reinterpret_cast<const char*>(block + STATUS_TEXT);
  return std::string(text, strnlen(text, avail));
}

std::string VerifyReport::summary() const {
  switch (end) {
    case VerifiedEnd::Verified: return "verified";
    case VerifiedEnd::NotVerified: return "not verified (card reports " + card_text + ")";
    case VerifiedEnd::RestartNeeded: return "not yet verified (restart needed)";
    case VerifiedEnd::NoVerdict: return "FPGA version " + (card_text.empty() ? std::string("unknown") : card_text);
  }
  return {};
}

std::string unread_return_text(bool not_found, bool permission) {
  if (permission) return "nothing: it came back but this user may not open it (permission denied)";
  if (not_found) return "nothing: it came back but its device node did not appear";
  return "nothing: it came back but does not answer";
}

VerifyReport judge_return(uint16_t kind, const std::optional<ImageVersion>& image, const std::string& status_text) {
  VerifyReport r;
  if (kind != 2) {
    r.end = VerifiedEnd::NoVerdict;
    r.card_text = fpga_version_of(status_text);
    return r;
  }
  r.card_text = std::string(trim(before_fpga(status_text)));
  r.end = image && card_runs_image(*image, status_text) ? VerifiedEnd::Verified : VerifiedEnd::NotVerified;
  return r;
}

}  // namespace kestrel
