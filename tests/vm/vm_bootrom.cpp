// kestrel-vm-bootrom: the simulated boot ROM as a real USB device, for the VM test. A FunctionFS
// function on the kernel's dummy_hcd that takes every control request of the device makes it
// enumerate as 04B4:00F3 with no HID interface and answer vendor request 0xA0 on ep0 from the
// same memory model the unit tests load into. After the start request it leaves the bus and
// becomes the card its loaded image names: it runs `kestrel-sim --gadget BOARD --udc UDC` in its
// place, so the card comes back on the same controller and USB port as a card on a cable would
// (`kestrel-sim --uhid BOARD` where the guest lacks usbhid).
//
//   kestrel-vm-bootrom FFS_DIR GADGET_DIR UDC
//
// FFS_DIR: where the function's FunctionFS is mounted; GADGET_DIR: the configfs gadget that
// holds it (04b4:00f3); UDC: the controller to bind to once the descriptors are in (dummy_udc.0).
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "devlink/frame.h"
#include "sim/boot_rom.h"
#include "sim/card.h"
#include "sim/scenario.h"

namespace {

using kestrel::put_le32;
using kestrel::sim::BootRom;

// One vendor-specific interface without endpoints, at full and high speed (everything goes over
// ep0), and the flag that hands the function the requests addressed to the device as well.
std::vector<uint8_t> descriptors() {
  uint8_t intf[USB_DT_INTERFACE_SIZE] = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 0, 0xFF, 0, 0, 0};
  std::vector<uint8_t> d(12 + 8);
  put_le32(d.data(), FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  put_le32(d.data() + 8, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
  put_le32(d.data() + 12, 1);  // full-speed descriptors
  put_le32(d.data() + 16, 1);  // high-speed descriptors
  d.insert(d.end(), intf, intf + sizeof intf);
  d.insert(d.end(), intf, intf + sizeof intf);
  put_le32(d.data() + 4, static_cast<uint32_t>(d.size()));
  return d;
}

std::vector<uint8_t> no_strings() {
  std::vector<uint8_t> s(16, 0);
  put_le32(s.data(), FUNCTIONFS_STRINGS_MAGIC);
  put_le32(s.data() + 4, 16);
  return s;
}

bool write_file(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

// FunctionFS: a request's data stage or status is a transfer on ep0 in its own direction; one in
// the other direction stalls it (and fails with EL2HLT).
void stall(int fd, const usb_ctrlrequest& s) {
  uint8_t none = 0;
  const ssize_t r = (s.bRequestType & USB_DIR_IN) ? read(fd, &none, 0) : write(fd, &none, 0);
  (void)r;
}

// One SETUP: 1 when the ROM started a program, 0 otherwise, -1 on an error of ep0.
int handle(int fd, BootRom& rom, const usb_ctrlrequest& s) {
  const uint16_t length = s.wLength;
  std::vector<uint8_t> data(length);
  const bool in = s.bRequestType & USB_DIR_IN;
  if (!in && length > 0 && read(fd, data.data(), length) != length) return -1;
  const int n = rom.control(s.bRequestType, s.bRequest, s.wValue, s.wIndex, data);
  if (n < 0) {
    // Data already taken cannot be stalled any more; the host's read-back shows the refusal.
    if (in || length == 0) stall(fd, s);
    return 0;
  }
  if (in && write(fd, data.data(), static_cast<size_t>(n)) != n) return -1;
  if (!in && length == 0) {
    uint8_t none = 0;
    if (read(fd, &none, 0) < 0) return -1;
  }
  return rom.started_at() ? 1 : 0;
}

int fail(const char* what) {
  std::fprintf(stderr, "kestrel-vm-bootrom: %s: %s\n", what, std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kestrel-vm-bootrom FFS_DIR GADGET_DIR UDC\n");
    return 2;
  }
  const std::string ep0 = std::string(argv[1]) + "/ep0", udc = std::string(argv[2]) + "/UDC";
  const int fd = open(ep0.c_str(), O_RDWR);
  if (fd < 0) return fail(ep0.c_str());
  const std::vector<uint8_t> desc = descriptors(), strings = no_strings();
  if (write(fd, desc.data(), desc.size()) != static_cast<ssize_t>(desc.size())) return fail("descriptors");
  if (write(fd, strings.data(), strings.size()) != static_cast<ssize_t>(strings.size())) return fail("strings");
  if (!write_file(udc, argv[3])) return fail(udc.c_str());
  std::fprintf(stderr, "kestrel-vm-bootrom: on the bus as 04b4:00f3\n");

  BootRom rom;
  for (;;) {
    usb_functionfs_event ev;
    const ssize_t got = read(fd, &ev, sizeof ev);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got != static_cast<ssize_t>(sizeof ev)) return fail("reading ep0 events");
    if (ev.type != FUNCTIONFS_SETUP) continue;
    const int r = handle(fd, rom, ev.u.setup);
    if (r < 0) return fail("ep0 transfer");
    if (r == 0) continue;
    // The program runs: the controller leaves the bus and comes back as what the image is.
    write_file(udc, "\n");
    close(fd);
    const auto [tag, version] = kestrel::sim::image_identity(rom.memory_image());
    if (!kestrel::sim::make_scenario(tag)) {
      std::fprintf(stderr, "kestrel-vm-bootrom: started at 0x%08X; the image names no board\n", *rom.started_at());
      return 0;
    }
    // The card on the same controller, so on the same USB port, where the host side can take a
    // card on USB (usbhid loaded); behind uhid otherwise.
    const bool usb = access("/sys/module/usbhid", F_OK) == 0;
    std::fprintf(stderr, "kestrel-vm-bootrom: started at 0x%08X; now the %s card %s %s\n", *rom.started_at(),
                 tag.c_str(), usb ? "on USB through" : "behind uhid, not", argv[3]);
    if (usb)
      execlp("kestrel-sim", "kestrel-sim", "--gadget", tag.c_str(), "--udc", argv[3], static_cast<char*>(nullptr));
    else
      execlp("kestrel-sim", "kestrel-sim", "--uhid", tag.c_str(), static_cast<char*>(nullptr));
    return fail("kestrel-sim");
  }
}
