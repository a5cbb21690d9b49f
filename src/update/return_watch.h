// The wait after an upgrade that ended in "OK!", as one object a front end polls: the card leaves
// the bus to restart and comes back (or stays, running what it ran), it is found again on its
// port among the cards listed, opened (a node that udev has not yet made, or not yet given this
// user, is tried again for a while) and its status text judged against the image. kestrelctl
// polls it in a loop, each worker of a parallel run polls its own card's. It never sleeps: the
// caller waits RESTART_POLL_MS between polls, and every limit is on kestrel's clock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/hid_backend.h"
#include "update/verify.h"

namespace kestrel {

// What the watch asks of the front end that owns the card.
struct ReturnLook {
  // The card interfaces listed now, with their USB ports.
  std::function<std::vector<ListedCard>()> list;
  // The interfaces that may not be taken for the card: the others listed when the wait began,
  // and any a card of the same run took already.
  std::function<std::vector<std::string>()> taken;
  // The card found at `path`: true when it may be taken (a parallel run gives each interface to
  // one card only). Null: always.
  std::function<bool(const std::string& path)> claim;
  // The card still on the bus: its status text read through the handle it has (nullopt when it
  // does not answer).
  std::function<std::optional<std::string>()> still_text;
  // The card left: the front end lets go of its handle.
  std::function<void()> left;
  // Opens the card come back at `path` as the front end's card and reads its status text;
  // nullopt with `why` when it could not be opened (None when opened but not answering).
  std::function<std::optional<std::string>(const std::string& path, platform::OpenFailure& why)> open_back;
  // A card come back that could not be opened for another reason than udev not being done, or
  // that does not answer yet, is looked for again (every QHIDEV_RETURN_RETRY_MS) until the
  // return's limit instead of ending the wait at once: the desktop program, whose card may
  // still be starting when the notification of its arrival comes.
  bool patient = false;
};

// The card interfaces `backend` lists now, with their USB ports (none without a backend): the
// list a front end without its own card list looks at.
std::vector<ListedCard> list_cards(platform::HidBackend* backend);

class ReturnWatch {
 public:
  enum class Phase : uint8_t { Leaving, Away, Ended };

  ReturnWatch(uint16_t kind, std::optional<ImageVersion> image, CardKey card, std::string port, ReturnLook look);

  // One look at the bus. True once the wait has ended: report() and version_after() hold its end.
  bool poll();
  // Ends the wait now, not verified, with `why` as what the card reported ("nothing: interrupted");
  // during a replug's wait the card still needs its restart, as judged before.
  void stop(const std::string& why);
  // A card that stayed on the bus (ended RestartNeeded) is waited for once more, `limit_ms` long,
  // to leave: the user replugs it. Ends RestartNeeded again if it stays.
  void wait_for_replug(uint32_t limit_ms);
  // The front end heard the card leave (a removal notification): it is away even if a list
  // made before the removal still shows it.
  void gone() { gone_ = true; }

  Phase phase() const { return phase_; }
  // Whole seconds left of the current phase's limit (rounded up), and the time waited in it.
  uint32_t seconds_left() const;
  uint64_t waited_ms() const;
  uint32_t limit_ms() const { return limit_ms_; }
  // The card stayed on the bus: the verdict came from the handle it had, not from a return.
  bool stayed() const { return stayed_; }
  const VerifyReport& report() const { return report_; }
  // The verdict was judged from a status text the card gave (not a time-out, a stop or a card
  // that could not be read).
  bool judged() const { return judged_; }
  // The card's whole status text when it was read; "" when it was not.
  const std::string& version_after() const { return text_; }

 private:
  void end(VerifyReport r, std::string text = {}, bool judged = false);

  uint16_t kind_;
  std::optional<ImageVersion> image_;
  CardKey card_;
  std::string port_;
  ReturnLook look_;
  Phase phase_ = Phase::Leaving;
  uint64_t since_ns_ = 0;
  uint32_t limit_ms_ = 0;
  bool stayed_ = false;
  bool judged_ = false;
  bool gone_ = false;
  uint64_t failed_try_ns_ = 0;     // a patient watch's last failed open (0: none)
  std::string back_at_;            // the interface the card came back as, once claimed
  uint64_t refused_since_ns_ = 0;  // when its opens began to be refused (0: not refused)
  uint64_t refused_try_ns_ = 0;
  uint32_t refusals_ = 0;
  VerifyReport report_;
  std::string text_;
};

}  // namespace kestrel
