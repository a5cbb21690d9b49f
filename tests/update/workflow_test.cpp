// the two button workflows against the simulated card, both paths: the order of the
// locks, the file choice, the check, the transfer and the message box; the HID download's
// block, page, header and progress arithmetic as the card received it.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "app/ids.h"
#include "log/log_capture.h"
#include "support/recording_device.h"
#include "update/download.h"
#include "update/image_limits.h"
#include "sim/sample_image.h"
#include "upgrade_fixture.h"

namespace kestrel {
namespace {

using test::UpgradeRig;

uint16_t be16(const std::vector<uint8_t>& r, size_t at) { return static_cast<uint16_t>((r[at] << 8) | r[at + 1]); }

// ---- HID download path ----------------------------------------------------------------------

TEST(HidDownload, Fpga1000BytesBlock4HeaderAndFourPages) {
  UpgradeRig rig("TB610K-1CH");  // no flash channel: the HID path
  const auto bit = test::fpga_bitstream(1000);
  rig.view.file_answers.push_back(rig.dir.write("logic.bit", bit));
  rig.fx.card->clear_reports();
  rig.wf->on_clicked_button_fpga_firmware();

  EXPECT_EQ(rig.view.file_filters, std::vector<std::string>{FILTER_FPGA_IMAGE});
  EXPECT_TRUE(rig.alerts.empty());  // FPGA images are never checked
  EXPECT_EQ(rig.wf->last().path, UpgradePath::HidDownload);
  EXPECT_EQ(rig.view.messages, std::vector<std::string>{"OK!"});

  const auto reps = rig.download_reports();
  ASSERT_EQ(reps.size(), 1u + 1 + 1 + 4 + 1);
  EXPECT_EQ(reps[0][0], 1);  // feature 1: start
  EXPECT_EQ(reps[0][1], 1);
  EXPECT_EQ(reps[1][0], 5);  // erase block 4 only
  EXPECT_EQ(reps[1][1], 4);
  EXPECT_TRUE(std::all_of(reps[1].begin() + 2, reps[1].end(), [](uint8_t b) { return b == 0; }));
  // Header page 0x400: count 8, size and its complement, little-endian.
  EXPECT_EQ(reps[2][0], 4);
  EXPECT_EQ(be16(reps[2], 1), 0x400);
  EXPECT_EQ(be16(reps[2], 3), 8);
  EXPECT_EQ(get_le32(reps[2].data() + 5), 1000u);
  EXPECT_EQ(get_le32(reps[2].data() + 9), ~1000u);
  EXPECT_TRUE(std::all_of(reps[2].begin() + 13, reps[2].end(), [](uint8_t b) { return b == 0; }));
  const uint16_t counts[] = {256, 256, 256, 232};
  for (int i = 0; i < 4; ++i) {
    const auto& r = reps[3 + i];
    EXPECT_EQ(r[0], 4);
    EXPECT_EQ(be16(r, 1), 0x401 + i);
    EXPECT_EQ(be16(r, 3), counts[i]);
    EXPECT_TRUE(std::equal(r.begin() + 5, r.begin() + 5 + counts[i], bit.begin() + 256 * i));
    EXPECT_TRUE(std::all_of(r.begin() + 5 + counts[i], r.end(), [](uint8_t b) { return b == 0; }));
  }
  EXPECT_EQ(reps[7][0], 1);  // end
  EXPECT_EQ(reps[7][1], 0);

  ASSERT_TRUE(rig.dl_ch.fpga_image().has_value());
  EXPECT_EQ(*rig.dl_ch.fpga_image(), bit);
  EXPECT_EQ(rig.dl_ch.stats().writes_while_busy, 0u);
  EXPECT_GT(rig.dl_ch.stats().busy_polls, 0u);  // the worker waited for the erase
  EXPECT_EQ(rig.control_codes(), (std::vector<uint8_t>{0x21, 0x81, 0x80, 0x20}));
  EXPECT_FALSE(rig.view.visible(ids::PROGRESS));
  EXPECT_TRUE(rig.view.enabled(ids::BTN_FPGA_FIRMWARE));
  EXPECT_FALSE(rig.dlg->card().download_locked());
}

TEST(HidDownload, UsbImage65536BytesBlock0Pages0To255) {
  UpgradeRig rig("TB610K-1CH");
  const auto img = test::usb_image_of_size(65536, "TB610K-1CH");
  rig.view.file_answers.push_back(rig.dir.write("fw.img", img));
  rig.fx.card->clear_reports();
  test::LogCapture log;
  rig.wf->on_clicked_button_usb_firmware();

  EXPECT_EQ(rig.view.file_filters, std::vector<std::string>{FILTER_USB_IMAGE});
  ASSERT_EQ(rig.alerts.size(), 1u);  // the match check ran: TB610K-1CH never probes true
  EXPECT_EQ(rig.alerts[0].style, 0x0301);
  EXPECT_EQ(rig.view.messages, std::vector<std::string>{"OK!"});

  const auto reps = rig.download_reports();
  ASSERT_EQ(reps.size(), 1u + 1 + 256 + 1);
  EXPECT_EQ(reps[1][0], 5);
  EXPECT_EQ(reps[1][1], 0);
  for (int i = 0; i < 256; ++i) {
    const auto& r = reps[2 + i];
    ASSERT_EQ(r[0], 4);
    ASSERT_EQ(be16(r, 1), i);
    ASSERT_EQ(be16(r, 3), 256);
  }
  EXPECT_EQ(rig.dl_ch.usb_image(65536), img);
  EXPECT_EQ(rig.control_codes(), (std::vector<uint8_t>{0x21, 0x81, 0x80, 0x20}));
  const std::string t = log.text();
  EXPECT_NE(t.find(" msg : download images and lock(0)\r\n"), std::string::npos);
  // 0x20 answers the hold the card had (0x21 set it): 1.
  EXPECT_NE(t.find(" msg : download exit and unlock(1)\r\n"), std::string::npos);
}

TEST(HidDownload, DeclinedCheckDownloadsNothing) {
  UpgradeRig rig("TB610K-1CH");
  rig.default_alert_answer = false;
  rig.view.file_answers.push_back(rig.dir.write("fw.img", test::usb_image(test::tagged("TB610K-1CH"))));
  rig.fx.card->clear_reports();
  rig.wf->on_clicked_button_usb_firmware();
  EXPECT_EQ(rig.alerts.size(), 1u);
  EXPECT_TRUE(rig.download_reports().empty());
  EXPECT_TRUE(rig.view.messages.empty());
  EXPECT_EQ(rig.control_codes(), (std::vector<uint8_t>{0x21, 0x81, 0x80, 0x20}));
}

TEST(HidDownload, FileWithoutSignatureIsRefusedSilently) {
  UpgradeRig rig("TB610K-1CH");
  auto img = test::usb_image(test::tagged("TB610K-1CH"));
  img[0] = 'X';
  rig.view.file_answers.push_back(rig.dir.write("fw.img", img));
  rig.wf->on_clicked_button_usb_firmware();
  EXPECT_TRUE(rig.alerts.empty());
  EXPECT_TRUE(rig.download_reports().empty());
  EXPECT_TRUE(rig.view.messages.empty());
}

TEST(HidDownload, CancellingSendsLockThenUnlock) {
  UpgradeRig rig("TB610K-1CH");
  rig.fx.card->clear_reports();
  rig.wf->on_clicked_button_fpga_firmware();  // no file answer queued: cancelled
  EXPECT_EQ(rig.view.file_filters.size(), 1u);
  EXPECT_EQ(rig.control_codes(), (std::vector<uint8_t>{0x21, 0x81, 0x80, 0x20}));
  EXPECT_TRUE(rig.download_reports().empty());
  EXPECT_TRUE(rig.view.messages.empty());

  // The card's answer to 0x21 comes back in the unlock: a card whose hold was on answers 1.
  rig.fx.card->clear_reports();
  rig.dlg->card().link().hid_send_command(0x21, rig.dlg->card().text_page(1));
  rig.fx.card->clear_reports();
  rig.wf->on_clicked_button_usb_firmware();
  EXPECT_EQ(rig.control_codes(), (std::vector<uint8_t>{0x21, 0x81, 0x80, 0x21}));
}

TEST(HidDownload, WindowLockIsRestoredToWhatItWas) {
  UpgradeRig rig("TB610K-1CH");
  rig.dlg->card().set_download_lock(1);
  rig.fx.card->clear_reports();
  rig.wf->on_clicked_button_fpga_firmware();
  EXPECT_EQ(rig.control_codes(), (std::vector<uint8_t>{0x21, 0x81, 0x81, 0x20}));
  EXPECT_TRUE(rig.dlg->card().download_locked());
}

TEST(HidDownload, UnlockAfterFailedLockSends0x22) {
  test::RecordingDevice* raw;
  auto dev = std::make_shared<test::RecordingDevice>();
  raw = dev.get();
  qhidev_list list;
  list.items[0] = std::make_unique<qhidev>();
  list.items[0]->handle = dev;
  list.current = list.items[0].get();
  HidLink link(list);
  alignas(4096) static uint8_t page[4096];
  raw->fail_send = true;
  EXPECT_EQ(card_lock(link, page), -1);
  raw->fail_send = false;
  card_unlock(link, -1, page);
  ASSERT_EQ(raw->sent.size(), 1u);
  EXPECT_EQ(raw->sent[0][2], 7);
  EXPECT_EQ(raw->sent[0][8], 0x22);
}

// What each path may write, judged on the file before any download report: a bitstream past page
// 0xFFFF or a controller image past block 3 would wrap onto the controller's firmware or run into
// the FPGA logic; a controller image the boot ROM would not start is refused on both paths. The
// controller region keeps what it held.
TEST(UpgradeLimits, FilesPastTheirRegionOrNotBootableAreRefusedBeforeTheDownload) {
  struct Case {
    const char* board;
    uint16_t kind;
    std::vector<uint8_t> file;
    const char* says;
  };
  auto cut = test::usb_image(test::tagged("TB610M-1CH", 4096));
  cut.resize(1200);
  const Case cases[] = {
      {"TB610M-1CH", UPGRADE_KIND_FPGA, test::fpga_bitstream(17u << 20), "at most 16514816 bytes"},
      {"TB610M-1CH", UPGRADE_KIND_USB, test::usb_image(test::tagged("TB610M-1CH", 300 * 1024)), "at most 262144 bytes"},
      {"TB610M-1CH", UPGRADE_KIND_USB, cut, "would not start on the USB controller"},
      {"meadow", UPGRADE_KIND_USB, test::with_trailer(cut), "would not start on the USB controller"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.board) + " " + c.says);
    UpgradeRig rig(c.board);
    const auto controller_before = rig.flash.read(0, DL_USB_IMAGE_MAX);
    rig.view.file_answers.push_back(rig.dir.write("file", c.file));
    rig.fx.card->clear_reports();
    rig.wf->on_clicked_upgrade(c.kind);
    const UpgradeOutcome& o = rig.wf->last();
    EXPECT_TRUE(o.file_refused);
    EXPECT_FALSE(o.transferred);
    EXPECT_NE(o.refusal.find(c.says), std::string::npos) << o.refusal;
    EXPECT_TRUE(rig.alerts.empty());  // refused before the match check's verdict
    EXPECT_TRUE(rig.download_reports().empty());
    EXPECT_TRUE(rig.flash_requests().empty());
    EXPECT_EQ(rig.flash.read(0, DL_USB_IMAGE_MAX), controller_before);
  }
}

// The largest images that fit go through whole.
TEST(UpgradeLimits, ImagesAtTheLimitGoThrough) {
  UpgradeRig rig("TB610M-1CH");
  const auto img = test::usb_image_of_size(DL_USB_IMAGE_MAX, "TB610M-1CH");
  rig.view.file_answers.push_back(rig.dir.write("fw.img", img));
  rig.wf->on_clicked_button_usb_firmware();
  EXPECT_TRUE(rig.wf->last().ok);
  EXPECT_EQ(rig.flash.read(0, DL_USB_IMAGE_MAX), img);
}

// The file is read once: a file replaced after it was chosen and checked is not what is written.
TEST(UpgradeLimits, TheBytesWrittenAreTheBytesChecked) {
  for (const char* board : {"TB610M-1CH", "meadow"}) {
    SCOPED_TRACE(board);
    UpgradeRig rig(board);
    const auto bit = test::fpga_bitstream(70000);
    const std::string path = rig.dir.write("logic.bit", bit);
    rig.view.file_answers.push_back(path);
    rig.wf->hooks().accept_file = [&](uint16_t, const std::string& p, const ImageFile& img) {
      EXPECT_TRUE(std::equal(img.data().begin(), img.data().end(), bit.begin(), bit.end()));
      rig.dir.write("logic.bit", test::fpga_bitstream(300, 0x11));  // replaced behind the check
      return true;
    };
    rig.wf->on_clicked_button_fpga_firmware();
    ASSERT_TRUE(rig.wf->last().ok);
    const auto* part = rig.flash.partition(1);
    const auto written = std::string(board) == "meadow" ? rig.flash.read(part->base, 70000) : *rig.dl_ch.fpga_image();
    EXPECT_EQ(written, bit);
  }
}

// The sample images kestrel-sim writes for a newcomer go through as a real card's would: the
// firmware suits its board on both paths (the boards' own trailer check included) and the FPGA
// logic is taken.
TEST(SampleImages, SuitTheirBoardAndGoThrough) {
  for (const char* board : {"meadow", "rw820c", "TB610M-1CH", "TB610R-1CH"}) {
    SCOPED_TRACE(board);
    UpgradeRig rig(board);
    const auto img = sim::sample_usb_image(board);
    rig.view.file_answers.push_back(rig.dir.write("fw.img", img));
    rig.wf->on_clicked_button_usb_firmware();
    ASSERT_EQ(rig.alerts.size(), 1u);
    EXPECT_EQ(rig.alerts[0].style, ALERT_STYLE_SUITS);
    EXPECT_TRUE(rig.wf->last().ok);
    UpgradeRig fresh(board);  // the first has restarted into its new firmware
    fresh.view.file_answers.push_back(fresh.dir.write("logic.bit", sim::sample_fpga_image()));
    fresh.wf->on_clicked_button_fpga_firmware();
    EXPECT_TRUE(fresh.wf->last().ok);
  }
}

TEST(HidDownload, NoDeviceFails) {
  UpgradeRig rig("TB610K-1CH");
  const auto bit = test::fpga_bitstream(300);
  rig.fx.list.current = nullptr;
  EXPECT_EQ(download_fpga_image(rig.fx.link, bit, nullptr), -1);
  EXPECT_EQ(download_usb_image(rig.fx.link, test::usb_image(), nullptr), -1);
}

// Block numbers are one byte and page numbers two on the wire: an image past the region they
// reach is refused before the first report, so nothing wraps round to block 0.
TEST(HidDownload, AnImagePastItsRegionSendsNothing) {
  UpgradeRig rig("TB610M-1CH");
  TransferSteps steps(HID_DOWNLOAD_STEPS);
  steps.left(UpgradePhase::Write, 7, 10);  // a mark the refused downloads must leave as it is
  const auto before = rig.fx.card->reports().size();
  EXPECT_EQ(download_fpga_image(rig.fx.link, test::fpga_bitstream(DL_FPGA_IMAGE_MAX + 1), &steps), -1);
  EXPECT_EQ(download_usb_image(rig.fx.link, test::usb_image_of_size(DL_USB_IMAGE_MAX + 4, "TB610M-1CH"), &steps), -1);
  EXPECT_EQ(rig.fx.card->reports().size(), before);
  EXPECT_EQ(steps.phase(), UpgradePhase::Write);
  EXPECT_EQ(steps.hundredths(), 10000u - 7 * 9500 / 10);
  // The largest bitstream that fits ends on page 0xFFFF, in block 255.
  EXPECT_EQ(DL_FPGA_FIRST_PAGE + (DL_FPGA_IMAGE_MAX + DL_PAGE - 1) / DL_PAGE - 1, 0xFFFFu);
  EXPECT_EQ(DL_FPGA_FIRST_BLOCK + (DL_FPGA_IMAGE_MAX + DL_PAGE + DL_BLOCK - 1) / DL_BLOCK - 1, 255u);
}

TEST(HidDownload, ProgressEndsAt100AndTheBarFollows) {
  UpgradeRig rig("TB610K-1CH");
  TransferSteps steps(HID_DOWNLOAD_STEPS);
  EXPECT_EQ(download_fpga_image(rig.fx.link, test::fpga_bitstream(300000), &steps), 0);
  EXPECT_EQ(steps.percent(), 100);
  EXPECT_EQ(*rig.dl_ch.fpga_image(), test::fpga_bitstream(300000));
  // blocks = (300000 + 256) / 65536 rounded up = 5: blocks 4 .. 8.
  EXPECT_EQ(rig.dl_ch.stats().erased_blocks, (std::vector<uint32_t>{4, 5, 6, 7, 8}));
}

// A device that takes every report, answers every handshake with 0 (erase done) and notes the
// progress figure at each report it is sent.
struct ProgressProbe : test::RecordingDevice {
  TransferSteps* steps = nullptr;
  std::vector<int32_t> seen;
  std::vector<UpgradePhase> phases;
  bool set_output_report(std::span<const uint8_t> r) override {
    seen.push_back(steps->percent());
    phases.push_back(steps->phase());
    return RecordingDevice::set_output_report(r);
  }
  bool get_input_report(std::span<uint8_t> r) override {
    std::fill(r.begin(), r.end(), uint8_t{0});
    return true;
  }
};

TEST(HidDownload, ProgressArithmetic) {
  test::TempDir dir;
  auto dev = std::make_shared<ProgressProbe>();
  auto steps = std::make_unique<TransferSteps>(HID_DOWNLOAD_STEPS);
  dev->steps = steps.get();
  qhidev_list list;
  list.items[0] = std::make_unique<qhidev>();
  list.items[0]->handle = dev;
  list.current = list.items[0].get();
  HidLink link(list);

  // FPGA, 1,000 bytes: one block (4); after it (20 + 0) / 1 = 20; then 100 - remaining x 95 / size.
  ASSERT_EQ(download_fpga_image(link, test::fpga_bitstream(1000), steps.get()), 0);
  // Sent: erase, header, four pages (the start and end are feature reports).
  EXPECT_EQ(dev->seen, (std::vector<int32_t>{0, 20, 20, 100 - 744 * 95 / 1000, 100 - 488 * 95 / 1000,
                                             100 - 232 * 95 / 1000}));
  EXPECT_EQ(steps->percent(), 100);

  // USB, 65,537 bytes: two blocks; 5 x 0 / 2 = 0, 5 x 1 / 2 = 2.
  dev->seen.clear();
  steps = std::make_unique<TransferSteps>(HID_DOWNLOAD_STEPS);
  dev->steps = steps.get();
  ASSERT_EQ(download_usb_image(link, test::usb_image_of_size(65537), steps.get()), 0);
  ASSERT_EQ(dev->seen.size(), 2u + 257);
  EXPECT_EQ(dev->seen[0], 0);  // block 0 is asked for after progress = 0
  EXPECT_EQ(dev->seen[1], 0);  // block 1, after 5 x 0 / 2
  EXPECT_EQ(dev->seen[2], 2);  // first page, after 5 x 1 / 2
  EXPECT_EQ(dev->seen[3], static_cast<int32_t>(100 - int64_t{65537 - 256} * 95 / 65537));
  EXPECT_EQ(steps->percent(), 100);
  // Feature 1 start and end around it, 261 bytes each.
  std::vector<std::vector<uint8_t>> features;
  for (auto& r : dev->sent)
    if (r[0] == 1) features.push_back(r);
  ASSERT_EQ(features.size(), 4u);  // both downloads
  EXPECT_EQ(features[2].size(), 261u);
  EXPECT_EQ(features[2][1], 1);
  EXPECT_EQ(features[3][1], 0);
}

// The figure at each report the card receives, for files of many sizes of both kinds, is the one
// the card's download protocol has always shown: block i erased counts 5 x i / blocks (FPGA logic:
// 5 x the block's number, from 4, / blocks), then each page 100 - the bytes left x 95 / size; the
// phase turns to writing once the erase is over.
TEST(HidDownload, TheFigureAtEachReportForFilesOfManySizes) {
  for (const bool fpga : {false, true}) {
    for (const uint32_t size : {1u, 255u, 256u, 285u, 1000u, 65535u, 65536u, 65537u, 100000u, 131329u, 196863u, 262144u}) {
      SCOPED_TRACE(std::string(fpga ? "fpga " : "usb ") + std::to_string(size));
      auto dev = std::make_shared<ProgressProbe>();
      TransferSteps steps(HID_DOWNLOAD_STEPS);
      dev->steps = &steps;
      qhidev_list list;
      list.items[0] = std::make_unique<qhidev>();
      list.items[0]->handle = dev;
      list.current = list.items[0].get();
      HidLink link(list);
      const std::vector<uint8_t> image(size, 0xA5);  // the download streams whatever it is given
      ASSERT_EQ(fpga ? download_fpga_image(link, image, &steps) : download_usb_image(link, image, &steps), 0);

      std::vector<int32_t> want;
      std::vector<UpgradePhase> want_phase;
      int64_t figure = 0;
      const int64_t blocks = fpga ? (int64_t{size} + 256 + 65535) / 65536 : (int64_t{size} + 65535) / 65536;
      for (int64_t i = 0; i < blocks; ++i) {
        want.push_back(static_cast<int32_t>(figure));
        want_phase.push_back(UpgradePhase::Erase);
        figure = fpga ? (20 + 5 * i) / blocks : 5 * i / blocks;
      }
      if (fpga) {  // the size header page
        want.push_back(static_cast<int32_t>(figure));
        want_phase.push_back(UpgradePhase::Write);
      }
      for (int64_t left = size; left > 0;) {
        want.push_back(static_cast<int32_t>(figure));
        want_phase.push_back(UpgradePhase::Write);
        left -= std::min<int64_t>(left, 256);
        figure = 100 - left * 95 / size;
      }
      EXPECT_EQ(dev->seen, want);
      EXPECT_EQ(dev->phases, want_phase);
      EXPECT_EQ(steps.percent(), 100);
    }
  }
}

TEST(HidDownload, WorkerThatCannotStartIsAFailedTransfer) {
  UpgradeRig rig("TB610K-1CH");
  rig.wf->hooks().start_thread = [](std::thread&, std::function<void()>) { return false; };
  rig.view.file_answers.push_back(rig.dir.write("logic.bit", test::fpga_bitstream(1000)));
  rig.wf->on_clicked_button_fpga_firmware();
  EXPECT_EQ(rig.view.messages, std::vector<std::string>{"FAILED!"});
  EXPECT_TRUE(rig.wf->last().thread_failed);
  EXPECT_TRUE(rig.download_reports().empty());
  EXPECT_FALSE(rig.view.visible(ids::PROGRESS));
  EXPECT_TRUE(rig.view.enabled(ids::BTN_USB_FIRMWARE));
}

// ---- Flash-channel path ---------------------------------------------------------------------

TEST(FlashPath, FpgaImageWrittenAndVerified) {
  UpgradeRig rig("meadow");
  const auto bit = test::fpga_bitstream(0x12345);
  rig.view.file_answers.push_back(rig.dir.write("logic.bin", bit));
  rig.fx.card->clear_reports();
  test::LogCapture log;
  rig.wf->on_clicked_button_fpga_firmware();

  EXPECT_EQ(rig.view.file_filters, std::vector<std::string>{"FPGA bitstream file (*.bin)|*.bin||"});
  EXPECT_EQ(rig.wf->last().path, UpgradePath::FlashChannel);
  EXPECT_EQ(rig.view.messages, std::vector<std::string>{"OK!"});
  EXPECT_EQ(rig.wf->last().result, 0);
  EXPECT_EQ(rig.flash.read(0x40000, 0x12345), bit);
  EXPECT_TRUE(rig.download_reports().empty());
  EXPECT_EQ(rig.control_codes(), (std::vector<uint8_t>{0x21, 0x81, 0x80, 0x20}));
  EXPECT_NE(log.text().find(" msg : download images and lock(0)\r\n"), std::string::npos);
  EXPECT_NE(log.text().find("\r\n *&* : time "), std::string::npos);
  EXPECT_FALSE(rig.view.visible(ids::PROGRESS));
  EXPECT_TRUE(rig.view.enabled(ids::BTN_FPGA_FIRMWARE));
  EXPECT_GT(rig.pumps, 0);
  // The engine's sequence bytes come from the window's counter, after the two lock commands.
  const auto rq = rig.flash_requests();
  ASSERT_FALSE(rq.empty());
  EXPECT_EQ(rq.front().seq, 3);
}

TEST(FlashPath, UsbImageCheckedThenWritten) {
  UpgradeRig rig("meadow");
  const auto img = test::with_trailer(test::usb_image(test::tagged("meadow", 70000)));
  rig.view.file_answers.push_back(rig.dir.write("fw.img", img));
  rig.wf->on_clicked_button_usb_firmware();
  EXPECT_EQ(rig.view.file_filters, std::vector<std::string>{"firmware upgrade image (*.img)|*.img||"});
  ASSERT_EQ(rig.alerts.size(), 1u);
  EXPECT_EQ(rig.alerts[0].style, 0x0100);
  EXPECT_EQ(rig.alerts[0].verdict, VERDICT_SUITS);
  EXPECT_EQ(rig.view.messages, std::vector<std::string>{"OK!"});
  EXPECT_EQ(rig.flash.read(0, static_cast<uint32_t>(img.size())), img);
}

TEST(FlashPath, DamagedUsbImageIsOfferedOnlyAsForced) {
  UpgradeRig rig("meadow");
  rig.default_alert_answer = false;
  const auto img = test::usb_image(test::tagged("meadow", 70000));  // no trailer: meadow refuses it
  rig.view.file_answers.push_back(rig.dir.write("fw.img", img));
  rig.fx.card->clear_reports();
  rig.wf->on_clicked_button_usb_firmware();
  ASSERT_EQ(rig.alerts.size(), 1u);
  EXPECT_EQ(rig.alerts[0].style, 0x0301);
  EXPECT_EQ(rig.alerts[0].info->rfind(std::string(" 固件信息:\r\n ") + IMAGE_INFO_DAMAGED, 0), 0u);
  EXPECT_TRUE(rig.flash_requests().empty());
  EXPECT_TRUE(rig.view.messages.empty());
  EXPECT_EQ(rig.control_codes(), (std::vector<uint8_t>{0x21, 0x81, 0x80, 0x20}));
}

TEST(FlashPath, CancellingSendsNothing) {
  UpgradeRig rig("meadow");
  rig.fx.card->clear_reports();
  rig.wf->on_clicked_button_fpga_firmware();
  EXPECT_EQ(rig.view.file_filters.size(), 1u);
  EXPECT_EQ(rig.wf->last().path, UpgradePath::FlashChannel);
  EXPECT_TRUE(rig.fx.card->reports().empty());
  EXPECT_TRUE(rig.view.messages.empty());
}

// The file is read once, before the locks: one that cannot be read is refused with its reason and
// nothing reaches the card.
TEST(FlashPath, UnreadableFileIsRefusedBeforeAnythingIsSent) {
  UpgradeRig rig("meadow");
  rig.view.file_answers.push_back(rig.dir.path() + "/missing.bin");
  rig.fx.card->clear_reports();
  rig.wf->on_clicked_button_fpga_firmware();
  EXPECT_TRUE(rig.fx.card->reports().empty());
  EXPECT_TRUE(rig.wf->last().file_refused);
  EXPECT_NE(rig.wf->last().refusal.find("missing.bin"), std::string::npos) << rig.wf->last().refusal;
}

TEST(FlashPath, BoardWithoutFilterFallsBackToHid) {
  // TB830R-1CH offers the flash channel but no file filter (code 5 is boards 6, 7, 8 only).
  UpgradeRig rig("TB830R-1CH");
  ASSERT_TRUE(rig.fx.dev().link_flags & QHIDEV_F_FLASH_CHAN);
  rig.wf->on_clicked_button_fpga_firmware();
  EXPECT_EQ(rig.wf->last().path, UpgradePath::HidDownload);
  EXPECT_EQ(rig.view.file_filters, std::vector<std::string>{FILTER_FPGA_IMAGE});
}

TEST(FlashPath, WithoutTheLinkFlagTheHidPathRuns) {
  UpgradeRig rig("meadow");
  rig.fx.dev().link_flags &= ~QHIDEV_F_FLASH_CHAN;
  rig.wf->on_clicked_button_fpga_firmware();
  EXPECT_EQ(rig.wf->last().path, UpgradePath::HidDownload);
}

TEST(FlashPath, UnconfirmedRunShowsFailed) {
  // Transactions: 0x21, 0x81, open, one erase step, 16 pages, then verify (21).
  sim::Scenario sc = *sim::make_scenario("meadow");
  sc.faults.at(sim::StepKind::Transaction, 21, sim::Fault::StaleSequence);
  UpgradeRig rig(sc);
  rig.view.file_answers.push_back(rig.dir.write("logic.bin", test::fpga_bitstream(4000)));
  rig.wf->on_clicked_button_fpga_firmware();
  EXPECT_EQ(rig.wf->last().result, FLASH_UNCONFIRMED);
  EXPECT_EQ(rig.view.messages, std::vector<std::string>{"FAILED!"});
}

TEST(FlashPath, EngineThatCannotStartIsAFailedTransfer) {
  UpgradeRig rig("meadow");
  rig.wf->hooks().start_thread = [](std::thread&, std::function<void()>) { return false; };
  rig.view.file_answers.push_back(rig.dir.write("logic.bin", test::fpga_bitstream(4000)));
  rig.fx.card->clear_reports();
  rig.wf->on_clicked_button_fpga_firmware();
  EXPECT_EQ(rig.view.messages, std::vector<std::string>{"FAILED!"});
  EXPECT_TRUE(rig.flash_requests().empty());
  EXPECT_EQ(rig.control_codes(), (std::vector<uint8_t>{0x21, 0x81, 0x80, 0x20}));
}

// The flash channel's figure from the engine's counters, for images of many sizes at every erase
// step and every page: erasing counts for a quarter and writing for three, each in ten-thousandths
// of the image's length; verify once every page is out.
TEST(FlashPath, TheFigureAtEveryStepForImagesOfManySizes) {
  for (const uint32_t length : {1u, 255u, 256u, 1000u, 70000u, 70656u, 196708u}) {
    SCOPED_TRACE(length);
    auto share = [length](uint64_t done) { return done >= length ? 10000u : static_cast<uint32_t>(done * 10000 / length); };
    TransferSteps steps(FLASH_CHANNEL_STEPS);
    auto check = [&](uint32_t erased, uint32_t written) {
      flash_steps(steps, erased, written, length);
      const uint32_t q = (share(erased) + 3 * share(written)) / 4;
      ASSERT_EQ(steps.hundredths(), q) << erased << " " << written;
      ASSERT_EQ(steps.percent(), static_cast<int>(q / 100)) << erased << " " << written;
      const UpgradePhase phase = written >= length                  ? UpgradePhase::Verify
                                 : erased >= length || written > 0 ? UpgradePhase::Write
                                                                   : UpgradePhase::Erase;
      ASSERT_EQ(steps.phase(), phase) << erased << " " << written;
    };
    const uint32_t rounded = (length + 4095) / 4096 * 4096;
    for (uint32_t e = 0; e <= rounded; e += 4096) check(e, 0);
    for (uint32_t w = 256; w < length + 256; w += 256) check(rounded, w);
  }
}

TEST(FlashPath, ProgressLogsHundredthsAndMovesTheBar) {
  auto flash_progress = [](uint32_t erased, uint32_t written, uint32_t length) {
    TransferSteps steps(FLASH_CHANNEL_STEPS);
    flash_steps(steps, erased, written, length);
    return steps.hundredths();
  };
  EXPECT_EQ(flash_progress(1000, 500, 1000), 6250u);
  EXPECT_EQ(flash_progress(2000, 0, 1000), 2500u);
  EXPECT_EQ(flash_progress(0, 0, 0), 10000u);
  EXPECT_EQ(flash_progress(500, 0, 1000), 1250u);

  // The watch loop over a job whose counters the "engine" (the pump) moves.
  UpgradeRig rig("meadow");
  FlashJobBlock block;
  ASSERT_TRUE(block.allocate(1000));
  FlashJob& job = *block.job();
  job.image_length = 1000;
  int round = 0;
  int bar_at_half = -1;
  rig.wf->hooks().pump = [&] {
    switch (round++) {
      case 0: job.erased = 1000; job.written = 500; break;
      case 1: bar_at_half = rig.view.control(ids::PROGRESS)->pos; break;
      default: job.done.store(1, std::memory_order_release); break;
    }
  };
  test::LogCapture log;
  rig.wf->watch_flash_job(job);
  EXPECT_EQ(bar_at_half, 62);
  EXPECT_EQ(log.text(), " 62.50\r");
}

}  // namespace
}  // namespace kestrel
