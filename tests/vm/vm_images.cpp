// kestrel-vm-images DIR: the upgrade images of the kernel-level test, written into DIR.
//
//   fpga.bit              an FPGA bitstream of 64 KiB (flash channel upgrade)
//   fpga-large.bit        one of 2 MiB, long enough to pull the card out in the middle
//   usb-TB610M-1CH.img    a USB-controller image whose info text names TB610M-1CH (HID download;
//                         the board without a flash channel whose probe recognises the card)
//   usb-meadow.img        one for meadow with the trailer its integrity test wants (flash channel)
//   boot-meadow.img       meadow's firmware as a boot image with sections, for the rescue
#include <cstdio>
#include <string>

#include "support/boot_images.h"
#include "support/test_images.h"

namespace {

bool write(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kestrel-vm-images DIR\n");
    return 2;
  }
  using namespace kestrel::test;
  const std::string dir = argv[1];
  const bool ok = write(dir + "/fpga.bit", fpga_bitstream(64 * 1024)) &&
                  write(dir + "/fpga-large.bit", fpga_bitstream(2 * 1024 * 1024, 0x3C)) &&
                  write(dir + "/usb-TB610M-1CH.img", usb_image(tagged("TB610M-1CH", 48 * 1024))) &&
                  write(dir + "/usb-meadow.img", with_trailer(usb_image(tagged("meadow", 48 * 1024)))) &&
                  write(dir + "/boot-meadow.img", with_trailer(card_boot_image(tagged("meadow", 48 * 1024))));
  if (!ok) {
    std::perror(dir.c_str());
    return 1;
  }
  return 0;
}
