// One attached card as the core drives it, apart from any window: its own device list holding
// its one record and open handle, its own link (so its own request counter: cards driven at once
// each number their requests from 1), its own board registry with its board current, its own
// status-block flag and work pages. Cards on different threads share nothing but the backend.
//
//   for (auto& card : Card::attach_all()) upgrade on card->upgrade_card() ...
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "boards/board.h"
#include "devlink/hid_link.h"
#include "devlink/qhidev.h"
#include "update/workflow.h"

namespace kestrel {

class Card {
 public:
  static constexpr size_t kPage = 4096;

  // Takes a copy of a listed record (as qhidev_enum lists it, closed); attach() opens it.
  explicit Card(const qhidev& listed);
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // Opens the card with read and write access and runs the attach exchanges. False when it
  // cannot be opened.
  bool attach();
  // Every card the backend lists, each attached; those that cannot be opened are left out and
  // named in `failed` (their display names).
  static std::vector<std::unique_ptr<Card>> attach_all(std::vector<std::string>* failed = nullptr);

  qhidev& device() { return *list_.items[0]; }
  const qhidev& device() const { return *list_.items[0]; }
  bool attached() const { return list_.current != nullptr; }
  HidLink& link() { return link_; }
  BoardRegistry& registry() { return registry_; }
  // The board the card's status text named, or nullptr before one was named.
  const BoardEntry* board() const { return status_valid_ ? registry_.current : nullptr; }
  bool status_valid() const { return status_valid_ != 0; }

  std::span<uint8_t> text_page(size_t n = 0) { return std::span<uint8_t>(text_).subspan(n * kPage); }
  std::span<uint8_t> status_page(size_t n = 0) { return std::span<uint8_t>(status_).subspan(n * kPage); }

  // The card as the upgrade workflow takes it, with the card's own pages.
  UpgradeCard upgrade_card();

 private:
  qhidev_list list_;
  HidLink link_{list_};
  BoardRegistry registry_{};
  uint8_t status_valid_ = 0;
  alignas(kPage) std::array<uint8_t, 3 * kPage> text_{};
  alignas(kPage) std::array<uint8_t, 2 * kPage> status_{};
};

}  // namespace kestrel
