// Device records and the process-wide device list: which HID interfaces are cards, and which
// one is current (the one every transaction and the reader talk to).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/hid_backend.h"

namespace kestrel {

// Link flags: what the attached card can do, set at attach.
constexpr uint16_t QHIDEV_F_STATUS_CMD = 0x01;   // valid status block read with command 4
constexpr uint16_t QHIDEV_F_ECHO2 = 0x02;        // answers carry the command echo in byte 2
constexpr uint16_t QHIDEV_F_STATUS_RPT = 0x04;   // status block served as input report 4
constexpr uint16_t QHIDEV_F_ASYNC_MASK = 0x48;   // either bit: the card sends asynchronous reports
constexpr uint16_t QHIDEV_F_FLASH_CHAN = 0x10;   // the card offers the flash channel
constexpr uint16_t QHIDEV_F_CAP20 = 0x20;        // copied from the event record; nothing tests it
constexpr uint16_t QHIDEV_F_STATUS_FAIL = 0x80;  // command 4 failed at attach

constexpr uint32_t QHIDEV_MAX = 64;

// The device-path prefixes that mark a card's interface, compared without regard to letter
// case; the first that starts a path wins and its position, from 1, is the filter index. The
// last one carries only two digits of the product ID: vendor 0x28E9, products 0x69xx.
inline constexpr std::array<std::string_view, 7> QHIDEV_FILTER = {
    "\\\\?\\hid#vid_04b4&pid_00ed",
    "\\\\?\\hid#vid_04b4&pid_00eb",
    "\\\\?\\hid#vid_04b4&pid_003d",
    "\\\\?\\hid#vid_04b4&pid_002d",
    "\\\\?\\hid#vid_04b4&pid_2060",
    "\\\\?\\hid#vid_28e9&pid_028b",
    "\\\\?\\hid#vid_28e9&pid_69",
};

constexpr uint32_t QHIDEV_OPEN_WAIT_MS = 100;   // after opening, before the first query
constexpr uint32_t QHIDEV_INPUT_BUFFERS = 272;  // driver input queue asked for at open
// A card that comes back from a restart is listed by the kernel before udev has made its node and
// given the seat's user access to it: its open is tried again this often, for this long.
constexpr uint32_t QHIDEV_RETURN_RETRY_MS = 100;
constexpr uint32_t QHIDEV_RETURN_PATIENCE_MS = 5000;

struct qhidev_list;
struct qhidev;

struct qhidev_ops {
  uint32_t version;
  void (*close)(qhidev*);
  void (*destroy)(qhidev*);
};

// HID report lengths of the interface, report ID byte included (0 when none).
struct HidCaps {
  uint16_t input_report_length = 0;
  uint16_t output_report_length = 0;
  uint16_t feature_report_length = 0;
};

struct HidAttributes {
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint16_t version = 0;
};

struct qhidev {
  qhidev_list* owner = nullptr;
  const qhidev_ops* ops = nullptr;  // also the record's type mark
  std::string path;                 // Windows-form interface path
  std::string name;                 // display name
  std::string node;                 // what the backend opens
  uint16_t filter_index = 0;        // 1-based position of the matching prefix
  uint16_t prefix_length = 0;
  uint16_t link_flags = 0;
  // The open device, or empty (the invalid handle). Shared so that the reader thread can keep
  // a device alive across a release that happens under it.
  std::shared_ptr<platform::HidDevice> handle;
  HidCaps caps;
  HidAttributes attributes;
};

struct qhidev_list {
  uint32_t count = 0;
  uint32_t current_index = 0;
  qhidev* current = nullptr;
  std::array<std::unique_ptr<qhidev>, QHIDEV_MAX> items;
  // Held while `current`, or the handle or link flags of a listed record, change, and by the
  // reader thread while it takes its reference (qhidev_reader_handle). The GUI thread, the
  // only writer, reads them without it.
  std::mutex reader_lock;
};

// The operations table, a record's type mark: version 1, qhidev_close, qhidev_destroy.
extern const qhidev_ops QHIDEV_OPS;

// The filter index of `path` (0 when no prefix matches); *prefix_length gets that prefix's length.
uint16_t qhidev_filter_match(std::string_view path, uint16_t* prefix_length);

// "<product> - <path after the prefix, from its first character not among #_ -&, up to "#{">":
// "USB Video - mi_02#7&2a3b&0&0000". An unreadable product string is passed as empty.
std::string qhidev_display_name(std::string_view product, std::string_view path, size_t prefix_length);

// Discovery on platform::backend(): every present interface's path is logged, the ones that
// match the filter are built query-only and listed (at most QHIDEV_MAX), all closed. A matching
// interface that cannot be opened or whose report descriptor cannot be parsed is left out; the
// ones after it are still listed. False only when the backend cannot list interfaces.
bool qhidev_enum(qhidev_list& list);

// A record for `info`, its handle open with `access`, after the open wait (kestrel::sleep_ms);
// nullptr when the open fails (a permission failure names the udev rule in the log) or the
// report descriptor is refused, with the reason in *why when given (Other for a refused
// descriptor). Records own their strings, so no work area is lent.
std::unique_ptr<qhidev> qhidev_build(qhidev_list& list, const platform::HidInterfaceInfo& info,
                                     uint16_t filter_index, uint16_t prefix_length, platform::Access access,
                                     platform::OpenFailure* why = nullptr);

// A copy of `r` that shares its handle (only one of the two may be closed); nullptr when it
// cannot be allocated.
std::unique_ptr<qhidev> qhidev_clone(const qhidev& r);

// Makes entry `index` the current device, rebuilt from its interface with read-and-write
// access; does nothing when it is current already. On failure no device is current and the
// list is unchanged; *why, when given, says why (NotFound: the interface is no longer listed).
bool qhidev_open(qhidev_list& list, uint32_t index, platform::OpenFailure* why = nullptr);

// Releases the handle (a reader blocked on it is woken and returns Cancelled).
void qhidev_close(qhidev* r);
// qhidev_close, then deletes the record, which must come from new (qhidev_build, qhidev_clone).
void qhidev_destroy(qhidev* r);
// Empties the list: every record destroyed, no current device.
void qhidev_release_all(qhidev_list& list);

// For the reader thread: the current device's handle, kept alive for as long as the caller
// holds it, and its link flags; empty when no device is current. A release or an open that
// replaces the device cancels the reader's blocked read, and the next call sees the change.
std::shared_ptr<platform::HidDevice> qhidev_reader_handle(qhidev_list& list, uint16_t* link_flags = nullptr);
// Sets a record's link flags under its list's lock, so a reader never sees them half-written.
void qhidev_set_link_flags(qhidev& d, uint16_t flags);

}  // namespace kestrel
