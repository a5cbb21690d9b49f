#include "devlink/card_names.h"

namespace kestrel {

CardNames card_names(platform::HidBackend* backend, const qhidev& card) {
  CardNames n;
  platform::HidInterfaceInfo info;
  if (!backend || !backend->describe(card.node, info)) return n;
  n.port = std::move(info.port);
  n.serial = std::move(info.serial);
  if (info.product_ok) n.product = std::move(info.product);
  return n;
}

bool looks_like_port_path(std::string_view text) {
  // Digits, one dash, then digit groups joined by dots: no empty group anywhere.
  const size_t dash = text.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash + 1 == text.size()) return false;
  bool group_has_digit = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      group_has_digit = true;
    } else if ((i == dash || (c == '.' && i > dash)) && group_has_digit) {
      group_has_digit = false;
    } else {
      return false;
    }
  }
  return group_has_digit;
}

int card_on_port(platform::HidBackend* backend, const qhidev_list& list, std::string_view port) {
  if (port.empty()) return -1;
  for (uint32_t i = 0; i < list.count; ++i) {
    const qhidev* d = list.items[i].get();
    if (d && card_names(backend, *d).port == port) return static_cast<int>(i);
  }
  return -1;
}

std::string attached_cards_text(platform::HidBackend* backend, const qhidev_list& list) {
  std::string text;
  for (uint32_t i = 0; i < list.count; ++i) {
    const qhidev* d = list.items[i].get();
    if (!d) continue;
    const CardNames n = card_names(backend, *d);
    if (!text.empty()) text += ", ";
    text += std::to_string(i) + " port " + (n.port.empty() ? "?" : n.port) + " node " + d->node;
  }
  return text.empty() ? "none" : text;
}

std::string card_names_tooltip(platform::HidBackend* backend, const qhidev& card) {
  const CardNames n = card_names(backend, card);
  std::string text = "port " + (n.port.empty() ? std::string("?") : n.port);
  if (!n.serial.empty()) text += "  serial " + n.serial;
  return text + "\n" + card.node;
}

std::string card_line(std::string_view board, const CardNames& n, bool zh) {
  auto or_unknown = [](std::string_view v) { return v.empty() ? std::string("?") : std::string(v); };
  return std::string(zh ? "板卡型号: " : "Board: ") + or_unknown(board) + (zh ? "   USB端口: " : "   Port: ") +
         or_unknown(n.port) + (zh ? "   序列号: " : "   Serial: ") + or_unknown(n.serial);
}

std::string no_card_line(bool zh) { return zh ? "未选择采集卡" : "No card selected"; }

}  // namespace kestrel
