#include "update/image_limits.h"

#include "bootmode/boot_image.h"
#include "update/image_check.h"
#include "update/workflow.h"

namespace kestrel {

namespace {

std::string too_large(const std::string& file, size_t size, uint32_t limit, const char* region, const char* past) {
  return file + " is " + std::to_string(size) + " bytes; the HID download holds at most " + std::to_string(limit) +
         " bytes of " + region + " (a longer image would overwrite " + past + ")";
}

}  // namespace

std::string upgrade_image_refusal(UpgradePath path, uint16_t kind, const std::string& file,
                                  std::span<const uint8_t> image) {
  if (kind == UPGRADE_KIND_USB) {
    if (image.size() < 2 || image[0] != IMAGE_SIG0 || image[1] != IMAGE_SIG1)
      return file + " is not a USB-controller image (no CY signature)";
    std::string why;
    if (!parse_boot_image(image, &why)) return file + " would not start on the USB controller: " + why;
    if (path == UpgradePath::HidDownload && image.size() > DL_USB_IMAGE_MAX)
      return too_large(file, image.size(), DL_USB_IMAGE_MAX, "controller firmware (blocks 0-3)", "the FPGA logic");
  } else if (path == UpgradePath::HidDownload && image.size() > DL_FPGA_IMAGE_MAX) {
    return too_large(file, image.size(), DL_FPGA_IMAGE_MAX, "FPGA logic (blocks 4-255)", "the USB controller's firmware");
  }
  return {};
}

}  // namespace kestrel
