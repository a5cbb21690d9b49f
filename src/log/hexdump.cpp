#include "log/hexdump.h"

#include "log/log.h"

namespace kestrel {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr uint32_t kPerLine = 16;

// Appends the fill for a short line, the ASCII column and, on the last line, the line end.
size_t finish_line(char* line, size_t pos, const uint8_t* bytes, uint32_t n, bool last) {
  for (uint32_t i = n; i < kPerLine; ++i) {
    line[pos++] = ' ';
    line[pos++] = ' ';
    line[pos++] = ' ';
  }
  line[pos++] = ' ';
  line[pos++] = ';';
  line[pos++] = ' ';
  for (uint32_t i = 0; i < n; ++i) line[pos++] = (bytes[i] >= 0x20 && bytes[i] <= 0x7E) ? static_cast<char>(bytes[i]) : '.';
  if (last) {
    line[pos++] = '\r';
    line[pos++] = '\n';
  }
  return pos;
}

}  // namespace

void log_hex_dump(uint32_t word, const void* data, uint32_t count) {
  if (!log_filter_passes(word)) return;
  detail::log_lock();
  const auto* p = static_cast<const uint8_t*>(data);
  char line[128];
  for (uint32_t start = 0; start < count; start += kPerLine) {
    const uint32_t n = count - start < kPerLine ? count - start : kPerLine;
    size_t pos = 0;
    line[pos++] = '\r';
    line[pos++] = '\n';
    line[pos++] = ' ';
    for (int shift = 28; shift >= 0; shift -= 4) line[pos++] = kHex[(start >> shift) & 0xF];
    for (uint32_t i = 0; i < n; ++i) {
      line[pos++] = ' ';
      line[pos++] = kHex[p[start + i] >> 4];
      line[pos++] = kHex[p[start + i] & 0xF];
    }
    pos = finish_line(line, pos, p + start, n, start + n == count);
    detail::log_sink_write(line, pos);
  }
  detail::log_unlock();
}

}  // namespace kestrel
