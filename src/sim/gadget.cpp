#include "sim/gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "devlink/frame.h"
#include "sim/card.h"
#include "sim/card_console.h"
#include "sim/sim_backend.h"

namespace kestrel::sim {

namespace {

constexpr uint8_t kHidDescriptorType = 0x21, kReportDescriptorType = 0x22;
constexpr uint8_t kHidGetReport = 0x01, kHidGetIdle = 0x02, kHidGetProtocol = 0x03;
constexpr uint8_t kHidSetReport = 0x09, kHidSetIdle = 0x0A, kHidSetProtocol = 0x0B;
// The interrupt-IN endpoint: every asynchronous report (at most 264 bytes) in one transfer.
constexpr uint16_t kFullSpeedPacket = 64, kHighSpeedPacket = 512;
constexpr uint8_t kHidInterface = 2;

std::vector<uint8_t> hid_class_descriptor(size_t report_descriptor_size) {
  const auto n = static_cast<uint16_t>(report_descriptor_size);
  return {9, kHidDescriptorType, 0x11, 0x01, 0, 1, kReportDescriptorType, static_cast<uint8_t>(n & 0xFF),
          static_cast<uint8_t>(n >> 8)};
}

}  // namespace

std::vector<uint8_t> gadget_hid_descriptors(size_t report_descriptor_size) {
  // Interfaces 0 and 1 where the card has its video function, vendor-specific and without
  // endpoints; interface 2 the HID interface with its one endpoint.
  auto interface = [](uint8_t number, uint8_t endpoints, uint8_t cls) {
    return std::vector<uint8_t>{USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, number, 0, endpoints, cls, 0, 0, 0};
  };
  const std::vector<uint8_t> hid = hid_class_descriptor(report_descriptor_size);
  auto endpoint = [](uint16_t packet, uint8_t interval) {
    return std::vector<uint8_t>{USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 1 | USB_DIR_IN, USB_ENDPOINT_XFER_INT,
                                static_cast<uint8_t>(packet & 0xFF), static_cast<uint8_t>(packet >> 8), interval};
  };
  std::vector<uint8_t> d(20);
  put_le32(d.data(), FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  put_le32(d.data() + 8, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  put_le32(d.data() + 12, 5);  // full speed: interfaces 0, 1 and 2, HID, endpoint
  put_le32(d.data() + 16, 5);  // high speed: the same
  // Full speed polls every 1 ms (bInterval in frames); high speed every 2^(4-1) microframes.
  for (const auto& ep : {endpoint(kFullSpeedPacket, 1), endpoint(kHighSpeedPacket, 4)}) {
    for (const auto& part : {interface(0, 0, USB_CLASS_VENDOR_SPEC), interface(1, 0, USB_CLASS_VENDOR_SPEC),
                             interface(2, 1, USB_CLASS_HID), hid, ep})
      d.insert(d.end(), part.begin(), part.end());
  }
  put_le32(d.data() + 4, static_cast<uint32_t>(d.size()));
  return d;
}

std::vector<uint8_t> gadget_hid_strings() {
  std::vector<uint8_t> s(16, 0);
  put_le32(s.data(), FUNCTIONFS_STRINGS_MAGIC);
  put_le32(s.data() + 4, 16);
  return s;
}

GadgetHidControl::GadgetHidControl(platform::HidDevice& card)
    : translator_(card), report_descriptor_(SimCard::report_descriptor()) {}

ControlAnswer GadgetHidControl::handle(const usb_ctrlrequest& s, std::span<const uint8_t> out_data) {
  ControlAnswer a;
  const uint8_t type = s.bRequestType & USB_TYPE_MASK;
  const bool in = s.bRequestType & USB_DIR_IN;
  const uint16_t length = s.wLength;
  auto give = [&](std::span<const uint8_t> bytes) {
    a.data.assign(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), length));
    return a;
  };
  auto stall = [&] {
    a.stall = true;
    return a;
  };
  if ((s.bRequestType & USB_RECIP_MASK) != USB_RECIP_INTERFACE) return stall();

  if (type == USB_TYPE_STANDARD && in && s.bRequest == USB_REQ_GET_DESCRIPTOR) {
    if ((s.wValue >> 8) == kReportDescriptorType) return give(report_descriptor_);
    if ((s.wValue >> 8) == kHidDescriptorType) return give(hid_class_descriptor(report_descriptor_.size()));
    return stall();
  }
  if (type != USB_TYPE_CLASS) return stall();

  // GET_REPORT and SET_REPORT: wValue = report type (1 input, 2 output, 3 feature) << 8 | ID.
  const uint8_t report_type = s.wValue >> 8, id = s.wValue & 0xFF;
  const int rtype = report_type == 1 ? UHID_INPUT_REPORT : report_type == 2 ? UHID_OUTPUT_REPORT
                  : report_type == 3 ? UHID_FEATURE_REPORT : -1;
  std::vector<uhid_event> replies;
  if (in && s.bRequest == kHidGetReport) {
    if (rtype < 0) return stall();
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_GET_REPORT;
    ev.u.get_report.id = ++seq_;
    ev.u.get_report.rnum = id;
    ev.u.get_report.rtype = static_cast<uint8_t>(rtype);
    translator_.translate(ev, replies);
    if (replies.empty() || replies[0].u.get_report_reply.err != 0) return stall();
    const auto& r = replies[0].u.get_report_reply;
    return give(std::span<const uint8_t>(r.data, r.size));
  }
  if (!in && s.bRequest == kHidSetReport) {
    if (rtype < 0 || out_data.empty() || out_data.size() > UHID_DATA_MAX) return stall();
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_SET_REPORT;
    ev.u.set_report.id = ++seq_;
    ev.u.set_report.rnum = id;
    ev.u.set_report.rtype = static_cast<uint8_t>(rtype);
    ev.u.set_report.size = static_cast<uint16_t>(out_data.size());
    std::memcpy(ev.u.set_report.data, out_data.data(), out_data.size());
    translator_.translate(ev, replies);
    if (replies.empty() || replies[0].u.set_report_reply.err != 0) return stall();
    return a;
  }
  if (in && s.bRequest == kHidGetIdle) return give(std::array<uint8_t, 1>{idle_});
  if (in && s.bRequest == kHidGetProtocol) return give(std::array<uint8_t, 1>{1});  // report protocol
  if (!in && s.bRequest == kHidSetIdle) {
    idle_ = static_cast<uint8_t>(s.wValue >> 8);
    return a;
  }
  if (!in && s.bRequest == kHidSetProtocol) return a;
  return stall();
}

namespace {

// ---- configfs and sysfs --------------------------------------------------------------------

bool write_file(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && ok;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string hex4(unsigned v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%04x", v);
  return b;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    ::closedir(d);
  }
  return names;
}

void unlink_links(const std::string& dir) {
  for (const std::string& n : list_dir(dir)) {
    const std::string p = dir + "/" + n;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) ::unlink(p.c_str());
    else if (S_ISDIR(st.st_mode)) unlink_links(p);
  }
}

void remove_dirs(const std::string& dir) {
  for (const std::string& n : list_dir(dir)) {
    const std::string p = dir + "/" + n;
    struct stat st;
    if (::lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) remove_dirs(p);
  }
  ::rmdir(dir.c_str());  // the groups configfs made itself refuse; they go with their parent
}

// A configfs gadget, links first (a config's functions, a function's class headers), then the
// directories made in it, deepest first.
void remove_gadget_tree(const std::string& dir) {
  if (!exists(dir)) return;
  write_file(dir + "/UDC", "\n");
  unlink_links(dir);
  remove_dirs(dir);
}

struct Fail {
  std::string* error;
  bool operator()(const std::string& what) const {
    *error = what + ": " + std::strerror(errno);
    return false;
  }
};

// The configfs tree of one card: IDs and strings, and the FunctionFS function that carries its
// interfaces.
bool make_gadget(const std::string& g, const std::string& ffs_name, const Scenario& scenario, const std::string& serial,
                 std::string* error) {
  Fail fail{error};
  remove_gadget_tree(g);
  if (::mkdir(g.c_str(), 0755) != 0) return fail("mkdir " + g);
  struct Attr {
    std::string path, value;
  };
  const Attr ids[] = {
      {g + "/idVendor", hex4(scenario.vendor_id)},
      {g + "/idProduct", hex4(scenario.product_id)},
      {g + "/bcdDevice", hex4(scenario.release)},
      {g + "/bcdUSB", "0x0200"},
  };
  for (const Attr& a : ids)
    if (!write_file(a.path, a.value)) return fail(a.path);
  const std::string strings = g + "/strings/0x409", config = g + "/configs/c.1";
  if (::mkdir(strings.c_str(), 0755) != 0 || !write_file(strings + "/manufacturer", "Kestrel simulated card") ||
      !write_file(strings + "/product", scenario.product) || !write_file(strings + "/serialnumber", serial))
    return fail(strings);
  if (::mkdir(config.c_str(), 0755) != 0 || !write_file(config + "/MaxPower", "500"))
    return fail(config);
  const std::string ffs = g + "/functions/ffs." + ffs_name;
  if (::mkdir(ffs.c_str(), 0755) != 0) return fail("mkdir " + ffs);
  if (::symlink(ffs.c_str(), (config + "/ffs." + ffs_name).c_str()) != 0) return fail("link ffs." + ffs_name);
  return true;
}

bool mounted(const std::string& dir) {
  FILE* f = std::fopen("/proc/mounts", "r");
  if (!f) return false;
  char line[1024];
  bool found = false;
  const std::string needle = " " + dir + " ";
  while (!found && std::fgets(line, sizeof line, f)) found = std::strstr(line, needle.c_str()) != nullptr;
  std::fclose(f);
  return found;
}

// ---- The HID interface on FunctionFS ------------------------------------------------------

class FfsHid {
 public:
  FfsHid(platform::HidDevice& card, std::string dir) : card_(card), control_(card), dir_(std::move(dir)) {}
  ~FfsHid() { close_all(); }

