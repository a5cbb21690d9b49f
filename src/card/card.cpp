#include "card/card.h"

#include "boards/registry.h"

namespace kestrel {

namespace {

// The card's one record: a copy of the listed one, owned by the card's own list, closed.
qhidev_list& holding(qhidev_list& list, const qhidev& listed) {
  std::unique_ptr<qhidev> d = qhidev_clone(listed);
  if (!d) d = std::make_unique<qhidev>();
  d->owner = &list;
  d->handle.reset();
  list.items[0] = std::move(d);
  list.count = 1;
  return list;
}

}  // namespace

Card::Card(const qhidev& listed)
    : OwnDevice(), CurrentCard(holding(own_list, listed), own_registry, own_status_valid) {}

bool Card::attach() { return board_attach(0); }

std::vector<std::unique_ptr<Card>> Card::attach_all(std::vector<std::string>* failed) {
  std::vector<std::unique_ptr<Card>> cards;
  qhidev_list listed;
  qhidev_enum(listed);
  for (uint32_t i = 0; i < listed.count; ++i) {
    if (!listed.items[i]) continue;
    auto card = std::make_unique<Card>(*listed.items[i]);
    if (card->attach())
      cards.push_back(std::move(card));
    else if (failed)
      failed->push_back(listed.items[i]->name);
  }
  qhidev_release_all(listed);
  return cards;
}

}  // namespace kestrel
