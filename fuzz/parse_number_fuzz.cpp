// kestrelctl's number arguments: decimal, or hex with 0x.
#include <string>

#include "cli/session.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  uint32_t v = 0;
  if (!cli::parse_number(text, v)) return 0;
  // Only digits are accepted: decimal, or hex digits after one "0x", and the value is theirs.
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
  if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos) __builtin_trap();
  if (std::stoull(digits, nullptr, hex ? 16 : 10) != v) __builtin_trap();
  return 0;
}
