#include "platform/hid_descriptor.h"

#include <array>

namespace kestrel::platform {

namespace {

// Limits as the kernel's HID core applies them to a descriptor it accepts.
constexpr size_t kMaxDescriptorBytes = 4096;
constexpr uint32_t kMaxReportSizeBits = 256;
constexpr uint32_t kMaxReportCount = 12288;
constexpr uint32_t kMaxReportBytes = 16384;
constexpr size_t kGlobalStackDepth = 4;
constexpr int kMaxCollectionDepth = 32;  // ours; real descriptors nest a handful deep

constexpr uint8_t kLongItemPrefix = 0xFE;

enum ItemType : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };

enum MainTag : uint8_t { kInput = 0x8, kOutput = 0x9, kCollection = 0xA, kFeature = 0xB, kEndCollection = 0xC };
enum GlobalTag : uint8_t {
  kUsagePage = 0x0, kReportSize = 0x7, kReportId = 0x8, kReportCount = 0x9, kPush = 0xA, kPop = 0xB,
  kLastGlobalTag = 0xB,
};
enum LocalTag : uint8_t { kUsageMin = 0x1, kUsageMax = 0x2, kDelimiter = 0xA };

struct Globals {
  uint32_t usage_page = 0;
  uint32_t report_size = 0;
  uint32_t report_count = 0;
  uint32_t report_id = 0;
};

struct Locals {
  bool has_min = false, has_max = false;
  uint32_t usage_min = 0, usage_max = 0;  // extended usages: page in the high half
  int delimiter = 0;
};

struct Item {
  uint8_t type;
  uint8_t tag;
  uint8_t size;  // data bytes
  uint32_t data;
};

class Parser {
 public:
  DescriptorError run(std::span<const uint8_t> d, ReportLengths& out);

 private:
  DescriptorError main_item(const Item& it);
  DescriptorError global_item(const Item& it);
  DescriptorError local_item(const Item& it);
  DescriptorError data_item(ReportKind kind);

