#include "update/return_watch.h"

#include "devlink/qhidev.h"
#include "log/clock.h"
#include "log/log.h"

namespace kestrel {

std::vector<ListedCard> list_cards(platform::HidBackend* backend) {
  std::vector<platform::HidInterfaceInfo> listed;
  if (backend) backend->enumerate(listed);
  std::vector<ListedCard> now;
  for (const auto& e : listed) now.push_back({{e.path, e.vendor_id, e.product_id}, e.port});
  return now;
}

ReturnWatch::ReturnWatch(uint16_t kind, std::optional<ImageVersion> image, CardKey card, std::string port, ReturnLook look)
    : kind_(kind),
      image_(std::move(image)),
      card_(std::move(card)),
      port_(std::move(port)),
      look_(std::move(look)),
      since_ns_(clock_now_ns()),
      // A card that restarts by itself leaves the bus within a few seconds of the unlock.
      limit_ms_(RESTART_LEAVE_WAIT_MS) {}

uint64_t ReturnWatch::waited_ms() const { return (clock_now_ns() - since_ns_) / 1'000'000; }

uint32_t ReturnWatch::seconds_left() const {
  const uint64_t waited = waited_ms();
  return waited >= limit_ms_ ? 0 : static_cast<uint32_t>((limit_ms_ - waited + 999) / 1000);
}

void ReturnWatch::end(VerifyReport r, std::string text, bool judged) {
  report_ = std::move(r);
  text_ = std::move(text);
  judged_ = judged;
  phase_ = Phase::Ended;
}

void ReturnWatch::stop(const std::string& why) {
  if (phase_ == Phase::Ended) return;
  // Stopped while waiting for a replug: the card still runs what it ran, as judged before.
  if (stayed_) phase_ = Phase::Ended;
  else end({VerifiedEnd::NotVerified, why});
}

void ReturnWatch::wait_for_replug(uint32_t limit_ms) {
  if (!stayed_ || phase_ != Phase::Ended || report_.end != VerifiedEnd::RestartNeeded) return;
  phase_ = Phase::Leaving;
  since_ns_ = clock_now_ns();
  limit_ms_ = limit_ms;
  gone_ = false;
}

bool ReturnWatch::poll() {
  if (phase_ == Phase::Ended) return true;
  if (phase_ == Phase::Leaving) {
    const std::vector<ListedCard> now = look_.list ? look_.list() : std::vector<ListedCard>{};
    bool present = false;
    for (const ListedCard& c : now) present = present || c.key.path == card_.path;
    present = present && !gone_;
    if (present) {
      if (waited_ms() < limit_ms_) return false;
      // Still there: it runs what it ran, unless it took the image without a restart.
      stayed_ = true;
      const std::string text = look_.still_text ? look_.still_text().value_or("") : std::string();
      VerifyReport r = judge_return(kind_, image_, text);
      if (r.end == VerifiedEnd::NotVerified) r.end = VerifiedEnd::RestartNeeded;
      end(std::move(r), text, true);
      return true;
    }
    // Away: it has RESTART_RETURN_WAIT_MS to come back.
    stayed_ = false;
    if (look_.left) look_.left();
    phase_ = Phase::Away;
    since_ns_ = clock_now_ns();
    limit_ms_ = RESTART_RETURN_WAIT_MS;
  }

  const bool resting = failed_try_ns_ && (clock_now_ns() - failed_try_ns_) / 1'000'000 < QHIDEV_RETURN_RETRY_MS;
  if (back_at_.empty() && !resting) {
    const std::vector<ListedCard> now = look_.list ? look_.list() : std::vector<ListedCard>{};
    const int at = find_upgraded_card(card_, port_, look_.taken ? look_.taken() : std::vector<std::string>{}, now);
    if (at >= 0) {
      const std::string& path = now[static_cast<size_t>(at)].key.path;
      if (!look_.claim || path == card_.path || look_.claim(path)) back_at_ = path;
    }
  }
  if (!back_at_.empty()) {
    // Back: opened now, or again while udev has not yet made its node or given this user access
    // to it, for up to QHIDEV_RETURN_PATIENCE_MS from the first refusal.
    const uint64_t now = clock_now_ns();
    if (!refused_since_ns_ || (now - refused_try_ns_) / 1'000'000 >= QHIDEV_RETURN_RETRY_MS) {
      platform::OpenFailure why = platform::OpenFailure::None;
      std::optional<std::string> text = look_.open_back ? look_.open_back(back_at_, why) : std::nullopt;
      if (text) {
        VerifyReport r = judge_return(kind_, image_, *text);
        end(std::move(r), std::move(*text), true);
        return true;
      }
      const bool refused = why == platform::OpenFailure::Permission || why == platform::OpenFailure::NotFound;
      if (!refused && look_.patient) {
        back_at_.clear();  // looked for again, where it is then
        failed_try_ns_ = now;
        refused_since_ns_ = 0;
        return false;
      }
      if (!refused) {
        end({VerifiedEnd::NotVerified, unread_return_text(false, false)});
        return true;
      }
      if (!refused_since_ns_) refused_since_ns_ = now;
      refused_try_ns_ = now;
      ++refusals_;
      if ((now - refused_since_ns_) / 1'000'000 >= QHIDEV_RETURN_PATIENCE_MS) {
        log_printf(LOG_TRACE, " war : qhidev: the card that came back could not be opened in %u tries (%s)\r\n",
                   refusals_, why == platform::OpenFailure::Permission ? "permission denied" : "no node");
        end({VerifiedEnd::NotVerified, unread_return_text(why == platform::OpenFailure::NotFound,
                                                          why == platform::OpenFailure::Permission)});
        return true;
      }
    }
    return false;
  }
  if (waited_ms() >= limit_ms_) {
    end({VerifiedEnd::NotVerified,
         "nothing: it did not come back within " + std::to_string(RESTART_RETURN_WAIT_MS / 1000) + " s"});
    return true;
  }
  return false;
}

}  // namespace kestrel
