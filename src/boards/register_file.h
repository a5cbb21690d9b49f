// FPGA register save files: the bank 0x00..0x9F with each read's status, written as text for the
// operator, in a generic form, a TB610R-1CH form that adds the receiver chip's register maps, and
// a TB720V-2CH form.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>

#include "boards/fpga_dump.h"

namespace kestrel {

class HidLink;

enum class RegisterFileKind : uint8_t {
  Generic,  // commands 32817 and 32819
  TB610R,   // command 32818: the generic file and twelve receiver maps
  TB720V,   // command 32820
};

constexpr const char* REGISTER_FILE_FILTER =
    "FPGA regster store(*.txt)|*.txt|XDPK files(*.xpck)|*.xpck|all file(*.*)|*.*||";
constexpr const char* REGISTER_FILE_FILTER_TB720V =
    "TB720V FPGA regster store(*.txt)|*.txt|XDPK files(*.xpck)|*.xpck|all file(*.*)|*.*||";
const char* register_file_filter(RegisterFileKind kind);

// One register of the save-file table: reg_read's result (0, -1, -2) and the byte (0 if it failed).
struct RegisterCell {
  int16_t status = 0;
  uint16_t value = 0;
};
using RegisterTable = std::array<RegisterCell, FPGA_WIDE_REGS>;

// Reads registers 0x00..0x9F of the FPGA, one exchange each.
void register_table_read(HidLink& link, RegisterTable& table);

// The receiver maps of the TB610R-1CH file, in file order.
struct ReceiverMap {
  const char* name;
  uint8_t device;  // 7-bit I2C address
};
constexpr size_t RECEIVER_MAP_COUNT = 12;
std::span<const ReceiverMap> receiver_maps();
constexpr uint32_t RECEIVER_MAP_SIZE = 256;
constexpr uint32_t RECEIVER_MAP_CHUNK = 16;  // bytes per reg_read
constexpr uint32_t RECEIVER_MAP_LINE = 8;    // bytes per file line

// The file's text. Each returns false when a write to the stream failed.
bool register_file_write(FILE* f, RegisterFileKind kind, const RegisterTable& table);
// Reads each map with 16 reads of 16 bytes into `scratch` (256 bytes) and writes its 32 lines.
// A chunk the card does not answer shows zeros.
bool receiver_maps_write(FILE* f, HidLink& link, std::span<uint8_t, RECEIVER_MAP_SIZE> scratch);

}  // namespace kestrel
