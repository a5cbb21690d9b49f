#include "sim/uhid.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <linux/input.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sim/card.h"
#include "sim/card_console.h"
#include "sim/download_channel.h"
#include "sim/sim_backend.h"

namespace kestrel::sim {

namespace {

constexpr UhidReportDecl kReports[] = {
    // Outputs (set-output-report, write()).
    {11, UhidReportKind::Output, 265, 0},  // long request
    {10, UhidReportKind::Output, 63, 0},   // short request
    {5, UhidReportKind::Output, 261, 0},   // legacy erase (261); the notification is a 63-byte set
    {7, UhidReportKind::Output, 264, 0},   // flash channel request
    {4, UhidReportKind::Output, 261, 0},   // legacy page data
    {12, UhidReportKind::Output, 261, 0},  // legacy register read request
    // Inputs (fetched with get-input-report, or asynchronous).
    {9, UhidReportKind::Input, 265, 265},  // answer
    {6, UhidReportKind::Input, 264, 264},  // qspi status (264); legacy handshake 257 while active
    {4, UhidReportKind::Input, 191, 191},  // board status block
    {8, UhidReportKind::Input, 264, 248},  // debug text: 264 read, 248 fetched
    {2, UhidReportKind::Input, 264, 264},  // board event record (asynchronous)
    {3, UhidReportKind::Input, 264, 264},  // device debug text (asynchronous)
    {12, UhidReportKind::Input, 264, 264}, // device debug text (asynchronous)
    {13, UhidReportKind::Input, 261, 261}, // legacy register read answer
    // Features.
    {1, UhidReportKind::Feature, 261, 24}, // event record get (24) / legacy download start, end (261)
    {7, UhidReportKind::Feature, 261, 261},// video input selection
};


constexpr uint16_t kUhidErrIo = EIO;

template <size_t N>
void copy_text(uint8_t (&dst)[N], const std::string& s) {
  const size_t n = std::min(s.size(), N - 1);
  std::memcpy(dst, s.data(), n);
  dst[n] = 0;
}

}  // namespace

std::span<const UhidReportDecl> uhid_report_table() { return kReports; }

uint16_t UhidTranslator::get_size(UhidReportKind kind, uint8_t id) const {
  if (kind == UhidReportKind::Input && id == 6 && legacy_active_) return 257;
  for (const auto& r : uhid_report_table())
    if (r.kind == kind && r.id == id) return r.get_size;
  return 0;
}

uhid_event UhidTranslator::create_event(const UhidDeviceInfo& info, std::span<const uint8_t> descriptor) {
  uhid_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.type = UHID_CREATE2;
  auto& c = ev.u.create2;
  copy_text(c.name, info.name);
  copy_text(c.phys, info.phys);
  copy_text(c.uniq, info.uniq);
  const size_t n = std::min(descriptor.size(), sizeof c.rd_data);
  std::memcpy(c.rd_data, descriptor.data(), n);
  c.rd_size = static_cast<uint16_t>(n);
  c.bus = BUS_USB;
  c.vendor = info.vendor;
  c.product = info.product;
  c.version = info.version;
  c.country = 0;
  return ev;
}

uhid_event UhidTranslator::destroy_event() {
  uhid_event ev;
  std::memset(&ev, 0, sizeof ev);
  ev.type = UHID_DESTROY;
  return ev;
}

bool UhidTranslator::input_event(std::span<const uint8_t> report, uhid_event& out) {
  if (report.empty() || report.size() > UHID_DATA_MAX) return false;
  std::memset(&out, 0, sizeof out);
  out.type = UHID_INPUT2;
  out.u.input2.size = static_cast<uint16_t>(report.size());
  std::memcpy(out.u.input2.data, report.data(), report.size());
  return true;
}

void UhidTranslator::translate(const uhid_event& in, std::vector<uhid_event>& out) {
  switch (in.type) {
    case UHID_START:
      started_ = true;
      return;
    case UHID_STOP:
      started_ = false;
      return;
    case UHID_OPEN:
      ++open_count_;
      return;
    case UHID_CLOSE:
      if (open_count_ > 0) --open_count_;
      return;

    case UHID_OUTPUT: {
      // write() or HIDIOCSOUTPUT on the hidraw node: no reply.
      const auto& o = in.u.output;
      ++counters_.outputs;
      const size_t n = std::min<size_t>(o.size, UHID_DATA_MAX);
      if (n == 0) return;
      const std::span<const uint8_t> r(o.data, n);
      const bool ok = o.rtype == UHID_FEATURE_REPORT ? card_.set_feature_report(r) : card_.set_output_report(r);
      if (!ok) ++counters_.failed;
      return;
    }

    case UHID_GET_REPORT: {
      const auto& g = in.u.get_report;
      ++counters_.gets;
      uhid_event rep;
      std::memset(&rep, 0, sizeof rep);
      rep.type = UHID_GET_REPORT_REPLY;
      auto& rr = rep.u.get_report_reply;
      rr.id = g.id;
      const UhidReportKind kind = g.rtype == UHID_FEATURE_REPORT ? UhidReportKind::Feature
                              : g.rtype == UHID_INPUT_REPORT ? UhidReportKind::Input
                                                             : UhidReportKind::Output;
      const uint16_t n = kind == UhidReportKind::Output ? 0 : get_size(kind, g.rnum);
      if (n == 0) {
        ++counters_.unknown;
        rr.err = kUhidErrIo;
        out.push_back(rep);
        return;
      }
      std::span<uint8_t> r(buf_.data(), n);
      std::fill(r.begin(), r.end(), uint8_t{0});
      r[0] = g.rnum;
      const bool ok = kind == UhidReportKind::Feature ? card_.get_feature_report(r) : card_.get_input_report(r);
      if (!ok) {
        ++counters_.failed;
        rr.err = kUhidErrIo;
      } else {
        rr.err = 0;
        rr.size = n;
        std::memcpy(rr.data, r.data(), n);
      }
      out.push_back(rep);
      return;
    }

    case UHID_SET_REPORT: {
      const auto& s = in.u.set_report;
      ++counters_.sets;
      uhid_event rep;
      std::memset(&rep, 0, sizeof rep);
      rep.type = UHID_SET_REPORT_REPLY;
      rep.u.set_report_reply.id = s.id;
      const size_t n = std::min<size_t>(s.size, UHID_DATA_MAX);
      bool ok = false;
      if (n > 0 && s.rtype != UHID_INPUT_REPORT) {
        const std::span<const uint8_t> r(s.data, n);
        ok = s.rtype == UHID_FEATURE_REPORT ? card_.set_feature_report(r) : card_.set_output_report(r);
        // The legacy download protocol is active between its start and end; the handshake of
        // input 6 is then fetched at 257 bytes.
        if (ok && s.rtype == UHID_FEATURE_REPORT && s.rnum == 1 && n >= 2 && s.data[1] <= 1)
          legacy_active_ = s.data[1] == 1;
      }
      if (!ok) ++counters_.failed;
      rep.u.set_report_reply.err = ok ? 0 : kUhidErrIo;
      out.push_back(rep);
      return;
    }

    default:
      ++counters_.unknown;
      return;
  }
}

UhidBridge::UhidBridge(platform::HidDevice& card, UhidDeviceInfo info)
    : card_(card), info_(std::move(info)), translator_(card) {}

UhidBridge::~UhidBridge() { destroy(); }

bool UhidBridge::write_event(const uhid_event& ev) {
  std::lock_guard<std::mutex> lock(write_mu_);
  if (fd_ < 0) return false;
  ssize_t n;
  do {
    n = ::write(fd_, &ev, sizeof ev);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof ev);
}

bool UhidBridge::create(std::string* error, const char* path) {
  const int fd = ::open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = std::string("cannot open ") + path + ": " + std::strerror(errno);
    return false;
  }
  return adopt(fd, error);
}

