// The console of `kestrel-sim --uhid` and `--gadget`: the simulated card's own life (its frame
// ticks) and the commands a test gives it on standard input. Shared by both front ends, so that a
// card behind uhid and a card on USB answer the same commands the same way.
#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim/card.h"
#include "sim/download_channel.h"
#include "sim/flash_channel.h"

namespace kestrel::sim {

// The card's life while it sits on its bus (behind /dev/uhid or as a USB gadget), on a thread of
// its own: a new frame about once a
// second (as the in-process front ends tick their simulated card), and the commands of standard
// input, one a line, for whoever plays with the card from outside:
//   text TEXT          the card prints TEXT on its debug channel
//   event CODE         the card sends an event record with this code
//   storage            one line on what the flash channel and the HID download did
//   save ADDR LEN PATH the card's flash from ADDR, LEN bytes, into the file PATH
// Each command is answered with one line on standard output starting "kestrel-sim: ".
class CardConsole {
 public:
  explicit CardConsole(SimCard& card) : card_(card), stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~CardConsole() { stop(); }

  void start() { thread_ = std::thread([this] { loop(); }); }
  void stop() {
    if (thread_.joinable()) {
      const uint64_t one = 1;
      [[maybe_unused]] auto w = ::write(stop_, &one, sizeof one);
      thread_.join();
    }
    if (stop_ >= 0) ::close(stop_);
    stop_ = -1;
  }

 private:
  void loop() {
    using Clock = std::chrono::steady_clock;
    auto next_frame = Clock::now() + std::chrono::seconds(1);
    bool input_open = true;
    std::string line;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_frame - Clock::now()).count();
      pollfd fds[2] = {{stop_, POLLIN, 0}, {input_open ? STDIN_FILENO : -1, POLLIN, 0}};
      const int pr = ::poll(fds, 2, left > 0 ? static_cast<int>(left) : 0);
      if (pr < 0 && errno != EINTR) return;
      if (fds[0].revents & POLLIN) return;
      if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[512];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
          input_open = n < 0 && (errno == EINTR || errno == EAGAIN);  // end of input: the ticks go on
        } else {
          for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
              if (line.size() < 4096) line += buf[i];
              continue;
            }
            command(line);
            line.clear();
          }
        }
      }
      if (Clock::now() >= next_frame) {
        if (card_.plugged()) card_.frame_tick();
        next_frame += std::chrono::seconds(1);
      }
    }
  }

  void command(const std::string& line) {
    const size_t sp = line.find(' ');
    const std::string verb = line.substr(0, sp);
    const std::string rest = sp == std::string::npos ? std::string() : line.substr(sp + 1);
    if (verb == "text" && !rest.empty()) {
      // A card with asynchronous reports sends its text; the others keep it for the host's poll.
      const Scenario st = card_.state();
      if (st.capabilities & (CAP_ASYNC | CAP_ASYNC_ALT)) card_.send_debug_text(rest + "\r\n");
      else card_.queue_polled_text(rest + "\r\n");
      say("sent text");
    } else if (verb == "event" && !rest.empty()) {
      card_.send_event(static_cast<uint16_t>(std::strtoul(rest.c_str(), nullptr, 0)));
      say("sent event " + rest);
    } else if (verb == "storage") {
      say(storage_line());
    } else if (verb == "save") {
      save(rest);
    } else if (!verb.empty()) {
      say("unknown command '" + verb + "' (text, event, storage, save)");
    }
  }

  std::string storage_line() {
    auto storage = storage_of(card_);
    if (!storage) return "no storage";
    char out[512];
    // Under the card's lock: the host's calls change these as they arrive.
    card_.update([&](Scenario&) {
      const FlashChannelStats& f = storage->flash_channel.stats();
      const DownloadStats& d = storage->download.stats();
      std::snprintf(out, sizeof out,
                    "storage flash-channel opens=%u pages=%u rejected=%u verifies=%u matched=%u crc=0x%08x closes=%u; "
                    "download starts=%u ends=%u pages=%u bytes=%llu lost=%u bad=%u high=0x%x",
                    f.opens, f.pages_programmed, f.pages_rejected, f.verifies, f.verify_matched, f.last_verify_crc,
                    f.closes, d.starts, d.ends, d.pages, static_cast<unsigned long long>(d.bytes),
                    d.writes_while_busy, d.bad_reports, storage->download.high_water());
    });
    return out;
  }

  void save(const std::string& args) {
    auto storage = storage_of(card_);
    const char* p = args.c_str();
    char* end = nullptr;
    const unsigned long addr = std::strtoul(p, &end, 0);
    const bool addr_ok = end != p && *end == ' ';
    p = end;
    const unsigned long len = std::strtoul(p, &end, 0);
    const bool len_ok = addr_ok && end != p && *end == ' ';
    const std::string path = len_ok ? std::string(end + 1) : std::string();
    if (!len_ok || path.empty() || !storage) {
      say("save takes ADDR LEN PATH");
      return;
    }
    std::vector<uint8_t> bytes;
    card_.update([&](Scenario&) {
      const uint32_t size = storage->flash.size();
      if (addr < size && len <= size - addr)
        bytes = storage->flash.read(static_cast<uint32_t>(addr), static_cast<uint32_t>(len));
    });
    if (bytes.size() != len) {
      say("save: outside the flash");
      return;
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f && std::fclose(f) != 0) say(std::string("save: ") + std::strerror(errno));
    else say(ok ? "saved " + std::to_string(len) + " bytes" : std::string("save: ") + std::strerror(errno));
  }

  static void say(const std::string& text) {
    std::printf("kestrel-sim: %s\n", text.c_str());
    std::fflush(stdout);
  }

  SimCard& card_;
  int stop_;
  std::thread thread_;
};

// Waits while the card is away restarting after an upgrade (its return polled every 20 ms);
// false when `stop_fd` (a signalfd, or -1) becomes readable first.
inline bool wait_for_card_return(SimCard& card, int stop_fd) {
  while (!card.plugged()) {
    pollfd p{stop_fd, POLLIN, 0};
    if (::poll(&p, stop_fd >= 0 ? 1 : 0, 20) > 0) return false;
    card.poll_return();
  }
  return true;
}

// Serves each of `count` cards with `serve(index)` until it is done: the only one on this thread,
// several on a thread each. The worst exit code of them all.
inline int serve_each_card(size_t count, const std::function<int(size_t)>& serve) {
  if (count == 1) return serve(0);
  std::vector<int> codes(count, 0);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < count; ++i) threads.emplace_back([&, i] { codes[i] = serve(i); });
  for (auto& t : threads) t.join();
  int rc = 0;
  for (int c : codes) rc = c > rc ? c : rc;
  return rc;
}

}  // namespace kestrel::sim
