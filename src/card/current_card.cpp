// Construction, the start, the posted commands and the snapshot of the current card.
#include "card/current_card.h"

#include "card/card_commands.h"
#include "boards/registry.h"
#include "devlink/card_names.h"
#include "devlink/status_flag.h"
#include "platform/hid_backend.h"
#include "log/clock.h"

namespace kestrel {

namespace {
constexpr uint64_t kFirstEnableDelayNs = 500'000'000ULL;  // the next display re-applies the busy state
}  // namespace

CurrentCard::CurrentCard(qhidev_list& list) : m_link(list), list_(&list), status_valid_(&g_status_block_valid) {
  // The constructor must not use the clock: start-up computes its scale afterwards.
  m_registry = &registry_build(this);
  load_scripts();
}

CurrentCard::CurrentCard(qhidev_list& list, BoardRegistry& registry, uint8_t& status_valid)
    : m_link(list), list_(&list), status_valid_(&status_valid) {
  m_link.status_block_valid = &status_valid;
  m_link.reg_seq = &own_reg_seq_;
  m_registry = &registry_build(registry, this);
}

CurrentCard::~CurrentCard() {
  ReaderHold hold(m_reader);
  // The reader must not call back into a card that is gone: it stays idle from here on.
  if (m_reader) m_reader->run.store(0, std::memory_order_release);
  qhidev_release_all(*list_);
}

void CurrentCard::stop_listening() {
  ReaderHold hold(m_reader);
  if (m_reader) m_reader->run.store(0, std::memory_order_release);
}

void CurrentCard::init() {
  board_scan();
  enable_device_controls(shown_.card >= 0);
  show_restart_wait(-1);
  on_status_refresh_command();
  m_enable_deadline_ns = clock_now_ns() + kFirstEnableDelayNs;
}

bool CurrentCard::on_card_command(uint32_t id) {
  switch (id) {
    case ids::ID_DEV_TEXT_EVENT: on_dev_text_event(); return true;
    case ids::ID_DEV_INTR_EVENT: on_dev_intr_event(); return true;
    case ids::ID_MONITOR_QUERY: on_monitor_query(); return true;
    case ids::ID_STDVIEW_EVENT: on_stdview_event(); return true;
    case ids::ID_STATUS_REFRESH: on_status_refresh_command(); return true;
    default: return false;
  }
}

void CurrentCard::post(uint32_t id) {
  std::lock_guard<std::mutex> g(post_lock_);
  posted_.push_back(id);
}

std::vector<uint32_t> CurrentCard::take_posted() {
  std::lock_guard<std::mutex> g(post_lock_);
  std::vector<uint32_t> out;
  out.swap(posted_);
  return out;
}

void CurrentCard::choose(int& choice, int index, size_t count) {
  choice = (index >= 0 && static_cast<size_t>(index) < count) ? index : -1;
}

history::CardIdentity CurrentCard::history_identity() {
  history::CardIdentity card;
  if (m_registry && m_registry->current) card.board = m_registry->current->name;
  if (const qhidev* d = list_->current) {
    card.node = d->node;
    CardNames names = card_names(platform::backend(), *d);
    card.port_path = std::move(names.port);
    card.usb_serial = std::move(names.serial);
  }
  return card;
}

UpgradeCard CurrentCard::upgrade_card() {
  UpgradeCard card;
  card.link = &m_link;
  card.registry = m_registry;
  card.lock_page = text_page(1);
  card.check_page = status_page(0);
  card.control_page = text_page(0);
  card.owner = this;
  card.download_lock = [this](int mode) { return set_download_lock(mode); };
  return card;
}

CardSnapshot CurrentCard::snapshot() const {
  CardSnapshot s;
  auto chosen = [](const std::vector<std::string>& items, int at) {
    return at >= 0 && static_cast<size_t>(at) < items.size() ? items[static_cast<size_t>(at)] : std::string();
  };
  s.board = m_registry && m_registry->current ? m_registry->current->name : "";
  s.version = shown_.version;
  s.signal_format = shown_.signal_format;
  s.title = shown_.title;
  s.input = shown_.input;
  s.input_name = chosen(shown_.inputs, shown_.input);
  s.input_held = m_fixed_input != 0;
  s.input_locked = m_input_locked != 0;
  s.color_format = m_color_format;
  s.default_size = chosen(shown_.default_sizes, shown_.default_size);
  s.output_port = chosen(shown_.output_ports, shown_.output_port);
  s.inputs = shown_.inputs;
  for (size_t i = 0; i < s.inputs.size(); ++i) s.input_usable.push_back(!shown_.input_unknown(static_cast<int>(i)));
  s.default_sizes = shown_.default_sizes;
  s.output_ports = shown_.output_ports;
  s.output_port_choice = shown_.output_port_choice;
  return s;
}

}  // namespace kestrel
