// Tooltips on the card list's items: the USB port path, serial and node of each card, which the
// list's texts (the display names) leave out. The list's texts stay as they are.
#pragma once

#include <functional>

#include "devlink/qhidev.h"
#include "platform/hid_backend.h"

class QComboBox;

namespace kestrel::qt {

// From now on every item added to `cards` gets the tooltip of the card at its position in the
// list that `list` returns (nullptr: none); the list box's own tooltip follows the selection.
void install_card_tooltips(QComboBox* cards, platform::HidBackend* backend,
                           std::function<const qhidev_list*()> list);

}  // namespace kestrel::qt
