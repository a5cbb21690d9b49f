#include "platform/hid_descriptor.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/descriptor_builder.h"

namespace kestrel::platform {
namespace {

using Bytes = std::vector<uint8_t>;

// The boot keyboard of the HID class definition: 8 modifier bits, a reserved byte and six key
// codes in; five LED bits and three of padding out.
const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// A mouse as report 1 inside a physical collection: three buttons, five bits of padding, X and Y.
const Bytes kNumberedMouse = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01,
    0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05,
    0x81, 0x03, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02,
    0x81, 0x06, 0xC0, 0xC0};

// Push and pop around an input of two 16-bit fields, a long item, four-byte data items.
const Bytes kPushPopLong = {
    0x05, 0x01, 0x09, 0x00, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x04, 0xA4, 0x75, 0x10, 0x95, 0x02,
    0x27, 0xFF, 0xFF, 0x00, 0x00, 0x81, 0x02, 0xB4, 0x91, 0x02, 0xFE, 0x02, 0x00, 0xAA, 0xBB, 0xC0};

struct Valid {
  const char* name;
  Bytes desc;
  uint16_t input, output, feature;
  bool numbered;
};

class ValidDescriptor : public ::testing::TestWithParam<Valid> {};

TEST_P(ValidDescriptor, GivesTheLongestReportOfEachKind) {
  const Valid& v = GetParam();
  ReportLengths r;
  DescriptorError e = DescriptorError::Empty;
  ASSERT_TRUE(parse_report_descriptor(v.desc, r, &e)) << descriptor_error_text(e);
  EXPECT_EQ(e, DescriptorError::None);
  EXPECT_EQ(r.input, v.input);
  EXPECT_EQ(r.output, v.output);
  EXPECT_EQ(r.feature, v.feature);
  EXPECT_EQ(r.numbered, v.numbered);
}

// Every proper prefix is refused: it cuts an item, stops before the first collection or leaves
// one open. Each one
// is its own heap block of exactly that size, so a read past its end is an AddressSanitizer error.
TEST_P(ValidDescriptor, RefusesEveryTruncation) {
  const Bytes& full = GetParam().desc;
  for (size_t n = 0; n < full.size(); ++n) {
    const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    ReportLengths r{7, 7, 7, true};
    DescriptorError e = DescriptorError::None;
    EXPECT_FALSE(parse_report_descriptor(cut, r, &e)) << "prefix of " << n << " bytes";
    EXPECT_NE(e, DescriptorError::None);
    EXPECT_EQ(r.input, 7) << "a refused descriptor leaves the result alone";
  }
}

using test::ReportSpec;
INSTANTIATE_TEST_SUITE_P(
    Descriptors, ValidDescriptor,
    ::testing::Values(
        Valid{"boot_keyboard", kBootKeyboard, 9, 2, 0, false},
        Valid{"numbered_mouse", kNumberedMouse, 4, 0, 0, true},
        Valid{"push_pop_long_item", kPushPopLong, 5, 5, 0, false},
        Valid{"card", test::card_descriptor(), 265, 265, 261, true},
        Valid{"one_long_feature", test::vendor_descriptor({{ReportKind::Feature, 3, 4097}}), 0, 0, 4097, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct Malformed {
  const char* name;
  Bytes desc;
  DescriptorError error;
};

class MalformedDescriptor : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedDescriptor, IsRefusedWithItsReason) {
  const Malformed& m = GetParam();
  ReportLengths r;
  DescriptorError e = DescriptorError::None;
  EXPECT_FALSE(parse_report_descriptor(m.desc, r, &e));
  EXPECT_EQ(e, m.error) << descriptor_error_text(e);
}

Bytes repeat(std::initializer_list<uint8_t> item, size_t times) {
  Bytes out;
  for (size_t i = 0; i < times; ++i) out.insert(out.end(), item);
  return out;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, MalformedDescriptor,
    ::testing::Values(
        Malformed{"empty", {}, DescriptorError::Empty},
        Malformed{"longer_than_4096", cat(repeat({0xA1, 0x00}, 2048), {0xC0}), DescriptorError::TooLong},
        Malformed{"one_byte_item_cut", {0x05}, DescriptorError::Truncated},
        Malformed{"two_byte_item_cut", {0x06, 0x00}, DescriptorError::Truncated},
        Malformed{"four_byte_item_cut", {0xA1, 0x01, 0x27, 0x01, 0x02, 0x03}, DescriptorError::Truncated},
        Malformed{"long_item_prefix_only", {0xFE}, DescriptorError::Truncated},
        Malformed{"long_item_header_cut", {0xFE, 0x01}, DescriptorError::Truncated},
        Malformed{"long_item_data_cut", {0xFE, 0x05, 0x00, 0x01}, DescriptorError::Truncated},
        Malformed{"no_collection", {0x05, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, DescriptorError::NoCollection},
        Malformed{"end_without_collection", {0xC0}, DescriptorError::UnbalancedCollection},
        Malformed{"collection_left_open", {0xA1, 0x01}, DescriptorError::UnbalancedCollection},
        Malformed{"collections_too_deep", repeat({0xA1, 0x00}, 33), DescriptorError::CollectionTooDeep},
        Malformed{"pop_without_push", {0xB4}, DescriptorError::PopWithoutPush},
        Malformed{"five_pushes", repeat({0xA4}, 5), DescriptorError::PushTooDeep},
        Malformed{"report_id_zero", {0x85, 0x00}, DescriptorError::BadReportId},
        Malformed{"report_id_no_data", {0x84}, DescriptorError::BadReportId},
        Malformed{"report_id_256", {0x86, 0x00, 0x01}, DescriptorError::BadReportId},
        Malformed{"report_size_257", {0x76, 0x01, 0x01}, DescriptorError::BadReportSize},
        Malformed{"report_count_12289", {0x96, 0x01, 0x30}, DescriptorError::BadReportCount},
        Malformed{"report_too_long", {0x75, 0x08, 0x96, 0x00, 0x30, 0x81, 0x02, 0x81, 0x02},
                  DescriptorError::ReportTooLong},
        Malformed{"reserved_main_tag", {0xD1, 0x00}, DescriptorError::UnknownItem},
        Malformed{"reserved_global_tag", {0xC4}, DescriptorError::UnknownItem},
        Malformed{"delimiter_close_first", {0xA9, 0x00}, DescriptorError::BadDelimiter},
        Malformed{"delimiter_nested", {0xA9, 0x01, 0xA9, 0x01}, DescriptorError::BadDelimiter},
        Malformed{"delimiter_value_2", {0xA9, 0x02}, DescriptorError::BadDelimiter},
        Malformed{"mixed_report_ids",
                  {0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x81, 0x02, 0xC0},
                  DescriptorError::MixedReportIds},
        Malformed{"reversed_usage_range", {0x19, 0x05, 0x29, 0x03, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02},
                  DescriptorError::ReversedUsageRange}),
    [](const auto& info) { return std::string(info.param.name); });

// Arbitrary bytes never make the parser read outside them or claim an impossible length.
TEST(DescriptorParser, ArbitraryBytesStayInBounds) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 20000; ++round) {
    Bytes d(rng() % 64);
    for (auto& b : d) b = static_cast<uint8_t>(rng());
    ReportLengths r;
    if (parse_report_descriptor(d, r)) {
      EXPECT_LE(r.input, 16385);
      EXPECT_LE(r.output, 16385);
      EXPECT_LE(r.feature, 16385);
    }
  }
}

}  // namespace
}  // namespace kestrel::platform
