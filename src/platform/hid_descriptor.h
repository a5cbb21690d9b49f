// HID report descriptors: enough of a parser to refuse one that cannot be parsed and to give the
// longest input, output and feature report. It stands where the platform's parsed capability
// tables stood: nothing reads more of a descriptor than this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel::platform {

enum class ReportKind : uint8_t { Input, Output, Feature };

// Longest report of each kind in bytes, report ID byte included (the byte is counted even when
// the descriptor declares no report IDs, as the host reports carry it); 0 when there is none.
struct ReportLengths {
  uint16_t input = 0;
  uint16_t output = 0;
  uint16_t feature = 0;
  bool numbered = false;  // the descriptor declares report IDs
};

enum class DescriptorError {
  None,
  Empty,
  TooLong,             // longer than the kernel's 4096-byte limit
  Truncated,           // an item's data runs past the end
  UnknownItem,         // reserved main or global tag
  NoCollection,        // no top-level collection: the interface would declare nothing
  UnbalancedCollection,
  CollectionTooDeep,
  PopWithoutPush,
  PushTooDeep,
  BadDelimiter,
  BadReportId,         // 0 or above 255
  BadReportSize,       // above 256 bits
  BadReportCount,      // above 12288 fields
  ReportTooLong,       // one report above 16384 bytes
  MixedReportIds,      // data items both with and without a report ID
  ReversedUsageRange,  // usage minimum above usage maximum
};

const char* descriptor_error_text(DescriptorError e);

// Parses `desc` without reading past its end. False, with the reason in `err`, when it cannot
// be parsed; `out` is then unchanged.
bool parse_report_descriptor(std::span<const uint8_t> desc, ReportLengths& out,
                             DescriptorError* err = nullptr);

}  // namespace kestrel::platform