bool UhidBridge::adopt(int fd, std::string* error) {
  destroy();
  fd_ = fd;
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  stopping_.store(false);
  gone_.store(false);
  if (!write_event(UhidTranslator::create_event(info_, info_.report_descriptor))) {
    if (error) *error = std::string("UHID_CREATE2 failed: ") + std::strerror(errno);
    std::lock_guard<std::mutex> lock(write_mu_);
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

void UhidBridge::pump() {
  std::array<uint8_t, 264> buf{};
  while (!stopping_.load()) {
    size_t got = 0;
    const auto st = card_.read_interrupt(buf, 200, got);
    if (st == platform::ReadStatus::Ok && got > 0) {
      uhid_event ev;
      if (UhidTranslator::input_event(std::span<const uint8_t>(buf.data(), got), ev)) write_event(ev);
    } else if (st == platform::ReadStatus::Gone) {
      gone_.store(true);
      const uint64_t one = 1;
      [[maybe_unused]] auto w = ::write(wake_fd_, &one, sizeof one);
      return;
    } else if (st == platform::ReadStatus::Error) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

int UhidBridge::run(int stop_fd) {
  if (fd_ < 0) return 2;
  std::thread pump_thread([this] { pump(); });
  int rc = 0;
  std::vector<uhid_event> replies;
  uhid_event ev;
  for (;;) {
    pollfd fds[3] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    const int nfds = stop_fd >= 0 ? 3 : 2;
    const int pr = ::poll(fds, nfds, -1);
    if (pr < 0) {
      if (errno == EINTR) continue;
      rc = 2;
      break;
    }
    if (nfds == 3 && (fds[2].revents & (POLLIN | POLLHUP))) break;
    if (fds[1].revents & POLLIN) {
      rc = 1;  // the card was unplugged: the device leaves
      break;
    }
    if (fds[0].revents & POLLIN) {
      std::memset(&ev, 0, sizeof ev);  // a short event is zero-extended, as the kernel does
      const ssize_t n = ::read(fd_, &ev, sizeof ev);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        rc = 2;
        break;
      }
      if (n == 0) {  // the other end went away
        rc = 2;
        break;
      }
      replies.clear();
      translator_.translate(ev, replies);
      for (const auto& r : replies)
        if (!write_event(r)) rc = 2;
      if (rc == 2) break;
    } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
      rc = 2;
      break;
    }
  }
  stopping_.store(true);
  card_.cancel_read();
  pump_thread.join();
  destroy();
  return rc;
}

void UhidBridge::destroy() {
  if (fd_ >= 0) {
    write_event(UhidTranslator::destroy_event());
    std::lock_guard<std::mutex> lock(write_mu_);
    ::close(fd_);
    fd_ = -1;
  }
  if (wake_fd_ >= 0) {
    ::close(wake_fd_);
    wake_fd_ = -1;
  }
}

namespace {

UhidDeviceInfo device_info(const Scenario& scenario, const SimCard& card) {
  UhidDeviceInfo info;
  info.name = scenario.product + " (kestrel-sim " + std::string(card.name()) + ")";
  info.phys = "kestrel-sim/" + std::string(card.name());
  info.uniq = card.status_text();
  info.vendor = scenario.vendor_id;
  info.product = scenario.product_id;
  info.version = scenario.release;
  info.report_descriptor = SimCard::report_descriptor();
  return info;
}

}  // namespace

int run_uhid(const Scenario& scenario) { return run_uhid(std::vector<Scenario>{scenario}); }

int run_uhid(const std::vector<Scenario>& scenarios) {
  SimBackend backend;
  std::vector<std::shared_ptr<SimCard>> cards;
  for (const Scenario& s : scenarios) cards.push_back(backend.add_card(s));
  if (cards.empty()) return 2;

  // SIGINT and SIGTERM end the bridge through a signalfd, so that the card leaves cleanly.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &mask, &old);
  const int sfd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
  auto restore_signals = [&] {
    if (sfd >= 0) {
      // Take the signal that ended the bridge: still pending when the mask is restored, it would
      // end the process by its default action after all, and the exit code would be lost.
      signalfd_siginfo si;
      while (::read(sfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
      }
      ::close(sfd);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  };

  // uhid hands the kernel's events to the bridge through a ring of 32 and drops an event that
  // finds it full, while the host's write or HIDIOCSOUTPUT has already returned success: a host
  // that sends report after report (the pages of an upgrade) outruns a bridge at normal priority,
  // pages are lost, and a get-report request lost with them leaves the host waiting 5 s for
  // nothing. A card on USB takes each report before the host's call returns. At real-time
  // priority the bridge runs as soon as an event is queued, as the card's controller would. The
  // console keeps its normal priority; the pump thread, started by run(), inherits this one.
  sched_param sp{};
  sp.sched_priority = 10;
  const int prio_error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);

  // Standard input's commands go to the first card.
  CardConsole console(*cards[0]);
  // One round per time a card is on the bus: after an upgrade it restarts, leaves and comes
  // back as a new device running its new image. Each card has its own thread and bridge; the
  // signal ends them all (the signalfd stays readable, as nobody reads it until the end).
  auto serve = [&](size_t index) {
    const Scenario& scenario = scenarios[index];
    SimCard* card = cards[index].get();
    int rc = 0;
    for (bool first = true;; first = false) {
      std::string error;
      auto dev = backend.open(SimBackend::node_of(index), platform::Access::ReadWrite, &error);
      if (!dev) {
        std::fprintf(stderr, "kestrel-sim: cannot open the card: %s\n", error.c_str());
        rc = 2;
        break;
      }
      UhidDeviceInfo info = device_info(scenario, *card);
      if (cards.size() > 1) {
        // Several cards: each its own phys (where a USB card has its port) and serial.
        info.phys = "kestrel-sim/" + std::string(card->name()) + "." + std::to_string(index + 1);
        info.uniq = SimBackend::serial_of(index);
      }
      UhidBridge bridge(*dev, info);
      if (!bridge.create(&error)) {
        std::fprintf(stderr, "kestrel-sim: the uhid bridge is unavailable: %s\n", error.c_str());
        rc = 2;
        break;
      }
      std::printf("kestrel-sim: %s behind /dev/uhid as %04x:%04x; Ctrl-C ends\n", card->status_text().c_str(),
                  info.vendor, info.product);
      if (cards.size() > 1) std::printf("kestrel-sim: card %zu phys %s serial %s\n", index + 1, info.phys.c_str(), info.uniq.c_str());
      std::fflush(stdout);
      if (first && index == 0) {
        console.start();
        if (prio_error != 0)
          std::fprintf(stderr,
                       "kestrel-sim: the bridge runs at normal priority (%s); a host that sends reports in quick "
                       "succession may lose some in uhid's queue of 32\n",
                       std::strerror(prio_error));
      }
      rc = bridge.run(sfd);
      if (rc != 1 || !card->returning()) break;
      std::printf("kestrel-sim: restarting into the new image\n");
      std::fflush(stdout);
      if (!wait_for_card_return(*card, sfd)) {
        rc = 0;
        break;
      }
    }
    return rc;
  };
  // Several cards' threads inherit the real-time priority set above.
  const int rc = serve_each_card(cards.size(), serve);
  console.stop();
  restore_signals();
  return rc == 2 ? 2 : rc;
}

}  // namespace kestrel::sim
