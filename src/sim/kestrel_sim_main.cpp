// kestrel-sim: one simulated card.
//
//   kestrel-sim --list-models    the board names, one per line
//   kestrel-sim BOARD            makes the card and runs a few self-checks against it through the
//                                in-process backend and the host's own link
//   kestrel-sim --uhid BOARD     puts the card behind the kernel's uhid interface, so that it
//                                appears as a /dev/hidrawN until interrupted
//   kestrel-sim --uhid A,B,...   the same for several cards at once, one uhid device each
//   kestrel-sim --gadget A,...   each card a USB device on a device controller (dummy_hcd)
//   kestrel-sim --help | --version
//
// Exit codes: 0 done, 1 a self-check failed, 2 usage error, unknown board or uhid unavailable.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devlink/commands.h"
#include "devlink/hid_link.h"
#include "devlink/qhidev.h"
#include "res/version.h"
#include "sim/sample_image.h"
#include "sim/sim_backend.h"

// The uhid hook. The bridge's sources define run_uhid and switch the hook on with
//   target_compile_definitions(kestrel-sim PRIVATE KESTREL_SIM_HAVE_UHID=1)
// run_uhid serves the card through /dev/uhid until interrupted and returns the exit code.
#ifdef KESTREL_SIM_HAVE_UHID
namespace kestrel::sim {
int run_uhid(const Scenario& scenario);
int run_uhid(const std::vector<Scenario>& scenarios);
}
#include "sim/gadget.h"
#endif

namespace {

using namespace kestrel;

constexpr const char* kUsage =
    "usage: kestrel-sim --list-models | BOARD | --uhid BOARD[,BOARD...] [--erase-ms N]\n"
    "       kestrel-sim --gadget BOARD[,BOARD...] [--udc UDC[,UDC...]] [--erase-ms N]\n"
    "       kestrel-sim --sample-image BOARD firmware|fpga FILE\n"
    "  --list-models   the board names, one per line\n"
    "  BOARD           make a simulated card of this board and run a few self-checks against it\n"
    "  --uhid BOARD    put the card behind the kernel's uhid interface (as /dev/hidrawN) until\n"
    "                  interrupted; needs write access to /dev/uhid. Several boards, separated by\n"
    "                  commas, make one card each, with its own phys and serial\n"
    "  --gadget BOARD  make the card a USB device on a device controller (root, configfs, the\n"
    "                  kernel's dummy_hcd): video on interfaces 0 and 1, the card's HID interface\n"
    "                  on interface 2, so that usbhid and uvcvideo take it as a card on a cable\n"
    "  --udc UDC,...   (with --gadget) the controller of each card (default dummy_udc.0, .1, ...)\n"
    "  --erase-ms N    (with --uhid or --gadget) the card takes N ms per 4 KiB flash sector it\n"
    "                  erases, as a slow flash would\n"
    "  --sample-image BOARD firmware|fpga FILE\n"
    "                  write an image a simulated BOARD takes: USB-controller firmware that suits\n"
    "                  the board (version V9.9.9), or FPGA logic; then, for example,\n"
    "                  kestrelctl --simulate BOARD upgrade firmware FILE\n"
    "  --help          this text\n"
    "  --version       the version\n";

// "a,b,c" in its parts; empty when a part is empty.
std::vector<std::string> split_commas(const std::string& list) {
  std::vector<std::string> out;
  for (size_t pos = 0;;) {
    const size_t comma = std::min(list.find(',', pos), list.size());
    if (comma == pos) return {};
    out.push_back(list.substr(pos, comma - pos));
    if (comma == list.size()) return out;
    pos = comma + 1;
  }
}

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

std::optional<sim::Scenario> scenario_or_complain(const char* name) {
  auto s = sim::make_scenario(name);
  if (!s) std::fprintf(stderr, "kestrel-sim: unknown board '%s' (see --list-models)\n", name);
  return s;
}

struct Checks {
  int failed = 0;
  void line(bool ok, const char* what, const std::string& detail) {
    std::printf("  %-4s %-22s %s\n", ok ? "ok" : "FAIL", what, detail.c_str());
    if (!ok) ++failed;
  }
};

std::string hex(uint32_t v, int width = 2) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%0*X", width, v);
  return b;
}