  // ep0 opened and the descriptors written: the function is ready for its gadget to be bound.
  bool open(std::string* error) {
    Fail fail{error};
    ep0_ = ::open((dir_ + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (ep0_ < 0) return fail(dir_ + "/ep0");
    const auto d = gadget_hid_descriptors(SimCard::report_descriptor().size()), s = gadget_hid_strings();
    if (::write(ep0_, d.data(), d.size()) != static_cast<ssize_t>(d.size())) return fail("FunctionFS descriptors");
    if (::write(ep0_, s.data(), s.size()) != static_cast<ssize_t>(s.size())) return fail("FunctionFS strings");
    ep1_ = ::open((dir_ + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
    if (ep1_ < 0) return fail(dir_ + "/ep1");
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return true;
  }

  // Answers ep0 and pumps the card's interrupt reports until `stop_fd` is readable (0) or the
  // card leaves the bus (1); 2 on an error of ep0. `before_stop` runs once the loop is over and
  // before the pump is joined: it unbinds the gadget, which ends a write the host never takes.
  template <typename BeforeStop>
  int run(int stop_fd, BeforeStop before_stop) {
    std::thread pump([this] { this->pump(); });
    int rc = 0;
    for (;;) {
      pollfd fds[3] = {{ep0_, POLLIN, 0}, {wake_, POLLIN, 0}, {stop_fd, POLLIN, 0}};
      if (::poll(fds, 3, -1) < 0) {
        if (errno == EINTR) continue;
        rc = 2;
        break;
      }
      if (fds[2].revents & POLLIN) break;
      if (fds[1].revents & POLLIN) {
        rc = 1;
        break;
      }
      if (fds[0].revents & POLLIN) {
        usb_functionfs_event ev;
        const ssize_t got = ::read(ep0_, &ev, sizeof ev);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got != static_cast<ssize_t>(sizeof ev)) {
          rc = 2;
          break;
        }
        if (ev.type == FUNCTIONFS_SETUP) setup(ev.u.setup);
      } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        rc = 2;
        break;
      }
    }
    stopping_.store(true);
    card_.cancel_read();
    before_stop();
    pump.join();
    return rc;
  }

  void close_all() {
    for (int* fd : {&ep1_, &ep0_, &wake_})
      if (*fd >= 0) {
        ::close(*fd);
        *fd = -1;
      }
  }

 private:
  // FunctionFS: a request's data stage or status is a transfer on ep0 in its own direction; one
  // in the other direction stalls it. Data already taken cannot be stalled any more: an OUT
  // report the card refuses is lost, as it is on a card's controller.
  void setup(const usb_ctrlrequest& s) {
    const bool in = s.bRequestType & USB_DIR_IN;
    std::vector<uint8_t> data(in ? 0 : s.wLength);
    uint8_t none = 0;
    if (!data.empty() && ::read(ep0_, data.data(), data.size()) != static_cast<ssize_t>(data.size())) return;
    // FunctionFS gives the function's own interface numbers, here the device's: only interface 2
    // answers.
    ControlAnswer a;
    a.stall = true;
    if ((s.bRequestType & USB_RECIP_MASK) == USB_RECIP_INTERFACE && (s.wIndex & 0xFF) == kHidInterface)
      a = control_.handle(s, data);
    ssize_t r = 0;
    if (a.stall) {
      if (in) r = ::read(ep0_, &none, 0);
      else if (s.wLength == 0) r = ::write(ep0_, &none, 0);
    } else if (in) {
      r = ::write(ep0_, a.data.data(), a.data.size());
    } else if (s.wLength == 0) {
      r = ::read(ep0_, &none, 0);
    }
    (void)r;
  }

  void pump() {
    std::array<uint8_t, 264> buf{};
    while (!stopping_.load()) {
      size_t got = 0;
      const auto st = card_.read_interrupt(buf, 200, got);
      if (st == platform::ReadStatus::Ok && got > 0) {
        // Waits until the host polls the endpoint (while its node is open); unbinding ends it.
        ssize_t w;
        do {
          w = ::write(ep1_, buf.data(), got);
        } while (w < 0 && errno == EINTR && !stopping_.load());
      } else if (st == platform::ReadStatus::Gone) {
        const uint64_t one = 1;
        [[maybe_unused]] auto w = ::write(wake_, &one, sizeof one);
        return;
      } else if (st == platform::ReadStatus::Error) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
  }

  platform::HidDevice& card_;
  GadgetHidControl control_;
  std::string dir_;
  int ep0_ = -1, ep1_ = -1, wake_ = -1;
  std::atomic<bool> stopping_{false};
};

}  // namespace

int run_gadget(const std::vector<Scenario>& scenarios, const GadgetOptions& options) {
  if (scenarios.empty()) return 2;
  const std::string configfs = "/sys/kernel/config";
  if (!exists(configfs + "/usb_gadget")) {
    if (!mounted(configfs)) ::mount("none", configfs.c_str(), "configfs", 0, nullptr);
    if (!exists(configfs + "/usb_gadget")) {
      std::fprintf(stderr, "kestrel-sim: no USB gadget support in configfs (%s/usb_gadget; modules libcomposite, usb_f_fs)\n",
                   configfs.c_str());
      return 2;
    }
  }
  SimBackend backend;
  std::vector<std::shared_ptr<SimCard>> cards;
  struct Place {
    std::string udc, gadget, ffs_name, ffs_dir, serial;
  };
  std::vector<Place> places;
  for (size_t i = 0; i < scenarios.size(); ++i) {
    cards.push_back(backend.add_card(scenarios[i]));
    Place p;
    p.udc = i < options.udcs.size() ? options.udcs[i] : "dummy_udc." + std::to_string(i);
    std::string tag = p.udc;
    std::replace(tag.begin(), tag.end(), '.', '_');
    p.gadget = configfs + "/usb_gadget/kestrel-" + tag;
    p.ffs_name = "kestrel_" + tag;
    p.ffs_dir = "/dev/ffs-" + p.ffs_name;
    p.serial = SimBackend::serial_of(i);
    if (!exists("/sys/class/udc/" + p.udc)) {
      std::fprintf(stderr, "kestrel-sim: no USB device controller %s (load dummy_hcd, num= for several)\n", p.udc.c_str());
      return 2;
    }
    places.push_back(std::move(p));
  }

  // SIGINT and SIGTERM end every card through a signalfd, so that each leaves the bus cleanly.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &mask, &old);
  const int sfd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);

  CardConsole console(*cards[0]);
  auto serve = [&](size_t index) {
    const Scenario& scenario = scenarios[index];
    const Place& p = places[index];
    SimCard* card = cards[index].get();
    std::string error;
    if (!make_gadget(p.gadget, p.ffs_name, scenario, p.serial, &error)) {
      std::fprintf(stderr, "kestrel-sim: cannot make the USB gadget: %s\n", error.c_str());
      remove_gadget_tree(p.gadget);
      return 2;
    }
    ::mkdir(p.ffs_dir.c_str(), 0755);
    if (!mounted(p.ffs_dir) && ::mount(p.ffs_name.c_str(), p.ffs_dir.c_str(), "functionfs", 0, nullptr) != 0) {
      std::fprintf(stderr, "kestrel-sim: cannot mount FunctionFS %s on %s: %s\n", p.ffs_name.c_str(),
                   p.ffs_dir.c_str(), std::strerror(errno));
      remove_gadget_tree(p.gadget);
      return 2;
    }
    int rc = 0;
    // One round per time the card is on the bus: after an upgrade it restarts, leaves the bus
    // (the gadget unbound: a disconnect on its port) and comes back on the same port.
    for (bool first = true;; first = false) {
      auto dev = backend.open(SimBackend::node_of(index), platform::Access::ReadWrite, &error);
      if (!dev) {
        std::fprintf(stderr, "kestrel-sim: cannot open the card: %s\n", error.c_str());
        rc = 2;
        break;
      }
      FfsHid hid(*dev, p.ffs_dir);
      if (!hid.open(&error)) {
        std::fprintf(stderr, "kestrel-sim: the HID function is unavailable: %s\n", error.c_str());
        rc = 2;
        break;
      }
      if (!write_file(p.gadget + "/UDC", p.udc)) {
        std::fprintf(stderr, "kestrel-sim: cannot bind the gadget to %s: %s\n", p.udc.c_str(), std::strerror(errno));
        rc = 2;
        break;
      }
      std::printf("kestrel-sim: %s on USB as %04x:%04x on %s serial %s; Ctrl-C ends\n",
                  card->status_text().c_str(), scenario.vendor_id, scenario.product_id, p.udc.c_str(), p.serial.c_str());
      std::fflush(stdout);
      if (first && index == 0) console.start();
      rc = hid.run(sfd, [&] { write_file(p.gadget + "/UDC", "\n"); });
      hid.close_all();
      if (rc != 1 || !card->returning()) break;
      std::printf("kestrel-sim: restarting into the new image\n");
      std::fflush(stdout);
      if (!wait_for_card_return(*card, sfd)) {
        rc = 0;
        break;
      }
    }
    write_file(p.gadget + "/UDC", "\n");
    ::umount2(p.ffs_dir.c_str(), MNT_DETACH);
    ::rmdir(p.ffs_dir.c_str());
    remove_gadget_tree(p.gadget);
    return rc;
  };
  const int rc = serve_each_card(cards.size(), serve);
  console.stop();
  if (sfd >= 0) {
    signalfd_siginfo si;
    while (::read(sfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
    }
    ::close(sfd);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return rc;
}

}  // namespace kestrel::sim
