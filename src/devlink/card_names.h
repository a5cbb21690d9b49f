// The names a Linux user knows a listed card by, besides its display name: the USB port path
// ("1-2.3", the same after a replug into the same socket and after a reboot), the USB serial and
// product strings, and the hidraw node. The backend reads them (sysfs for hidraw), so they are
// looked up when asked for rather than kept in the list's records.
#pragma once

#include <string>
#include <string_view>

#include "devlink/qhidev.h"
#include "platform/hid_backend.h"

namespace kestrel {

struct CardNames {
  std::string port;     // "" when the backend does not know it
  std::string serial;
  std::string product;
};

// The names of a listed card; all empty when there is no backend or the node has left.
CardNames card_names(platform::HidBackend* backend, const qhidev& card);

// "1-2", "3-1.4.2": bus, dash, port numbers joined by dots.
bool looks_like_port_path(std::string_view text);

// The position in the list of the card on port `port`; -1 when no listed card is there.
int card_on_port(platform::HidBackend* backend, const qhidev_list& list, std::string_view port);

// What is attached, for an error message: "0 port 1-1 node sim:0, 1 port 1-2 node sim:1".
std::string attached_cards_text(platform::HidBackend* backend, const qhidev_list& list);

// Two lines for a tooltip of the card list: "port 1-2.3  serial AB12" and the node.
std::string card_names_tooltip(platform::HidBackend* backend, const qhidev& card);

}  // namespace kestrel
