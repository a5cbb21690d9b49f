// The uhid bridge of `kestrel-sim --uhid BOARD`: puts a simulated card behind Linux's /dev/uhid,
// so that the kernel makes a real /dev/hidrawN of it (with udev arrival and removal events) and
// the hidraw backend can be tested against the real kernel HID stack.
//
// The work is split in two: UhidTranslator is pure (uhid_event in, uhid_events out, calls on a
// platform::HidDevice that stands for the card) and is unit-tested without /dev/uhid; UhidBridge
// is the thin shell that reads and writes the uhid file descriptor and pumps the card's
// interrupt reports.
//
// What the kernel does with the reports (drivers/hid/uhid.c, hidraw.c, hid-core.c), and so what
// the descriptor has to declare:
//  - every report is numbered: hidraw hands the report ID in byte 0, and so do the uhid events
//    (UHID_OUTPUT, UHID_SET_REPORT data, UHID_GET_REPORT_REPLY data, UHID_INPUT2 data);
//  - get and set report requests (HIDIOCGINPUT, HIDIOCGFEATURE, HIDIOCSFEATURE, HIDIOCSOUTPUT,
//    write()) are passed through with the caller's length, not checked against the descriptor;
//    a get copies min(caller's length, reply size) back; UHID_GET_REPORT does not tell the
//    bridge the caller's length;
//  - an interrupt input (UHID_INPUT2) is looked up by its ID among the declared input reports
//    and dropped when undeclared, so the asynchronous inputs must be declared at the size sent;
//  - the events for the bridge wait in a ring of 32, and one that finds it full is dropped while
//    the host's call succeeds (an output report returns at once, unanswered): the bridge has to
//    keep up, which run_uhid makes sure of with real-time priority.
// A HID descriptor declares one size per (kind, report ID). Where the card uses one ID of one
// kind at two sizes, the descriptor declares the larger, which both uses fit:
//  - input 6: 264 (the flash channel's qspi status); the legacy download handshake of 257 bytes
//    is a shorter get of the same report. Because the get request carries no length, the
//    translator asks the card for 257 bytes while a legacy download is active (between a set of
//    feature 1 with byte 1 = 1 and one with byte 1 = 0) and for 264 otherwise; the card's
//    channels tell the two protocols apart by that size.
//  - feature 1: 261 (the legacy download start/end set); the 24-byte board event record get is
//    fetched from the card at 24 bytes and the kernel copies what the caller asked for.
//  - output 5: 261 (the legacy erase); the 63-byte notification (command 14) is a shorter set,
//    and its length reaches the card unchanged.
//  - input 8: 264 (the asynchronous read size); the 248-byte fetch is a shorter get.
#pragma once

#include <linux/uhid.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/hid_backend.h"
#include "sim/scenario.h"

namespace kestrel::sim {

enum class UhidReportKind : uint8_t { Input, Output, Feature };

// One report of the card's vendor interface as the descriptor declares it.
struct UhidReportDecl {
  uint8_t id;
  UhidReportKind kind;
  uint16_t size;       // declared size in bytes, report ID included
  uint16_t get_size;   // size the translator fetches from the card on a get (0: not fetched)
};

// The card's report table: every report with the size the descriptor declares for it
// (SimCard::report_descriptor, which the bridge hands to UHID_CREATE2) and the size the
// translator fetches from the card on a get.
std::span<const UhidReportDecl> uhid_report_table();

struct UhidDeviceInfo {
  std::string name = "Kestrel simulated capture card";
  std::string phys = "kestrel-sim";
  std::string uniq;
  uint16_t vendor = 0x04B4;   // Cypress (the first card prefix)
  uint16_t product = 0x00ED;
  uint16_t version = 0x0100;  // bcdDevice
  std::vector<uint8_t> report_descriptor;  // the card's (SimCard::report_descriptor())
};

class UhidTranslator {
 public:
  explicit UhidTranslator(platform::HidDevice& card) : card_(card) {}

  static uhid_event create_event(const UhidDeviceInfo& info, std::span<const uint8_t> descriptor);
  static uhid_event destroy_event();
  // An interrupt-IN report of the card (report ID in byte 0) as UHID_INPUT2; false when it
  // does not fit.
  static bool input_event(std::span<const uint8_t> report, uhid_event& out);