int demo(const sim::Scenario& scenario) {
  sim::SimBackend backend;
  auto card = backend.add_card(scenario);
  platform::set_backend(&backend);

  std::printf("model    %s\n", std::string(card->name()).c_str());
  std::printf("version  %s\n", card->status_text().c_str());
  std::printf("path     %s\n", backend.path_of(0).c_str());
  std::printf("product  %s (vid %04x pid %04x)\n", scenario.product.c_str(), scenario.vendor_id, scenario.product_id);
  std::printf("self-checks through the sim backend and the host link:\n");

  qhidev_list list;
  auto dev = std::make_unique<qhidev>();
  dev->owner = &list;
  dev->path = backend.path_of(0);
  dev->node = sim::SimBackend::node_of(0);
  dev->handle = std::shared_ptr<platform::HidDevice>(backend.open(dev->node, platform::Access::ReadWrite));
  dev->link_flags = scenario.old_answers ? 0 : QHIDEV_F_ECHO2;
  list.items[0] = std::move(dev);
  list.count = 1;
  list.current = list.items[0].get();
  HidLink link(list);
  Checks c;
  alignas(64) static uint8_t page[4096];
  Answer a;

  const uint8_t attach = 1;
  bool ok = link.transact_long(CMD_BOARD_STATUS, 0, &attach, 1, 64, page, a);
  c.line(ok, "command 4 status", ok ? std::string(reinterpret_cast<const char*>(a.payload + 64)) : "no answer");

  ok = link.transact_short(CMD_BOARD_EVENT, CMD_EVENT_SUB, nullptr, 0, 24, page, a) && a.len == 24;
  c.line(ok, "command 1 event", ok ? "capabilities " + hex(a.payload[1]) : "no answer");

  const uint8_t one = 1;
  ok = link.transact_long(CMD_WORK_STATUS, 0, &one, 1, 160, page, a);
  c.line(ok, "command 5 work status", ok ? "input " + std::to_string(a.payload[32]) + ", busy " +
                                               std::to_string(a.payload[16]) : "no answer");

  ok = link.transact_long(CMD_CONFIG_GET, 0, nullptr, 0, 24, page, a);
  c.line(ok && a.len >= 32 && crc32_register(a.payload, 32) == 0, "command 21 config",
         ok ? "half frame rate " + std::to_string(a.payload[0]) + ", CRC register runs to 0" : "no answer");

  uint8_t rq[8] = {0x10, 0, 0x60, 0, 4, 0, 0, 0};
  ok = link.transact_long(CMD_REG_READ, 0, rq, sizeof rq, 8, page, a, link.reg_seq) && a.payload[7] != 0;
  c.line(ok, "command 12 FPGA 0x60", ok ? "version " + hex(get_le32(a.payload + 8), 8) : "no answer");

  const int r = link.hid_send_command(0x22, page);
  c.line(r >= 0, "command 7 code 0x22", "probe hold " + std::to_string(r));

  std::printf("%s\n", c.failed ? "some self-checks failed" : "all self-checks passed");
  platform::set_backend(nullptr);
  return c.failed ? 1 : 0;
}

}  // namespace

