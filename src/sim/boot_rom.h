// The simulated USB controller in boot mode: the boot ROM's side of vendor request 0xA0 over a
// model of the controller's three memories, and the bus the host finds it on. After the start
// request it leaves the bus; with return_as_card() it comes back as the card of the loaded
// image's board, in a SimBackend, as a real card comes back running from RAM.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bootmode/boot_port.h"

namespace kestrel::sim {

class SimBackend;

// The name --simulate takes for a card in boot mode.
inline constexpr const char* SIM_BOOT_ROM = "boot-rom";

// One control request as the boot ROM received it.
struct BootRequest {
  uint8_t request_type = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
  std::vector<uint8_t> data;  // the data stage of a host-to-device request
};

class BootRom {
 public:
  static constexpr int kStall = -1;  // the ROM refused the request
  static constexpr int kGone = -2;   // not on the bus

  // `port`: the USB port path the device sits on ("2-1"), where its card comes back.
  explicit BootRom(std::string port = "2-1");
  const std::string& port() const { return port_; }
  // One program at a time holds the device (the host claims its interface): false while held.
  bool hold();
  void release();

  // One request on the control pipe; `data` is the data stage (sent, or to be filled). Bytes
  // transferred, kStall or kGone.
  int control(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index, std::span<uint8_t> data);

  bool on_bus() const;
  void unplug();
  // Fault: the ROM leaves the bus when its n-th request (1-based) arrives, without answering it.
  void vanish_at_request(uint32_t n);

  // What the memory holds at [address, address + length); nullopt where there is no memory.
  std::optional<std::vector<uint8_t>> memory(uint32_t address, uint32_t length) const;
  // Every request received, in order.
  std::vector<BootRequest> requests() const;
  // The entry address of the start request, once one came.
  std::optional<uint32_t> started_at() const;
  // All three memories one after another: what the started program is made of.
  std::vector<uint8_t> memory_image() const;

  // Called once the start request was answered and the ROM left the bus (outside its lock).
  std::function<void(BootRom&)> on_start;

 private:
  struct Bank {
    uint32_t base;
    std::vector<uint8_t> bytes;
  };
  uint8_t* at(uint32_t address, uint32_t length);  // nullptr unless one bank holds it all
  const uint8_t* at(uint32_t address, uint32_t length) const;

  mutable std::mutex mu_;
  std::vector<Bank> banks_;
  std::vector<BootRequest> log_;
  bool on_bus_ = true;
  uint32_t vanish_at_ = 0;
  std::optional<uint32_t> started_at_;
  std::string port_;
  bool held_ = false;
};

// Makes the ROM come back, once started, as the card of the board its loaded image names (its
// info text: the board tag and version), added to `backend` and plugged in on the ROM's port. An image that names
// no board the simulation knows leaves nothing behind.
void return_as_card(BootRom& rom, SimBackend& backend);

// The host's view of simulated boot ROMs: ids "sim:<index>", ROM i on port "2-<i+1>".
class SimBootBus : public BootBus {
 public:
  std::shared_ptr<BootRom> add_rom();
  std::shared_ptr<BootRom> rom(size_t index) const { return roms_.at(index); }
  std::vector<BootDeviceInfo> list() override;
  std::unique_ptr<BootPort> open(const std::string& id, std::string* error = nullptr) override;

 private:
  std::vector<std::shared_ptr<BootRom>> roms_;
};

}  // namespace kestrel::sim
