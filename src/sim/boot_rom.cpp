#include "sim/boot_rom.h"

#include <algorithm>
#include <cstring>

#include "sim/card.h"
#include "sim/scenario.h"
#include "sim/sim_backend.h"

namespace kestrel::sim {

namespace {

// The controller's memories as its boot ROM serves them: code RAM, data RAM, system RAM.
struct BankShape {
  uint32_t base;
  uint32_t size;
};
constexpr BankShape kBanks[] = {{0x00000000, 16 * 1024}, {0x10000000, 8 * 1024}, {0x40000000, 512 * 1024}};
constexpr uint16_t kMaxRequest = 4096;
constexpr uint8_t kVendorOut = 0x40, kVendorIn = 0xC0, kLoad = 0xA0;

}  // namespace

BootRom::BootRom(std::string port) : port_(std::move(port)) {
  for (const BankShape& b : kBanks) banks_.push_back({b.base, std::vector<uint8_t>(b.size, 0)});
}

const uint8_t* BootRom::at(uint32_t address, uint32_t length) const {
  for (const Bank& b : banks_) {
    if (address < b.base) continue;
    const uint64_t off = address - b.base;
    if (off + length <= b.bytes.size()) return b.bytes.data() + off;
  }
  return nullptr;
}

uint8_t* BootRom::at(uint32_t address, uint32_t length) {
  return const_cast<uint8_t*>(static_cast<const BootRom*>(this)->at(address, length));
}

int BootRom::control(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index, std::span<uint8_t> data) {
  std::unique_lock lk(mu_);
  if (!on_bus_) return kGone;
  BootRequest r{request_type, request, value, index, static_cast<uint16_t>(std::min<size_t>(data.size(), 0xFFFF)), {}};
  if (request_type == kVendorOut) r.data.assign(data.begin(), data.end());
  log_.push_back(std::move(r));
  if (vanish_at_ != 0 && log_.size() >= vanish_at_) {
    on_bus_ = false;
    return kGone;
  }
  if (request != kLoad || data.size() > kMaxRequest) return kStall;
  const uint32_t address = (static_cast<uint32_t>(index) << 16) | value;
  const uint32_t n = static_cast<uint32_t>(data.size());
  if (request_type == kVendorOut && n == 0) {
    // The start: the status stage is answered, then the program runs and the ROM is gone.
    if (!at(address, 1)) return kStall;
    started_at_ = address;
    on_bus_ = false;
    lk.unlock();
    if (on_start) on_start(*this);
    return 0;
  }
  uint8_t* mem = n ? at(address, n) : nullptr;
  if (!mem) return kStall;
  if (request_type == kVendorOut) std::memcpy(mem, data.data(), n);
  else if (request_type == kVendorIn) std::memcpy(data.data(), mem, n);
  else return kStall;
  return static_cast<int>(n);
}

bool BootRom::hold() {
  std::lock_guard lk(mu_);
  if (held_) return false;
  held_ = true;
  return true;
}

void BootRom::release() {
  std::lock_guard lk(mu_);
  held_ = false;
}

bool BootRom::on_bus() const {
  std::lock_guard lk(mu_);
  return on_bus_;
}

void BootRom::unplug() {
  std::lock_guard lk(mu_);
  on_bus_ = false;
}

void BootRom::vanish_at_request(uint32_t n) {
  std::lock_guard lk(mu_);
  vanish_at_ = n;
}

std::optional<std::vector<uint8_t>> BootRom::memory(uint32_t address, uint32_t length) const {
  std::lock_guard lk(mu_);
  const uint8_t* p = at(address, length);
  if (!p) return std::nullopt;
  return std::vector<uint8_t>(p, p + length);
}

std::vector<BootRequest> BootRom::requests() const {
  std::lock_guard lk(mu_);
  return log_;
}

std::optional<uint32_t> BootRom::started_at() const {
  std::lock_guard lk(mu_);
  return started_at_;
}

std::vector<uint8_t> BootRom::memory_image() const {
  std::lock_guard lk(mu_);
  std::vector<uint8_t> all;
  for (const Bank& b : banks_) all.insert(all.end(), b.bytes.begin(), b.bytes.end());
  return all;
}

void return_as_card(BootRom& rom, SimBackend& backend) {
  rom.on_start = [&backend](BootRom& started) {
    const auto [tag, version] = image_identity(started.memory_image());
    std::optional<Scenario> scenario = make_scenario(tag);
    if (!scenario) return;
    scenario->firmware_version = version;
    backend.add_card(*scenario, true, started.port());
  };
}

// ---- The host's side --------------------------------------------------------------------------

namespace {

BootResult result_of(int rc, size_t wanted) {
  if (rc == BootRom::kGone) return {BootStatus::Gone, {}};
  if (rc == BootRom::kStall) return {BootStatus::Refused, "stall"};
  if (static_cast<size_t>(rc) != wanted) return {BootStatus::Error, "short transfer"};
  return {};
}

class SimBootPort : public BootPort {
 public:
  explicit SimBootPort(std::shared_ptr<BootRom> rom) : rom_(std::move(rom)) {}
  ~SimBootPort() override { rom_->release(); }
  SimBootPort(const SimBootPort&) = delete;
  SimBootPort& operator=(const SimBootPort&) = delete;
  BootResult write(uint32_t address, std::span<const uint8_t> data) override {
    std::vector<uint8_t> copy(data.begin(), data.end());
    return result_of(rom_->control(BOOT_REQUEST_OUT, BOOT_REQUEST, boot_value_of(address), boot_index_of(address), copy),
                     data.size());
  }
  BootResult read(uint32_t address, std::span<uint8_t> out) override {
    return result_of(rom_->control(BOOT_REQUEST_IN, BOOT_REQUEST, boot_value_of(address), boot_index_of(address), out),
                     out.size());
  }
  BootResult jump(uint32_t entry) override {
    return result_of(rom_->control(BOOT_REQUEST_OUT, BOOT_REQUEST, boot_value_of(entry), boot_index_of(entry), {}), 0);
  }

 private:
  std::shared_ptr<BootRom> rom_;
};

}  // namespace

std::shared_ptr<BootRom> SimBootBus::add_rom() {
  roms_.push_back(std::make_shared<BootRom>("2-" + std::to_string(roms_.size() + 1)));
  return roms_.back();
}

std::vector<BootDeviceInfo> SimBootBus::list() {
  std::vector<BootDeviceInfo> found;
  for (size_t i = 0; i < roms_.size(); ++i)
    if (roms_[i]->on_bus())
      found.push_back({"sim:" + std::to_string(i), "simulated boot ROM " + std::to_string(i), roms_[i]->port()});
  return found;
}

std::unique_ptr<BootPort> SimBootBus::open(const std::string& id, std::string* error) {
  for (size_t i = 0; i < roms_.size(); ++i)
    if (id == "sim:" + std::to_string(i) && roms_[i]->on_bus()) {
      if (!roms_[i]->hold()) {
        if (error) *error = "the device in boot mode at " + roms_[i]->port() + " is in use by another program";
        return nullptr;
      }
      return std::make_unique<SimBootPort>(roms_[i]);
    }
  if (error) *error = "no device in boot mode at " + id;
  return nullptr;
}

}  // namespace kestrel::sim