// Writes a sample image to a new file; an existing file is left alone.
int write_sample(const char* board, const char* kind, const char* path) {
  if (!sim::make_scenario(board)) {
    std::fprintf(stderr, "kestrel-sim: unknown board '%s' (see --list-models)\n", board);
    return 2;
  }
  const bool firmware = std::strcmp(kind, "firmware") == 0;
  if (!firmware && std::strcmp(kind, "fpga") != 0) {
    std::fprintf(stderr, "kestrel-sim: --sample-image takes firmware or fpga, not '%s'\n", kind);
    return 2;
  }
  const std::vector<uint8_t> bytes = firmware ? sim::sample_usb_image(board) : sim::sample_fpga_image();
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "kestrel-sim: cannot write %s: %s\n", path,
                 errno == EEXIST ? "it exists already (remove it first)" : std::strerror(errno));
    return 2;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = done == bytes.size() && ::close(fd) == 0;
  if (!ok) {
    std::fprintf(stderr, "kestrel-sim: cannot write %s: %s\n", path, std::strerror(errno));
    ::unlink(path);
    return 2;
  }
  std::printf("%s: %s for %s (%zu bytes%s)\n", path, firmware ? "USB-controller firmware" : "FPGA logic", board,
              bytes.size(), firmware ? ", version V9.9.9" : "");
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("kestrel-sim %s\n", KESTREL_BUILD_STAMP);
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "--sample-image") == 0) return write_sample(argv[2], argv[3], argv[4]);
  if (argc == 2 && std::strcmp(argv[1], "--list-models") == 0) {
    for (std::string_view n : sim::board_names()) std::printf("%.*s\n", static_cast<int>(n.size()), n.data());
    return 0;
  }
  // --uhid BOARD[,BOARD...] / --gadget BOARD[,BOARD...], then --erase-ms N: N ms per 4 KiB flash
  // sector erased, so that a test can act while an upgrade runs. Only the erase is slowed: the host
  // waits for it by asking, so it keeps in step. A slow page would not do: uhid takes the host's
  // output reports without waiting for the card and drops what overflows its queue. --udc A,B
  // (with --gadget): the device controller of each card.
  if (argc >= 3 && (std::strcmp(argv[1], "--uhid") == 0 || std::strcmp(argv[1], "--gadget") == 0)) {
    const bool gadget = std::strcmp(argv[1], "--gadget") == 0;
    uint32_t erase_ms = 0;
    std::vector<std::string> udcs;
    for (int i = 3; i < argc; i += 2) {
      if (i + 1 >= argc) return usage();
      if (std::strcmp(argv[i], "--erase-ms") == 0) {
        char* end = nullptr;
        const unsigned long v = std::strtoul(argv[i + 1], &end, 10);
        if (!*argv[i + 1] || *end || v > 10000) {
          std::fprintf(stderr, "kestrel-sim: --erase-ms takes a number of milliseconds (0 to 10000)\n");
          return 2;
        }
        erase_ms = static_cast<uint32_t>(v);
      } else if (gadget && std::strcmp(argv[i], "--udc") == 0) {
        udcs = split_commas(argv[i + 1]);
        if (udcs.empty()) {
          std::fprintf(stderr, "kestrel-sim: --udc takes device controller names separated by commas\n");
          return 2;
        }
      } else {
        return usage();
      }
    }
    std::vector<sim::Scenario> boards;
    const std::vector<std::string> names = split_commas(argv[2]);
    if (names.empty()) {
      std::fprintf(stderr, "kestrel-sim: %s takes board names separated by commas\n", argv[1]);
      return 2;
    }
    for (const std::string& name : names) {
      auto s = scenario_or_complain(name.c_str());
      if (!s) return 2;
      s->latency.per_erase_block_ms = erase_ms;
      boards.push_back(std::move(*s));
    }
    if (udcs.size() > boards.size()) {
      std::fprintf(stderr, "kestrel-sim: more controllers (%zu) than boards (%zu) in --udc\n", udcs.size(), boards.size());
      return 2;
    }
#ifdef KESTREL_SIM_HAVE_UHID
    if (gadget) return sim::run_gadget(boards, sim::GadgetOptions{udcs});
    return boards.size() == 1 ? sim::run_uhid(boards[0]) : sim::run_uhid(boards);
#else
    std::fprintf(stderr, "kestrel-sim: the uhid bridge and the USB gadget are unavailable in this build\n");
    return 2;
#endif
  }
  if (argc == 2 && argv[1][0] != '-') {
    auto s = scenario_or_complain(argv[1]);
    return s ? demo(*s) : 2;
  }
  return usage();
}
