#include "cli/verify_end.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "log/clock.h"
#include "log/log.h"
#include "platform/hid_backend.h"
#include "sim/card.h"
#include "sim/sim_backend.h"
#include "update/return_watch.h"
#include "update/workflow.h"

namespace kestrel::cli {

namespace {

std::vector<ListedCard> listed_now() {
  std::vector<platform::HidInterfaceInfo> list;
  platform::HidBackend* b = platform::backend();
  if (b) b->enumerate(list);
  std::vector<ListedCard> now;
  for (const auto& e : list) now.push_back({{e.path, e.vendor_id, e.product_id}, e.port});
  return now;
}

// Counts down on standard error: one line redrawn on a terminal, a line every five seconds
// otherwise.
class Countdown {
 public:
  Countdown(bool quiet, const char* what) : quiet_(quiet), tty_(isatty(STDERR_FILENO)), what_(what) {}
  void show(uint32_t left_s) {
    if (quiet_ || left_s == last_) return;
    if (tty_) std::fprintf(stderr, "\r %s: %u s  ", what_, left_s);
    else if (last_ == ~0u || left_s % 5 == 0) std::fprintf(stderr, " %s: %u s\n", what_, left_s);
    last_ = left_s;
  }
  ~Countdown() {
    if (tty_ && !quiet_ && last_ != ~0u) std::fputc('\n', stderr);
  }
  Countdown(const Countdown&) = delete;
  Countdown& operator=(const Countdown&) = delete;

 private:
  bool quiet_, tty_;
  const char* what_;
  uint32_t last_ = ~0u;
};

// Attaches the card that came back at `path`, as the desktop program does on a device change,
// and reads its text. The watch tries again while the open is refused as udev not being done.
std::optional<std::string> reattach(Session& s, const std::string& path, platform::OpenFailure& why) {
  CardSession& w = s.card_session();
  qhidev_list& l = s.list();
  w.on_device_change(CardSession::DEVICE_ARRIVAL);
  why = platform::OpenFailure::NotFound;  // listed by the kernel, not yet openable
  for (uint32_t i = 0; i < l.count; ++i) {
    const qhidev* d = l.items[i].get();
    if (!d || d->path != path) continue;
    if (l.current != d) w.attach_card(static_cast<int>(i));
    why = l.current == d ? platform::OpenFailure::None : w.open_failure();
    break;
  }
  if (why != platform::OpenFailure::None) return std::nullopt;
  return read_status_text(w.card().link(), w.card().status_page(0));
}

// The simulated user of the tests: replugs the simulated card a while after being asked to.
void replug_simulated_card_later(Session& s) {
  if (!s.sim() || s.options().sim_replug_after_s == 0 || s.sim()->card_count() == 0) return;
  auto card = s.sim()->card(0);
  const uint32_t after_ms = s.options().sim_replug_after_s * 1000;
  std::thread([card, after_ms] {
    std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
    card->unplug();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    card->plug();
  }).detach();
}

}  // namespace

VerifyReport verify_upgrade_end(Session& s, uint16_t kind, const std::optional<ImageVersion>& image, const EndWait& wait) {
  Output& out = s.out();
  CardKey card;
  if (const qhidev* d = s.list().current) {
    card.path = d->path;
    card.vendor_id = d->attributes.vendor_id;
    card.product_id = d->attributes.product_id;
  }
  // The card's port, and the other cards listed now: those are never taken for it.
  std::string port;
  std::vector<std::string> others;
  for (const ListedCard& e : listed_now()) {
    if (e.key.path == card.path) port = e.port;
    else others.push_back(e.key.path);
  }
  ReturnLook look;
  look.list = listed_now;
  look.taken = [&] { return others; };
  look.still_text = [&] { return read_status_text(s.card().link(), s.card().status_page(0)); };
  look.open_back = [&](const std::string& path, platform::OpenFailure& why) { return reattach(s, path, why); };
  ReturnWatch watch(kind, image, card, port, look);

  std::optional<Countdown> replug_countdown, back_countdown;
  auto run = [&] {
    while (!watch.poll()) {
      if (s.interrupted()) {
        watch.stop("nothing: interrupted");
        break;
      }
      if (watch.phase() == ReturnWatch::Phase::Away) {
        replug_countdown.reset();  // its line ends before the next one begins
        if (!back_countdown) back_countdown.emplace(out.json(), "waiting for the card to come back");
        back_countdown->show(watch.seconds_left());
      } else if (replug_countdown) {
        replug_countdown->show(watch.seconds_left());
      }
      sleep_ms(RESTART_POLL_MS);
    }
  };
  run();
  // Still there and still running what it ran: a card that needs the user's replug is waited
  // for when --wait-restart asks for it.
  if (watch.stayed() && watch.report().end == VerifiedEnd::RestartNeeded && kind == UPGRADE_KIND_USB && wait.replug_s) {
    if (!out.json()) std::fprintf(stderr, " %s: waiting up to %u s for the card to be replugged\n", RESTART_ADVICE, *wait.replug_s);
    replug_simulated_card_later(s);
    replug_countdown.emplace(out.json(), "waiting for the replug");
    watch.wait_for_replug(*wait.replug_s * 1000);
    run();
  }
  back_countdown.reset();
  replug_countdown.reset();

  const VerifyReport& r = watch.report();
  if (r.end == VerifiedEnd::Verified) out.doc()["verified"] = true;
  else if (r.end == VerifiedEnd::NotVerified) out.doc()["verified"] = false;
  else out.doc()["verified"] = nullptr;
  out.doc()["verify"] = r.summary();
  out.doc()["version_after"] = watch.version_after();
  log_printf(LOG_TRACE, " msg : upgrade end %s\r\n", r.summary().c_str());
  return r;
}

}  // namespace kestrel::cli
