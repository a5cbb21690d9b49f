// kestrel: the desktop program. Start-up and shutdown in their fixed order: text table, the
// main window, clock, reader and console context, reader thread, first log line, the modal
// window, then the window's end and the console shutdown.
#include <QApplication>
#include <QMessageBox>
#include <QSettings>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "card/first_run.h"
#include "app/qt/kestrel_window.h"
#include "app/qt/options.h"
#include "app/qt/rescue_panel.h"
#include "bootmode/libusb_boot.h"
#include "app/qt/screenshot.h"
#include "devlink/reader.h"
#include "log/clock.h"
#include "log/console.h"
#include "log/log.h"
#include "platform/claiming_backend.h"
#include "platform/hidraw_backend.h"
#include "platform/trace.h"
#include "res/ui_text.h"
#include "res/version.h"
#include "sim/boot_rom.h"
#include "sim/sim_backend.h"

namespace {

using namespace kestrel;

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr int kScreenshotDelayMs = 800;  // the first status display and one paint
constexpr int kFrameTickMs = 1000;       // a simulated card shows a new frame-timing record this often

std::string board_list() {
  std::string names;
  for (std::string_view n : sim::board_names()) {
    if (!names.empty()) names += ", ";
    names += n;
  }
  return names;
}

void no_display(const char* why) {
  std::fprintf(stderr,
               "kestrel: no display (%s). Start it in a desktop session or with ssh -X, or use kestrelctl, the "
               "command-line tool.\n",
               why);
}

FILE* g_fatal_log_file = nullptr;
std::string g_start_up_messages;  // the plugin's warnings, shown only if it starts after all

// Messages while the platform plugin starts: a fatal one means there is no display to be had.
void on_start_up_message(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type != QtFatalMsg) {
    g_start_up_messages += text.toLocal8Bit().toStdString() + "\n";
    return;
  }
  std::string where;
  for (const char* v : {"WAYLAND_DISPLAY", "DISPLAY"})
    if (const char* s = std::getenv(v); s && *s) where = std::string("cannot connect to ") + v + "=" + s;
  no_display(where.empty() ? "the platform plugin could not start" : where.c_str());
  if (g_fatal_log_file) std::fclose(g_fatal_log_file);
  std::fflush(stderr);
  std::_Exit(kExitFailure);  // not abort(): nothing crashed, there is only no screen
}

