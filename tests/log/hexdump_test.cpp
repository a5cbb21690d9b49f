#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/hexdump.h"
#include "log/log.h"
#include "log_capture.h"

namespace kestrel {
namespace {

using test::LogCapture;

std::string dump(const std::vector<uint8_t>& bytes, uint32_t word = 0) {
  LogCapture cap;
  log_hex_dump(word, bytes.data(), static_cast<uint32_t>(bytes.size()));
  return cap.text();
}

TEST(HexDump, LineLayouts) {
  EXPECT_EQ(dump({0x41, 0x42, 0x43}),
            "\r\n 00000000 41 42 43" + std::string(39, ' ') + " ; ABC\r\n");

  std::vector<uint8_t> sixteen(16);
  for (int i = 0; i < 16; ++i) sixteen[i] = static_cast<uint8_t>(0x30 + i);
  EXPECT_EQ(dump(sixteen),
            "\r\n 00000000 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F ; 0123456789:;<=>?\r\n");

  std::vector<uint8_t> seventeen = sixteen;
  seventeen.push_back(0x45);
  const std::string out = dump(seventeen);
  EXPECT_EQ(out,
            "\r\n 00000000 30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F ; 0123456789:;<=>?"
            "\r\n 00000010 45" + std::string(45, ' ') + " ; E\r\n");
  // A full line is 78 characters.
  EXPECT_EQ(out.find("\r\n", 2), 78u);
}

TEST(HexDump, UnprintableBytesShowAsDots) {
  EXPECT_EQ(dump({0x00, 0x7F, 0xFF, 0x20, 0x7E}),
            "\r\n 00000000 00 7F FF 20 7E" + std::string(33, ' ') + " ; ... ~\r\n");
}

TEST(HexDump, NothingForZeroCountOrFilteredWord) {
  EXPECT_EQ(dump({}), "");
  const LogCounters before = log_counters();
  EXPECT_EQ(dump({1, 2, 3}, 0x11), "");
  EXPECT_EQ(log_counters().lock_taken, before.lock_taken);
}

}  // namespace
}  // namespace kestrel