  // One event from the kernel: forwards it to the card and appends the reply the kernel waits
  // for (UHID_GET_REPORT_REPLY, UHID_SET_REPORT_REPLY), if any, to `out`.
  void translate(const uhid_event& in, std::vector<uhid_event>& out);

  bool started() const { return started_; }
  bool opened() const { return open_count_ > 0; }
  bool legacy_download_active() const { return legacy_active_; }
  // The size the translator fetches for a get of (kind, id); 0 for a report the card has not.
  uint16_t get_size(UhidReportKind kind, uint8_t id) const;

  struct Counters {
    uint32_t gets = 0, sets = 0, outputs = 0, failed = 0, unknown = 0;
  };
  const Counters& counters() const { return counters_; }

 private:
  platform::HidDevice& card_;
  bool started_ = false;
  int open_count_ = 0;
  bool legacy_active_ = false;
  Counters counters_;
  std::vector<uint8_t> buf_ = std::vector<uint8_t>(UHID_DATA_MAX);
};

// The file-descriptor shell. Not copyable; one card per bridge.
class UhidBridge {
 public:
  UhidBridge(platform::HidDevice& card, UhidDeviceInfo info);
  ~UhidBridge();
  UhidBridge(const UhidBridge&) = delete;
  UhidBridge& operator=(const UhidBridge&) = delete;

  // Opens `path` and sends UHID_CREATE2: the card arrives. False with a reason on failure.
  bool create(std::string* error = nullptr, const char* path = "/dev/uhid");
  // The same on a descriptor already open (the bridge owns it from now on): tests hand it one
  // end of a SOCK_SEQPACKET socket pair and play the kernel on the other.
  bool adopt(int fd, std::string* error = nullptr);
  // Serves the kernel's events and pumps the card's interrupt reports until `stop_fd` (when
  // >= 0) becomes readable, the card is unplugged (its read_interrupt reports Gone) or the uhid
  // descriptor fails. Ends with UHID_DESTROY (the card leaves). Returns 0 when stopped, 1 when
  // the card was unplugged, 2 on an error of the uhid descriptor.
  int run(int stop_fd);
  // UHID_DESTROY and close; idempotent.
  void destroy();
  const UhidTranslator& translator() const { return translator_; }

 private:
  bool write_event(const uhid_event& ev);
  void pump();

  platform::HidDevice& card_;
  UhidDeviceInfo info_;
  UhidTranslator translator_;
  int fd_ = -1;
  int wake_fd_ = -1;  // eventfd: the pump tells run() that the card is gone
  std::mutex write_mu_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> gone_{false};
};

// `kestrel-sim --uhid BOARD`: makes the card of the scenario (with its flash and download
// channels) in a SimBackend, opens it and serves it through /dev/uhid until SIGINT or SIGTERM
// or until the card is unplugged. Returns the program's exit code: 0 stopped, 1 the card was
// unplugged (by a fault), 2 /dev/uhid unavailable.
//
// Meanwhile the card lives: a new frame about once a second (event 72 on a card with
// asynchronous reports, a new frame-timing record), and commands on standard input, one a line,
// each answered by one line "kestrel-sim: ..." on standard output:
//   text TEXT           the card prints TEXT on its debug channel (asynchronous report 8, or
//                       the polled report 8 on a card without asynchronous reports)
//   event CODE          the card sends an event record with this code
//   storage             what the flash channel and the HID download did: pages programmed,
//                       verifies and whether the CRC matched, bytes downloaded, pages lost
//   save ADDR LEN PATH  LEN bytes of the card's flash from ADDR into the file PATH
// The end of standard input ends only the commands.
int run_uhid(const Scenario& scenario);
// `kestrel-sim --uhid A,B`: one uhid device per scenario in this process, each with its own card,
// phys ("kestrel-sim/<board>.<n>") and serial (uniq "KSIM000<n>"), served on a thread of its
// own; the commands on standard input go to the first card. Returns the worst exit code.
int run_uhid(const std::vector<Scenario>& scenarios);

}  // namespace kestrel::sim
