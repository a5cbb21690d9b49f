// The attached card's picture, for the front ends: the simulated card's pattern when the current
// card is a simulated one, else the V4L2 capture node on the card's USB device.
#pragma once

#include <cstdint>

#include "devlink/qhidev.h"
#include "picture/frame_source.h"
#include "platform/hid_backend.h"

namespace kestrel::picture {

// `backend` is the one the list was made with (a sim backend for simulated cards);
// `color_format` the card's colour format code, the layout asked of the node.
OpenResult open_card_picture(platform::HidBackend* backend, const qhidev_list& list, uint32_t color_format);

}  // namespace kestrel::picture