  Globals g_;
  std::array<Globals, kGlobalStackDepth> stack_{};
  size_t stack_depth_ = 0;
  Locals l_;
  int collection_depth_ = 0;
  bool saw_collection_ = false;
  bool saw_report_id_ = false;
  bool saw_unnumbered_data_ = false;
  std::array<std::array<uint32_t, 256>, 3> bits_{};  // per kind, per report ID
};

uint32_t extended_usage(const Item& it, uint32_t page) {
  return it.size == 4 ? it.data : (page << 16) | (it.data & 0xFFFF);
}

DescriptorError Parser::run(std::span<const uint8_t> d, ReportLengths& out) {
  if (d.empty()) return DescriptorError::Empty;
  if (d.size() > kMaxDescriptorBytes) return DescriptorError::TooLong;
  size_t pos = 0;
  while (pos < d.size()) {
    const uint8_t prefix = d[pos];
    if (prefix == kLongItemPrefix) {
      // Long items carry no meaning any host uses; step over them inside the bounds.
      if (d.size() - pos < 3) return DescriptorError::Truncated;
      const size_t len = d[pos + 1];
      if (d.size() - pos - 3 < len) return DescriptorError::Truncated;
      pos += 3 + len;
      continue;
    }
    static constexpr uint8_t kSizes[4] = {0, 1, 2, 4};
    Item it{static_cast<uint8_t>((prefix >> 2) & 3), static_cast<uint8_t>(prefix >> 4), kSizes[prefix & 3], 0};
    if (d.size() - pos - 1 < it.size) return DescriptorError::Truncated;
    for (uint8_t i = 0; i < it.size; ++i) it.data |= static_cast<uint32_t>(d[pos + 1 + i]) << (8 * i);
    pos += 1 + it.size;

    DescriptorError e = DescriptorError::None;
    switch (it.type) {
      case kMain: e = main_item(it); break;
      case kGlobal: e = global_item(it); break;
      case kLocal: e = local_item(it); break;
      default: break;  // reserved short items are skipped, as the kernel does
    }
    if (e != DescriptorError::None) return e;
  }
  if (collection_depth_ != 0) return DescriptorError::UnbalancedCollection;
  if (!saw_collection_) return DescriptorError::NoCollection;
  if (saw_report_id_ && saw_unnumbered_data_) return DescriptorError::MixedReportIds;

  ReportLengths r;
  uint16_t* lengths[3] = {&r.input, &r.output, &r.feature};
  for (size_t k = 0; k < 3; ++k) {
    for (uint32_t b : bits_[k]) {
      if (b == 0) continue;
      const uint16_t len = static_cast<uint16_t>((b + 7) / 8 + 1);
      if (len > *lengths[k]) *lengths[k] = len;
    }
  }
  r.numbered = saw_report_id_;
  out = r;
  return DescriptorError::None;
}

DescriptorError Parser::main_item(const Item& it) {
  DescriptorError e = DescriptorError::None;
  switch (it.tag) {
    case kInput: e = data_item(ReportKind::Input); break;
    case kOutput: e = data_item(ReportKind::Output); break;
    case kFeature: e = data_item(ReportKind::Feature); break;
    case kCollection:
      saw_collection_ = true;
      if (++collection_depth_ > kMaxCollectionDepth) e = DescriptorError::CollectionTooDeep;
      break;
    case kEndCollection:
      if (collection_depth_-- == 0) e = DescriptorError::UnbalancedCollection;
      break;
    default: e = DescriptorError::UnknownItem;
  }
  l_ = Locals{};
  return e;
}

DescriptorError Parser::data_item(ReportKind kind) {
  if (l_.has_min && l_.has_max && l_.usage_min > l_.usage_max) return DescriptorError::ReversedUsageRange;
  if (g_.report_id == 0) saw_unnumbered_data_ = true;
  uint32_t& b = bits_[static_cast<size_t>(kind)][g_.report_id];
  // Both factors are bounded (256 and 12288), so neither the product nor the sum overflows.
  b += g_.report_size * g_.report_count;
  if ((b + 7) / 8 > kMaxReportBytes) return DescriptorError::ReportTooLong;
  return DescriptorError::None;
}

DescriptorError Parser::global_item(const Item& it) {
  switch (it.tag) {
    case kUsagePage: g_.usage_page = it.data & 0xFFFF; break;
    case kReportSize:
      if (it.data > kMaxReportSizeBits) return DescriptorError::BadReportSize;
      g_.report_size = it.data;
      break;
    case kReportId:
      if (it.data == 0 || it.data > 255) return DescriptorError::BadReportId;
      g_.report_id = it.data;
      saw_report_id_ = true;
      break;
    case kReportCount:
      if (it.data > kMaxReportCount) return DescriptorError::BadReportCount;
      g_.report_count = it.data;
      break;
    case kPush:
      if (stack_depth_ == kGlobalStackDepth) return DescriptorError::PushTooDeep;
      stack_[stack_depth_++] = g_;
      break;
    case kPop:
      if (stack_depth_ == 0) return DescriptorError::PopWithoutPush;
      g_ = stack_[--stack_depth_];
      break;
    default:
      // Logical and physical extents, unit and exponent: no report length depends on them.
      if (it.tag > kLastGlobalTag) return DescriptorError::UnknownItem;
  }
  return DescriptorError::None;
}

DescriptorError Parser::local_item(const Item& it) {
  switch (it.tag) {
    case kUsageMin:
      l_.has_min = true;
      l_.usage_min = extended_usage(it, g_.usage_page);
      break;
    case kUsageMax:
      l_.has_max = true;
      l_.usage_max = extended_usage(it, g_.usage_page);
      break;
    case kDelimiter:
      if (it.data == 1) {
        if (l_.delimiter++ != 0) return DescriptorError::BadDelimiter;
      } else if (it.data == 0) {
        if (l_.delimiter-- != 1) return DescriptorError::BadDelimiter;
      } else {
        return DescriptorError::BadDelimiter;
      }
      break;
    default: break;  // usages, designators and strings name fields; they do not size them
  }
  return DescriptorError::None;
}

}  // namespace

const char* descriptor_error_text(DescriptorError e) {
  switch (e) {
    case DescriptorError::None: return "no error";
    case DescriptorError::Empty: return "empty descriptor";
    case DescriptorError::TooLong: return "descriptor longer than 4096 bytes";
    case DescriptorError::Truncated: return "item runs past the end";
    case DescriptorError::UnknownItem: return "reserved item tag";
    case DescriptorError::NoCollection: return "no top-level collection";
    case DescriptorError::UnbalancedCollection: return "collections do not balance";
    case DescriptorError::CollectionTooDeep: return "collections nested too deep";
    case DescriptorError::PopWithoutPush: return "pop without push";
    case DescriptorError::PushTooDeep: return "push stack overflow";
    case DescriptorError::BadDelimiter: return "delimiters do not balance";
    case DescriptorError::BadReportId: return "report ID out of range";
    case DescriptorError::BadReportSize: return "report size above 256 bits";
    case DescriptorError::BadReportCount: return "report count above 12288";
    case DescriptorError::ReportTooLong: return "report longer than 16384 bytes";
    case DescriptorError::MixedReportIds: return "data items with and without report IDs";
    case DescriptorError::ReversedUsageRange: return "usage minimum above usage maximum";
  }
  return "unknown error";
}

bool parse_report_descriptor(std::span<const uint8_t> desc, ReportLengths& out, DescriptorError* err) {
  Parser p;
  const DescriptorError e = p.run(desc, out);
  if (err) *err = e;
  return e == DescriptorError::None;
}

}  // namespace kestrel::platform
