// Construction, the start, the card's events and the snapshot of a session.
#include "card/card_session.h"

#include "log/clock.h"

namespace kestrel {

namespace {
constexpr uint64_t kFirstEnableDelayNs = 500'000'000ULL;  // the next display re-applies the busy state
}  // namespace

CardSession::CardSession(qhidev_list& list) : list_(&list), card_(list) {
  // The constructor must not use the clock: start-up computes its scale afterwards.
  card_.load_scripts();
  // A status change that came while the download lock was held is taken up once it is released.
  card_.on_lock_change([this](bool locked) {
    if (locked) {
      pending_event_ = 0;
    } else if (pending_event_) {
      pending_event_ = 0;
      post(CardEvent::StatusChange);
    }
  });
}

CardSession::~CardSession() {
  stop_listening();
  qhidev_release_all(*list_);
}

void CardSession::stop_listening() {
  ReaderControl* r = card_.reader();
  ReaderHold hold(r);
  // The reader must not call back into a session that is going: it stays idle from here on.
  if (r) r->run.store(0, std::memory_order_release);
}

void CardSession::listen_with(ReaderControl& r) {
  r.list = list_;
  r.context = this;
  r.callback = &CardSession::on_reader_event;
  card_.set_reader(&r);
}

void CardSession::init() {
  board_scan();
  observer_->enable_device_controls(shown_.card >= 0);
  observer_->show_restart_wait(-1);
  refresh_status();
  enable_deadline_ns_ = clock_now_ns() + kFirstEnableDelayNs;
}

void CardSession::handle(CardEvent event) {
  switch (event) {
    case CardEvent::CardText: print_card_text(); break;
    case CardEvent::StatusChange: on_status_change(); break;
    case CardEvent::FrameTiming: print_frame_timing(); break;
    case CardEvent::StdView: log_stdview_output(); break;
    case CardEvent::StatusRefresh: refresh_status(); break;
  }
}

void CardSession::post(CardEvent event) {
  if (post_) {
    post_(event);
    return;
  }
  std::lock_guard<std::mutex> g(post_lock_);
  posted_.push_back(event);
}

std::vector<CardEvent> CardSession::take_posted() {
  std::lock_guard<std::mutex> g(post_lock_);
  std::vector<CardEvent> out;
  out.swap(posted_);
  return out;
}

void CardSession::choose(int& choice, int index, size_t count) {
  choice = (index >= 0 && static_cast<size_t>(index) < count) ? index : -1;
}

CardSnapshot CardSession::snapshot() const {
  CardSnapshot s;
  auto chosen = [](const std::vector<std::string>& items, int at) {
    return at >= 0 && static_cast<size_t>(at) < items.size() ? items[static_cast<size_t>(at)] : std::string();
  };
  const BoardEntry* board = card_.registry()->current;
  s.board = board ? board->name : "";
  s.version = shown_.version;
  s.signal_format = shown_.signal_format;
  s.title = shown_.title;
  s.input = shown_.input;
  s.input_name = chosen(shown_.inputs, shown_.input);
  s.input_held = fixed_input_ != 0;
  s.input_locked = input_locked_ != 0;
  s.color_format = color_format_;
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
