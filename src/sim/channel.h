// A protocol channel of the simulated card that owns some report IDs of its own (the flash
// channel, the HID download protocol). The card offers each host call to its channels first;
// a channel that returns Handled::No leaves the report to the card.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace kestrel::sim {

enum class Handled { No, Ok, Fail };

// Told when a channel has a whole image in the flash (the flash channel's verify matched, the
// download's end after its pages): the image kind (1 FPGA, 2 USB controller) and the bytes. The
// card runs it from its next start.
using ImageWrittenFn = std::function<void(uint16_t kind, std::vector<uint8_t> image)>;

class SimChannel {
 public:
  virtual ~SimChannel() = default;
  // report[0] is the report ID; sizes are the whole report as the host hands it over.
  virtual Handled on_set_output(std::span<const uint8_t> report) { return Handled::No; }
  virtual Handled on_get_input(std::span<uint8_t> report) { return Handled::No; }
  virtual Handled on_set_feature(std::span<const uint8_t> report) { return Handled::No; }
  virtual Handled on_get_feature(std::span<uint8_t> report) { return Handled::No; }
};

}  // namespace kestrel::sim
