#include "card/card.h"

#include "boards/registry.h"
#include "card/attach.h"

namespace kestrel {

Card::Card(const qhidev& listed) {
  std::unique_ptr<qhidev> d = qhidev_clone(listed);
  if (!d) d = std::make_unique<qhidev>();
  d->owner = &list_;
  d->handle.reset();
  list_.items[0] = std::move(d);
  list_.count = 1;
  registry_build(registry_, this);
}

Card::~Card() { qhidev_release_all(list_); }

bool Card::attach() {
  if (!qhidev_open(list_, 0)) return false;
  card_attach_exchanges(link_, *list_.current, &registry_, text_page(0), status_valid_);
  return true;
}

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

UpgradeCard Card::upgrade_card() {
  UpgradeCard c;
  c.link = &link_;
  c.registry = &registry_;
  c.lock_page = text_page(1);
  c.check_page = status_page(0);
  c.control_page = text_page(0);
  c.owner = this;
  return c;
}

}  // namespace kestrel
