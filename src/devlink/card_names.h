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

// The line that names the selected card where a user sees it without hovering: its board model,
// USB port path and serial ("?" for what is not known), in English or Chinese:
// "Board: TB610M-1CH   Port: 1-2.3   Serial: AB12" / "板卡型号: TB610M-1CH   USB端口: 1-2.3   序列号: AB12".
std::string card_line(std::string_view board, const CardNames& names, bool chinese);
// The same line when no card is selected.
std::string no_card_line(bool chinese);

}  // namespace kestrel
