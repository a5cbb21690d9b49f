// A simulated card wired for upgrades: the card of a SimFixture with a flash channel and a HID
// download channel over two modelled QSPI flashes, the main window's logic over a MemoryView, and
// an UpgradeWorkflow whose hooks record every confirmation, keep the GUI's waits in real time (so
// only the card and the workers move simulated time) and count the pumps.
#pragma once

#include <dirent.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/ids.h"
#include "app/main_window.h"
#include "app/memory_view.h"
#include "boards/registry.h"
#include "devlink/frame.h"
#include "sim/download_channel.h"
#include "sim/flash_channel.h"
#include "sim/qspi_flash.h"
#include "support/sim_fixture.h"
#include "support/test_images.h"
#include "app/upgrade_front.h"
#include "update/workflow.h"

namespace kestrel::test {

// Entries of a /proc/self directory: threads (task) or open descriptors (fd).
inline size_t proc_entries(const char* dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}
// The process's threads. The first thread a test starts may bring a runtime's helper thread with
// it for good (ThreadSanitizer's background thread), so one thread is started and joined before
// the first count: only threads a test leaves behind make a difference.
inline size_t thread_count() {
  static const bool warmed = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmed;
  return proc_entries("/proc/self/task");
}
inline size_t fd_count() { return proc_entries("/proc/self/fd"); }

// A flash-channel request as the card received it.
struct FlashRequest {
  uint8_t seq = 0, op = 0, sub = 0;
  uint16_t len = 0;
  std::vector<uint8_t> bytes;
  const uint8_t* payload() const { return bytes.data() + FRAME_HDR; }
};

struct UpgradeRig {
  explicit UpgradeRig(const sim::Scenario& scenario)
      : fx(scenario),
        storage(sim::storage_of(*fx.card)),
        flash(storage->flash),
        flash_ch(storage->flash_channel),
        dl_ch(storage->download) {
    dlg = std::make_unique<WindowPresenter>(view, fx.list);
    // The board the card's status text names is current, as the attach would make it.
    registry_select_by_status(*dlg->card().registry(), fx.card->status_text().c_str());
    UpgradeHooks h;
    h.show_alert = [this](const AlertRequest& r) {
      alerts.push_back(r);
      if (alert_answers.empty()) return default_alert_answer;
      const bool a = alert_answers.front();
      alert_answers.pop_front();
      return a;
    };
    h.pump = [this] { ++pumps; };
    h.idle = [](uint32_t) { std::this_thread::sleep_for(std::chrono::microseconds(50)); };
    wf = std::make_unique<WindowUpgrade>(*dlg, std::move(h));
  }
  explicit UpgradeRig(std::string_view board) : UpgradeRig(*sim::make_scenario(board)) {}

  ~UpgradeRig() {
    wf.reset();
    dlg.reset();
  }

  // Every flash-channel request (output report 7) the card received, oldest first.
  std::vector<FlashRequest> flash_requests() const {
    std::vector<FlashRequest> out;
    for (auto& b : fx.card->reports_of(sim::ReportKind::Output)) {
      if (b.empty() || b[0] != 7) continue;
      FlashRequest r;
      r.seq = b[1];
      r.op = b[2];
      r.sub = b[3];
      r.len = get_le16(b.data() + 4);
      r.bytes = b;
      out.push_back(std::move(r));
    }
    return out;
  }
  // Control codes of command 7 (report 11) the card received, in order.
  std::vector<uint8_t> control_codes() const {
    std::vector<uint8_t> out;
    for (auto& b : fx.card->reports_of(sim::ReportKind::Output))
      if (b.size() >= 9 && b[0] == RID_LONG_REQ && b[2] == 7) out.push_back(b[8]);
    return out;
  }
  // The HID download reports (261 bytes: feature 1, outputs 4 and 5), oldest first.
  std::vector<std::vector<uint8_t>> download_reports() const {
    std::vector<std::vector<uint8_t>> out;
    for (auto& r : fx.card->reports())
      if (r.bytes.size() == 261 && ((r.kind == sim::ReportKind::Output && (r.bytes[0] == 4 || r.bytes[0] == 5)) ||
                                    (r.kind == sim::ReportKind::FeatureSet && r.bytes[0] == 1)))
        out.push_back(r.bytes);
    return out;
  }
  uint64_t sim_ns() const { return clock_now_ns(); }

  SimFixture fx;
  std::shared_ptr<sim::CardStorage> storage;  // the card's flash and its two protocols
  sim::QspiFlash& flash;
  sim::FlashChannel& flash_ch;
  sim::DownloadChannel& dl_ch;
  MemoryView view;
  std::unique_ptr<WindowPresenter> dlg;
  std::unique_ptr<WindowUpgrade> wf;
  std::vector<AlertRequest> alerts;
  std::deque<bool> alert_answers;
  bool default_alert_answer = true;
  int pumps = 0;
  TempDir dir;
};

}  // namespace kestrel::test
