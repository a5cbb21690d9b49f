#include "update/upgrade_attempt.h"

#include "update/image_check.h"
#include "update/workflow.h"

namespace kestrel {

history::Attempt upgrade_attempt(const history::CardIdentity& card, uint16_t kind, const std::string& file,
                                 const ImageFile* image, const std::string& version_before) {
  history::Attempt a;
  a.card = card;
  a.kind = kind == UPGRADE_KIND_FPGA ? history::ImageKind::Fpga : history::ImageKind::Firmware;
  a.file_name = file;
  if (image) {
    a.file_size = image->size();
    a.sha256 = history::sha256_hex(image->begin(), image->size());
    // Only a controller image carries an info text; a bitstream's bytes may look like one by chance.
    if (kind != UPGRADE_KIND_FPGA)
      if (const char* info = find_image_info(image->begin(), image->begin() + image->size())) a.info_text = info;
  }
  a.forced = false;
  a.version_before = version_before;
  return a;
}

}  // namespace kestrel
