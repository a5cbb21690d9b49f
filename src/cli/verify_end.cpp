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
#include "update/workflow.h"

namespace kestrel::cli {

namespace {

struct Seen {
  bool present = false;  // the card's own interface is listed
  int match = -1;        // the interface to attach when it is back: index into `list`
  std::vector<platform::HidInterfaceInfo> list;
};

// The card that was upgraded, and the other cards listed when its wait began: those are never
// taken for it when it comes back.
struct Upgraded {
  CardKey key;
  std::string port;                 // its USB port path ("" when unknown)
  std::vector<std::string> others;  // the other interfaces listed at the start
};

std::vector<platform::HidInterfaceInfo> listed_now() {
  std::vector<platform::HidInterfaceInfo> list;
  platform::HidBackend* b = platform::backend();
  if (b) b->enumerate(list);
  return list;
}

Upgraded upgraded_card(const CardKey& key) {
  Upgraded u{key, {}, {}};
  for (const auto& e : listed_now()) {
    if (e.path == key.path) u.port = e.port;
    else u.others.push_back(e.path);
  }
  return u;
}

// Looks for the card that was upgraded among the interfaces listed now.
Seen look_for(const Upgraded& card) {
  Seen s;
  s.list = listed_now();
  std::vector<ListedCard> now;
  for (const auto& e : s.list) now.push_back({{e.path, e.vendor_id, e.product_id}, e.port});
  s.match = find_upgraded_card(card.key, card.port, card.others, now);
  s.present = s.match >= 0 && s.list[static_cast<size_t>(s.match)].path == card.key.path;
  return s;
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

 private:
  bool quiet_, tty_;
  const char* what_;
  uint32_t last_ = ~0u;
};

enum class Wait { Done, TimedOut, Interrupted };

// Polls until `done` holds or `limit_ms` of kestrel's clock pass.
template <typename Done>
Wait wait_until(Session& s, uint32_t limit_ms, Countdown* countdown, Done done) {
  const uint64_t start = clock_now_ns();
  for (;;) {
    if (done()) return Wait::Done;
    if (s.interrupted()) return Wait::Interrupted;
    const uint64_t waited_ms = (clock_now_ns() - start) / 1'000'000;
    if (waited_ms >= limit_ms) return Wait::TimedOut;
    if (countdown) countdown->show(static_cast<uint32_t>((limit_ms - waited_ms + 999) / 1000));
    sleep_ms(RESTART_POLL_MS);
  }
}

// Attaches the card that came back, as the desktop program does on a device change, and reads
// its text. The kernel lists the card before udev has made its node and given this user access
// to it, so the rescan and the open are tried again for a while; `why` says what stopped them.
std::optional<std::string> reattach(Session& s, const std::string& path, platform::OpenFailure& why) {
  CurrentCard& w = s.card();
  qhidev_list& l = s.list();
  why = qhidev_open_returning([&] {
    w.on_device_change(CurrentCard::DEVICE_ARRIVAL);
    for (uint32_t i = 0; i < l.count; ++i) {
      const qhidev* d = l.items[i].get();
      if (!d || d->path != path) continue;
      if (l.current != d) w.attach_card(static_cast<int>(i));
      return l.current == d ? platform::OpenFailure::None : w.open_failure();
    }
    return platform::OpenFailure::NotFound;  // listed by the kernel, not yet openable
  });
  if (why != platform::OpenFailure::None) return std::nullopt;
  return read_status_text(w.link(), w.status_page(0));
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

std::string returned_unopened(platform::OpenFailure why) {
  return unread_return_text(why == platform::OpenFailure::NotFound, why == platform::OpenFailure::Permission);
}

VerifyReport verify_upgrade_end(Session& s, uint16_t kind, const std::optional<ImageVersion>& image, const EndWait& wait) {
  Output& out = s.out();
  VerifyReport report;
  const qhidev* d = s.list().current;
  CardKey card;
  if (d) {
    card.path = d->path;
    card.vendor_id = d->attributes.vendor_id;
    card.product_id = d->attributes.product_id;
  }
  auto finish = [&](VerifyReport r, const std::string& version_after) {
    if (r.end == VerifiedEnd::Verified) out.doc()["verified"] = true;
    else if (r.end == VerifiedEnd::NotVerified) out.doc()["verified"] = false;
    else out.doc()["verified"] = nullptr;
    out.doc()["verify"] = r.summary();
    out.doc()["version_after"] = version_after;
    log_printf(LOG_TRACE, " msg : upgrade end %s\r\n", r.summary().c_str());
    return r;
  };

  Upgraded upgraded = upgraded_card(card);
  // A card that restarts by itself leaves the bus within a few seconds of the unlock.
  Wait left = wait_until(s, RESTART_LEAVE_WAIT_MS, nullptr, [&] { return !look_for(upgraded).present; });
  if (left == Wait::TimedOut) {
    // Still there: it runs what it ran, unless it took the image without a restart.
    const std::string text = read_status_text(s.card().link(), s.card().status_page(0)).value_or("");
    report = judge_return(kind, image, text);
    if (report.end == VerifiedEnd::Verified || kind != UPGRADE_KIND_USB || !wait.replug_s)
      return finish(report.end == VerifiedEnd::NotVerified ? VerifyReport{VerifiedEnd::RestartNeeded, report.card_text} : report,
                    text);
    if (!out.json()) std::fprintf(stderr, " %s: waiting up to %u s for the card to be replugged\n", RESTART_ADVICE, *wait.replug_s);
    replug_simulated_card_later(s);
    Countdown c(out.json(), "waiting for the replug");
    left = wait_until(s, *wait.replug_s * 1000, &c, [&] { return !look_for(upgraded).present; });
    if (left != Wait::Done) return finish({VerifiedEnd::RestartNeeded, report.card_text}, text);
  }
  if (left == Wait::Interrupted) return finish({VerifiedEnd::NotVerified, "nothing: interrupted"}, "");

  // Away: wait for it to come back.
  int at = -1;
  Countdown c(out.json(), "waiting for the card to come back");
  const Wait back = wait_until(s, RESTART_RETURN_WAIT_MS, &c, [&] {
    const Seen seen = look_for(upgraded);
    at = seen.match;
    if (at >= 0) card.path = seen.list[static_cast<size_t>(at)].path;
    return at >= 0;
  });
  if (back != Wait::Done) {
    const std::string why = back == Wait::Interrupted ? "nothing: interrupted"
                                                      : "nothing: it did not come back within " +
                                                            std::to_string(RESTART_RETURN_WAIT_MS / 1000) + " s";
    return finish({VerifiedEnd::NotVerified, why}, "");
  }
  platform::OpenFailure why = platform::OpenFailure::None;
  const std::optional<std::string> text = reattach(s, card.path, why);
  if (!text) return finish({VerifiedEnd::NotVerified, returned_unopened(why)}, "");
  return finish(judge_return(kind, image, *text), *text);
}

}  // namespace kestrel::cli
