// The card's HID interface as a USB function (kestrel-sim --gadget): the FunctionFS descriptors
// that make the host's usbhid take it, and the control requests answered by the simulated card
// through the uhid bridge's translator. No gadget is made here; the VM test does that.
#include <gtest/gtest.h>

#include <linux/usb/functionfs.h>

#include <vector>

#include "devlink/frame.h"
#include "sim/card.h"
#include "sim/gadget.h"
#include "sim/sim_backend.h"

namespace kestrel::sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes padded(std::initializer_list<uint8_t> head, size_t size) {
  Bytes b(head);
  b.resize(size, 0);
  return b;
}

usb_ctrlrequest request(uint8_t type, uint8_t req, uint16_t value, uint16_t length) {
  usb_ctrlrequest s{};
  s.bRequestType = type;
  s.bRequest = req;
  s.wValue = value;
  s.wIndex = 0;
  s.wLength = length;
  return s;
}

constexpr uint8_t kClassIn = USB_DIR_IN | USB_TYPE_CLASS | USB_RECIP_INTERFACE;
constexpr uint8_t kClassOut = USB_DIR_OUT | USB_TYPE_CLASS | USB_RECIP_INTERFACE;

struct Gadget : ::testing::Test {
  SimBackend backend;
  std::shared_ptr<SimCard> card = backend.add_card(*make_scenario("meadow"));
  std::unique_ptr<platform::HidDevice> dev = backend.open(SimBackend::node_of(0), platform::Access::ReadWrite);
  GadgetHidControl control{*dev};
};

TEST(GadgetDescriptors, HidIsInterfaceTwoWithOnlyAnInterruptInEndpoint) {
  const size_t rd = SimCard::report_descriptor().size();
  const Bytes d = gadget_hid_descriptors(rd);
  ASSERT_EQ(d.size(), 20u + 2 * (9 + 9 + 9 + 9 + 7));
  EXPECT_EQ(get_le32(d.data()), FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  EXPECT_EQ(get_le32(d.data() + 4), d.size());
  EXPECT_EQ(get_le32(d.data() + 8), uint32_t{FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC});
  EXPECT_EQ(get_le32(d.data() + 12), 5u);
  EXPECT_EQ(get_le32(d.data() + 16), 5u);
  for (size_t speed = 0; speed < 2; ++speed) {
    const uint8_t* p = d.data() + 20 + speed * 43;
    // Interfaces 0 and 1 (the video function's places): vendor-specific, no endpoints.
    EXPECT_EQ(Bytes(p, p + 9), (Bytes{9, USB_DT_INTERFACE, 0, 0, 0, USB_CLASS_VENDOR_SPEC, 0, 0, 0}));
    EXPECT_EQ(Bytes(p + 9, p + 18), (Bytes{9, USB_DT_INTERFACE, 1, 0, 0, USB_CLASS_VENDOR_SPEC, 0, 0, 0}));
    p += 18;
    // Interface 2: class HID, one endpoint.
    EXPECT_EQ(Bytes(p, p + 9), (Bytes{9, USB_DT_INTERFACE, 2, 0, 1, USB_CLASS_HID, 0, 0, 0}));
    // HID descriptor: HID 1.11, one report descriptor of the card's size.
    EXPECT_EQ(Bytes(p + 9, p + 18), (Bytes{9, 0x21, 0x11, 0x01, 0, 1, 0x22, static_cast<uint8_t>(rd & 0xFF),
                                           static_cast<uint8_t>(rd >> 8)}));
    // Endpoint 1 IN, interrupt: the host sends output reports as SET_REPORT.
    EXPECT_EQ(p[18], 7);
    EXPECT_EQ(p[19], USB_DT_ENDPOINT);
    EXPECT_EQ(p[20], 0x81);
    EXPECT_EQ(p[21], USB_ENDPOINT_XFER_INT);
  }
}

TEST_F(Gadget, ReportDescriptorAndHidDescriptorAreServed) {
  const Bytes rd = SimCard::report_descriptor();
  ControlAnswer a = control.handle(request(USB_DIR_IN | USB_RECIP_INTERFACE, USB_REQ_GET_DESCRIPTOR, 0x2200, 4096), {});
  EXPECT_FALSE(a.stall);
  EXPECT_EQ(a.data, rd);
  // Cut to the host's wLength.
  a = control.handle(request(USB_DIR_IN | USB_RECIP_INTERFACE, USB_REQ_GET_DESCRIPTOR, 0x2200, 16), {});
  EXPECT_EQ(a.data, Bytes(rd.begin(), rd.begin() + 16));
  a = control.handle(request(USB_DIR_IN | USB_RECIP_INTERFACE, USB_REQ_GET_DESCRIPTOR, 0x2100, 9), {});
  ASSERT_EQ(a.data.size(), 9u);
  EXPECT_EQ(a.data[7] | a.data[8] << 8, static_cast<int>(rd.size()));
}

TEST_F(Gadget, SetReportReachesTheCardAndGetReportFetchesItsAnswer) {
  // Command 7 code 0x22 on output 11, as the host's link sends it.
  const Bytes rq = padded({0x0B, 0x05, 0x07, 0x00, 0x01, 0x00, 0x6B, 0xFA, 0x81}, 265);
  ControlAnswer a = control.handle(request(kClassOut, 0x09, 0x0200 | 11, 265), rq);
  EXPECT_FALSE(a.stall);
  const auto out = card->reports_of(ReportKind::Output);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], rq);
  a = control.handle(request(kClassIn, 0x01, 0x0100 | 9, 265), {});
  ASSERT_FALSE(a.stall);
  ASSERT_EQ(a.data.size(), 265u);
  EXPECT_EQ(a.data[0], 9);
  EXPECT_EQ(a.data[1], 0x05);  // the request's sequence byte echoed
  EXPECT_EQ(card->reports_of(ReportKind::InputGet).size(), 1u);
  // The answer is fetched once; a host asking for fewer bytes gets that many.
  EXPECT_TRUE(control.handle(request(kClassIn, 0x01, 0x0100 | 9, 265), {}).stall);
  control.handle(request(kClassOut, 0x09, 0x0200 | 11, 265), rq);
  a = control.handle(request(kClassIn, 0x01, 0x0100 | 9, 64), {});
  ASSERT_EQ(a.data.size(), 64u);
  EXPECT_EQ(a.data[0], 9);
}

