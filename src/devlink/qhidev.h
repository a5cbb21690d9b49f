// Device records and the process-wide device list: which HID interfaces are cards, and which
// one is current (the one every transaction and the reader talk to).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

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
};

extern qhidev_list g_qhidev_list;

}  // namespace kestrel
