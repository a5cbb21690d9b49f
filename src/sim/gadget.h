// `kestrel-sim --gadget BOARD[,BOARD...]`: each simulated card as a real USB device, a gadget on
// a USB device controller (the kernel's dummy_hcd in the VM test) made through configfs, so that
// the host's own USB stack enumerates it as it would a card on a cable: the board's vendor and
// product ID, product and serial strings, and the card's vendor HID interface as interface 2,
// carried by FunctionFS and answered here: the report descriptor (GET_DESCRIPTOR 0x22),
// GET_REPORT and SET_REPORT on the control pipe, and the card's own reports on an interrupt-IN
// endpoint, so that the host's usbhid makes the /dev/hidrawN. The reports go to and come from
// the same translator as the uhid bridge's.
//
// Interfaces 0 and 1, where a card has its USB Video Class function, are vendor-specific
// interfaces without endpoints: no driver takes them and no capture node is made. The kernel's
// UVC function (usb_f_uvc) streams only over isochronous endpoints, which dummy_hcd does not
// have (its bind fails with "Unable to allocate streaming EP"), and FunctionFS refuses the video
// class's own descriptors. So the capture node is never found on a gadget card: the node
// matching is checked against recorded sysfs trees instead.
//
// The card's restart after an upgrade is a USB disconnect and reconnect on the same port: the
// gadget is unbound from its controller and bound to it again once the card is back.
//
// Why FunctionFS and not usb_f_hid: usb_f_hid answers GET_REPORT from a buffer of its own (or not
// at all) and takes output reports on an OUT endpoint the host then prefers; the card needs every
// get answered with fresh data and every set taken on the control pipe, as its controller does.
// FUNCTIONFS_ALL_CTRL_RECIP is not asked for: every request the card answers is addressed to its
// interface, and the flag would hand the function the device's class and vendor requests too.
#pragma once

#include <linux/usb/ch9.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/hid_backend.h"
#include "sim/scenario.h"
#include "sim/uhid.h"

namespace kestrel::sim {

// The FunctionFS descriptor blob (full and high speed): interfaces 0 and 1 vendor-specific and
// empty, interface 2 of class 3 with its HID class descriptor (naming a report descriptor of
// `report_descriptor_size` bytes) and one interrupt-IN endpoint. No OUT endpoint: the host then
// sends every output report as SET_REPORT on the control pipe, and the card has taken it when the
// host's call returns.
std::vector<uint8_t> gadget_hid_descriptors(size_t report_descriptor_size);
// The FunctionFS strings blob: none.
std::vector<uint8_t> gadget_hid_strings();

// What the card answers to one control request addressed to its HID interface.
struct ControlAnswer {
  bool stall = false;
  std::vector<uint8_t> data;  // IN: the data stage (at most wLength bytes)
};

// The HID interface's control requests, answered by the card through the uhid bridge's
// translator (the same report table, the same sizes, the same legacy-download tracking).
class GadgetHidControl {
 public:
  explicit GadgetHidControl(platform::HidDevice& card);
  // One SETUP addressed to the HID interface; `out_data` is the data stage the host sent with an
  // OUT request.
  ControlAnswer handle(const usb_ctrlrequest& setup, std::span<const uint8_t> out_data);
  const UhidTranslator& translator() const { return translator_; }

 private:
  UhidTranslator translator_;
  std::vector<uint8_t> report_descriptor_;
  uint8_t idle_ = 0;
  uint32_t seq_ = 0;
};

struct GadgetOptions {
  // The device controller of each card, in order; missing ones are dummy_udc.<index>.
  std::vector<std::string> udcs;
};

// Serves the cards until SIGINT or SIGTERM. The commands on standard input go to the first card,
// as with --uhid. Returns 0 when stopped, 1 when a card was unplugged by a fault, 2 when the
// gadget cannot be made (no configfs, no FunctionFS, no such controller: the reason is printed).
int run_gadget(const std::vector<Scenario>& scenarios, const GadgetOptions& options);

}  // namespace kestrel::sim
