// One attached card driven on its own, apart from any window: its own device list holding its one
// record and open handle, its own link (so its own request counter: cards driven at once each
// number their requests from 1), its own board registry with its board current, its own
// status-block flag and work pages, and every typed operation of the current card. Cards on
// different threads share nothing but the backend.
//
//   for (auto& card : Card::attach_all()) upgrade on card->upgrade_card() ...
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "boards/board.h"
#include "card/current_card.h"
#include "devlink/qhidev.h"

namespace kestrel {

namespace card_detail {
// What a Card owns and its current-card part works on; built before that part.
struct OwnDevice {
  qhidev_list own_list;
  BoardRegistry own_registry{};
  uint8_t own_status_valid = 0;
};
}  // namespace card_detail

class Card : private card_detail::OwnDevice, public CurrentCard {
 public:
  // Takes a copy of a listed record (as qhidev_enum lists it, closed); attach() opens it.
  explicit Card(const qhidev& listed);

  // Opens the card with read and write access and runs the attach exchanges. False when it
  // cannot be opened.
  bool attach();
  // Every card the backend lists, each attached; those that cannot be opened are left out and
  // named in `failed` (their display names).
  static std::vector<std::unique_ptr<Card>> attach_all(std::vector<std::string>* failed = nullptr);

  qhidev& device() { return *own_list.items[0]; }
  const qhidev& device() const { return *own_list.items[0]; }
  bool attached() const { return own_list.current != nullptr; }
  // The board the card's status text named, or nullptr before one was named.
  const BoardEntry* board() const { return own_status_valid ? own_registry.current : nullptr; }
  bool status_valid() const { return own_status_valid != 0; }
};

}  // namespace kestrel
