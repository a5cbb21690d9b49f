// A card's construction and attach, and how the upgrade and its history take it.
#include "card/card.h"

#include "boards/registry.h"
#include "card/attach.h"
#include "devlink/card_names.h"

namespace kestrel {

namespace {

// The card's one record: a copy of the listed one, owned by the card's own list, closed.
std::unique_ptr<qhidev_list> holding(const qhidev& listed) {
  auto list = std::make_unique<qhidev_list>();
  std::unique_ptr<qhidev> d = qhidev_clone(listed);
  if (!d) d = std::make_unique<qhidev>();
  d->owner = list.get();
  d->handle.reset();
  list->items[0] = std::move(d);
  list->count = 1;
  return list;
}

}  // namespace

Card::Card(qhidev_list& list) : list_(&list), link_(list) {
  link_.status_block_valid = &status_valid_;
  link_.reg_seq = &reg_seq_;
  registry_build(registry_, this);
}

Card::Card(const qhidev& listed) : own_(holding(listed)), list_(own_.get()), link_(*own_) {
  link_.status_block_valid = &status_valid_;
  link_.reg_seq = &reg_seq_;
  registry_build(registry_, this);
}

Card::~Card() {
  if (own_) qhidev_release_all(*own_);
}

qhidev* Card::device() const { return list_->current; }

bool Card::attach(uint32_t index) {
  qhidev_list& l = *list_;
  open_failure_ = platform::OpenFailure::None;
  if (l.current && l.current_index == index && index < l.count && l.items[index].get() == l.current) return true;
  {
    ReaderHold hold(reader_);
    if (!qhidev_open(l, index, &open_failure_)) return false;
  }
  qhidev* d = l.current;
  card_attach_exchanges(link_, *d, &registry_, text_page(0), status_valid_);
  // The reader reads while the card sends asynchronous reports.
  if (reader_) reader_->run.store((d->link_flags & QHIDEV_F_ASYNC_MASK) ? 1 : 0, std::memory_order_release);
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

history::CardIdentity Card::history_identity() {
  history::CardIdentity card;
  if (registry_.current) card.board = registry_.current->name;
  if (const qhidev* d = device()) {
    card.node = d->node;
    CardNames names = card_names(platform::backend(), *d);
    card.port_path = std::move(names.port);
    card.usb_serial = std::move(names.serial);
  }
  return card;
}

UpgradeCard Card::upgrade_card() {
  UpgradeCard card;
  card.link = &link_;
  card.registry = &registry_;
  card.lock_page = text_page(1);
  card.check_page = status_page(0);
  card.control_page = text_page(0);
  card.owner = this;
  card.download_lock = [this](int mode) { return set_download_lock(mode); };
  return card;
}

}  // namespace kestrel