TEST_F(Gadget, TheLegacyDownloadHandshakeSizeIsTrackedAsBehindUhid) {
  EXPECT_FALSE(control.translator().legacy_download_active());
  control.handle(request(kClassOut, 0x09, 0x0300 | 1, 261), padded({1, 1}, 261));
  EXPECT_TRUE(control.translator().legacy_download_active());
  control.handle(request(kClassOut, 0x09, 0x0300 | 1, 261), padded({1, 0}, 261));
  EXPECT_FALSE(control.translator().legacy_download_active());
}

TEST_F(Gadget, WhatTheCardHasNotIsStalled) {
  struct Case {
    const char* what;
    usb_ctrlrequest s;
  } cases[] = {
      {"an input report the card has not", request(kClassIn, 0x01, 0x0100 | 99, 64)},
      {"a get of an output report", request(kClassIn, 0x01, 0x0200 | 11, 265)},
      {"report type 0", request(kClassIn, 0x01, 0x0000 | 9, 265)},
      {"a string descriptor asked of the interface", request(USB_DIR_IN | USB_RECIP_INTERFACE, USB_REQ_GET_DESCRIPTOR, 0x0301, 255)},
      {"a vendor request", request(USB_DIR_IN | USB_TYPE_VENDOR | USB_RECIP_INTERFACE, 0xA0, 0, 8)},
      {"a request to the device", request(USB_DIR_IN | USB_TYPE_CLASS | USB_RECIP_DEVICE, 0x01, 0x0109, 265)},
  };
  for (const Case& c : cases) EXPECT_TRUE(control.handle(c.s, {}).stall) << c.what;
  EXPECT_TRUE(card->reports_of(ReportKind::InputGet).empty());
  // SET_IDLE, which usbhid sends at probe, is taken; GET_IDLE gives it back.
  EXPECT_FALSE(control.handle(request(kClassOut, 0x0A, 0x0400, 0), {}).stall);
  EXPECT_EQ(control.handle(request(kClassIn, 0x02, 0, 1), {}).data, Bytes{4});
}

}  // namespace
}  // namespace kestrel::sim
