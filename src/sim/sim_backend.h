// The `sim` backend of the platform seam: any number of simulated cards in this process, each
// listed with a Windows-form interface path that a card prefix matches, plugged and unplugged at
// will with arrival and removal notifications.
//
// A HidDevice opened here forwards every call to its card. After the card is unplugged every call
// fails and read_interrupt returns Gone, also when the card is plugged in again (a new open is
// needed, as for a real device). read_interrupt blocks until a report is queued, cancel_read()
// or an unplug; its timeout counts real time.
#pragma once

#include <memory>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "platform/hid_backend.h"
#include "sim/card.h"
#include "sim/scenario.h"

namespace kestrel::sim {

class SimBackend : public platform::HidBackend {
 public:
  SimBackend();
  ~SimBackend() override;
  SimBackend(const SimBackend&) = delete;
  SimBackend& operator=(const SimBackend&) = delete;

  // Adds a card made from the scenario; it is plugged in (with an arrival notification) unless
  // `plugged` is false. Cards keep their index for the backend's lifetime.
  // `port` puts the card on that USB port path instead of its own "1-<index+1>" (a card that
  // comes back where a device in boot mode left the bus).
  std::shared_ptr<SimCard> add_card(const Scenario& scenario, bool plugged = true, const std::string& port = {});
  size_t card_count() const;
  std::shared_ptr<SimCard> card(size_t index) const;

  void plug(size_t index);
  void unplug(size_t index);

  // Plugs back in the cards whose restart after an upgrade is over (on kestrel's clock). Runs on
  // every enumerate and drain_hotplug, and, once return_in_background() was asked for, on a
  // thread of the backend every 20 ms of real time while a card is away, so that a window that
  // waits only for notifications hears the card come back. Under a test's simulated clock the
  // card comes back once the test has moved the clock past its restart time.
  void poll_returns();
  void return_in_background(bool on = true);
  // (tests) A card plugged in after this call (back from its restart, or replugged) refuses its
  // next `count` opens with `why`, as a real card's node does until udev has made it (NotFound:
  // every open, looking at the node included) and given the seat's user access to it
  // (Permission, or any other failure: the read-write opens; looking at the node needs no access).
  void refuse_opens_after_plug(size_t count, platform::OpenFailure why = platform::OpenFailure::Permission);
  // How many opens were refused so.
  size_t refused_opens() const;

  // "sim:<index>", what open() takes.
  static std::string node_of(size_t index);
  // "1-<index+1>" and "KSIM000<index+1>": a USB port path and serial of their own for each card.
  static std::string port_of(size_t index);
  static std::string serial_of(size_t index);
  // \\?\hid#vid_04b4&pid_00ed&mi_02#7&2a3b&0&000<index>#{4d1e55b2-f16f-11cf-88cb-001111000030}
  std::string path_of(size_t index) const;

  // The seam. enumerate lists the plugged cards in index order.
  bool enumerate(std::vector<platform::HidInterfaceInfo>& out) override;
  std::unique_ptr<platform::HidDevice> open(const std::string& node, platform::Access access,
                                            std::string* error = nullptr) override;
  std::unique_ptr<platform::HidDevice> open_checked(const std::string& node, platform::Access access,
                                                    platform::OpenFailure& why, std::string* error = nullptr) override;
  // An eventfd, readable while notifications wait; drain_hotplug() empties it.
  int hotplug_fd() override;
  std::vector<platform::HotplugEvent> drain_hotplug() override;

 private:
  void notify(platform::HotplugEvent::Kind kind, size_t index);
  void watch_returns();  // starts the returns thread once

  mutable std::mutex mu_;
  std::thread returns_thread_;
  std::condition_variable returns_cv_;
  bool stopping_ = false;
  bool background_returns_ = false;
  std::vector<std::shared_ptr<SimCard>> cards_;
  std::vector<std::string> ports_;  // per card: the port add_card() was given, or ""
  size_t refuse_after_plug_ = 0;  // what refuse_opens_after_plug() asked for
  platform::OpenFailure refuse_why_ = platform::OpenFailure::Permission;
  std::vector<size_t> refusals_left_;  // per card, set when it comes back
  size_t refused_ = 0;
  std::vector<platform::HotplugEvent> events_;
  int event_fd_ = -1;
};

}  // namespace kestrel::sim
