// The register panel's number-field check, over the text as a view and as a C string.
#include <string>
#include <string_view>

#include "boards/register_panel.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool as_view = number_field_valid(std::string_view(text));
  if (text.find('\0') == std::string::npos && number_field_valid(text.c_str()) != as_view) __builtin_trap();
  return 0;
}