bool display_available() {
  for (const char* v : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
    if (const char* s = std::getenv(v); s && *s) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  qt::Options opt;
  std::string error;
  if (!qt::parse_options(argc, argv, opt, error)) {
    std::fprintf(stderr, "kestrel: %s\n%s", error.c_str(), qt::usage_text());
    return kExitUsage;
  }
  if (opt.help) {
    std::fputs(qt::usage_text(), stdout);
    return 0;
  }
  if (opt.version) {
    std::printf("kestrel %s\n", KESTREL_BUILD_STAMP);
    return 0;
  }
  // One simulated card per board named: "meadow" or "meadow,TB610R-1CH".
  std::vector<sim::Scenario> scenarios;
  const bool boot_rom = opt.simulate == sim::SIM_BOOT_ROM;  // a simulated card in boot mode
  for (size_t at = 0; !opt.simulate.empty() && !boot_rom && at <= opt.simulate.size();) {
    const size_t comma = std::min(opt.simulate.find(',', at), opt.simulate.size());
    const std::string board = opt.simulate.substr(at, comma - at);
    at = comma + 1;
    std::optional<sim::Scenario> scenario = sim::make_scenario(board);
    if (!scenario) {
      std::fprintf(stderr, "kestrel: unknown board '%s'; boards: %s\n", board.c_str(), board_list().c_str());
      return kExitUsage;
    }
    scenario->latency.per_page_ms = opt.sim_page_ms;
    scenario->latency.per_erase_block_ms = opt.sim_page_ms * 10;
    scenarios.push_back(std::move(*scenario));
  }
  FILE* log_file = nullptr;
  if (!opt.log_file.empty() && !(log_file = std::fopen(opt.log_file.c_str(), "ab"))) {
    std::fprintf(stderr, "kestrel: cannot open log file %s\n", opt.log_file.c_str());
    return kExitFailure;
  }
  if (!display_available()) {
    no_display("DISPLAY and WAYLAND_DISPLAY are not set");
    if (log_file) std::fclose(log_file);
    return kExitFailure;
  }

  // A display that is named but cannot be reached (a closed X server, a refused cookie, a lost
  // ssh forwarding) makes the platform plugin end the process with a fatal message: it ends with
  // the same advice instead.
  g_fatal_log_file = log_file;
  const QtMessageHandler previous = qInstallMessageHandler(on_start_up_message);
  QApplication app(argc, argv);
  qInstallMessageHandler(previous);
  g_fatal_log_file = nullptr;
  std::fputs(g_start_up_messages.c_str(), stderr);
  QApplication::setStyle(QStringLiteral("Fusion"));
  ui_text_select_from_environment();

  // The device side: the kernel's hidraw devices, or a simulated card (plugged in once the
  // clock runs, since the card keeps its time from its plug-in).
  std::unique_ptr<sim::SimBackend> sim_backend;
  std::unique_ptr<platform::HidrawBackend> hidraw;
  platform::HidBackend* backend = nullptr;
  if (!scenarios.empty() || boot_rom) {
    sim_backend = std::make_unique<sim::SimBackend>();
    // The window learns of the card's return after an upgrade only from a notification.
    sim_backend->return_in_background();
    backend = sim_backend.get();
  } else {
    hidraw = std::make_unique<platform::HidrawBackend>();
    backend = hidraw.get();
  }
  std::unique_ptr<platform::TracingBackend> trace;
  if (opt.trace) {
    trace = std::make_unique<platform::TracingBackend>(*backend, stderr);
    backend = trace.get();
  }
  // A real card is shared with every other Kestrel program on the machine: its claim keeps the
  // window's polls out of another program's upgrade, and theirs out of the window's.
  std::unique_ptr<platform::ClaimingBackend> claimed;
  if (hidraw) {
    claimed = std::make_unique<platform::ClaimingBackend>(*backend, &platform::node_claim_key);
    backend = claimed.get();
  }
  platform::set_backend(backend);

  qhidev_list cards;  // the device list the window's session scans: outlives the window
  auto window = std::make_unique<qt::KestrelWindow>(backend, cards);
  clock_init();
  for (const sim::Scenario& scenario : scenarios) sim_backend->add_card(scenario);
  std::unique_ptr<BootBus> boot_bus = std::make_unique<LibusbBootBus>();
  if (boot_rom) {
    auto sim_bus = std::make_unique<sim::SimBootBus>();
    sim::return_as_card(*sim_bus->add_rom(), *sim_backend);
    boot_bus = std::move(sim_bus);
  }
  new qt::RescuePanel(window->view(), window->logic(), std::move(boot_bus));  // owned by the view

  auto reader = std::make_unique<ReaderControl>();
  window->logic().session().listen_with(*reader);
  g_console.reader_flags = &reader->flags;
  g_console.wake_reader = [r = reader.get()] {
    std::lock_guard<std::mutex> g(r->device_lock);
    if (r->reading) r->reading->cancel_read();
  };

  // Log sinks and filter, before the first line.
  // The log pane always takes the log, shown or not, so that opening it from the View menu shows
  // what happened before; whether it shows at start is the user's remembered choice.
  FILE* stream = log_file;
  if (FILE* pane_stream = window->view().log_pane().open_stream(log_file)) stream = pane_stream;
  QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("kestrel"), QStringLiteral("kestrel"));
  window->view().remember_in(&settings);
  if (opt.log_pane) window->view().show_log_pane(true, false);
  console_attach(stream, opt.log_console ? 2 : -1);
  if (opt.level_mask || opt.module_mask) log_set_filter(true, opt.level_mask.value_or(0), opt.module_mask.value_or(0));

  g_console.reader_thread = std::thread([r = reader.get()] { hid_reader(*r); });
  log_printf(0, " kestrel %s\r\n", KESTREL_BUILD_STAMP);

  QTimer frames;
  if (sim_backend) {
    QObject::connect(&frames, &QTimer::timeout, [&] {
      for (size_t i = 0; i < sim_backend->card_count(); ++i)
        if (auto card = sim_backend->card(i); card && card->plugged()) card->frame_tick();
    });
    frames.start(kFrameTickMs);
  }
  int rc = 0;
  if (!opt.screenshot.empty()) {
    QTimer::singleShot(kScreenshotDelayMs, &window->view(), [&] {
      if (!qt::save_window_picture(window->view(), QString::fromStdString(opt.screenshot))) {
        std::fprintf(stderr, "kestrel: cannot write %s\n", opt.screenshot.c_str());
        rc = kExitFailure;
      }
      window->view().reject();
    });
  }
  if (!window->init_dialog()) {
    std::fprintf(stderr, "kestrel: no device notifications (is udev running?); without them the window cannot "
                         "follow its cards and closes\n");
  } else if (hidraw && !window->logic().session().list().current) {
    // No card to work with at start: say why, when it can be told, beside the window.
    KernelFacts kernel{running_kernel_release()};
    kernel.report_ioctls = platform::kernel_has_report_ioctls(kernel.release);
    const NoCardDiagnosis why = diagnose_no_card(*hidraw, kernel);
    std::fprintf(stderr, "kestrel: %s\n", why.text.c_str());
    log_printf(0, " war : %s\r\n", why.text.c_str());
    if (opt.screenshot.empty()) {
      const std::string& shown = ui_text == ui_text_zh ? why.text_zh : why.text;
      auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Kestrel"), QString::fromStdString(shown),
                                  QMessageBox::Ok, &window->view());
      box->setAttribute(Qt::WA_DeleteOnClose);
      box->setModal(false);
      box->show();
    }
  }
  window->view().exec();
  frames.stop();

  window->end_dialog();
  console_shutdown();
  window.reset();
  platform::set_backend(nullptr);
  return rc;
}
