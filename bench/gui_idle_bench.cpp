// The desktop window with a simulated card attached: wall time from start to the first status
// display, and the CPU the idle window uses. A timed program, not a unit test:
//
//   build/default/bench/bench_gui_idle [seconds=30] [board=meadow] [preview]
//
// Goals: first status display within 400 ms (the card's 100 ms open waits included), idle CPU at
// most 1 % of one core; with "preview", the simulated card's 1080p60 picture live in the preview
// pane at most 20 % of one core. Runs on the offscreen platform unless QT_QPA_PLATFORM or a display says
// otherwise. Real time throughout: this measures what a user would see.
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/qt/kestrel_window.h"
#include "devlink/reader.h"
#include "log/clock.h"
#include "log/console.h"
#include "platform/hid_backend.h"
#include "res/ui_text.h"
#include "sim/sim_backend.h"

namespace {

using namespace kestrel;

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const auto t0 = std::chrono::steady_clock::now();
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
  const std::string board = argc > 2 ? argv[2] : "meadow";
  const bool preview = argc > 3 && std::string(argv[3]) == "preview";
  auto scenario = sim::make_scenario(board);
  if (!scenario || seconds <= 0) {
    std::fprintf(stderr, "usage: bench_gui_idle [seconds] [board]\n");
    return 2;
  }
  if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

  // The program's start-up, as kestrel does it.
  QApplication app(argc, argv);
  QApplication::setStyle(QStringLiteral("Fusion"));
  ui_text_select_from_environment();
  sim::SimBackend backend;
  platform::set_backend(&backend);
  qhidev_list cards;
  auto window = std::make_unique<qt::KestrelWindow>(&backend, cards);
  clock_init();
  backend.add_card(*scenario);
  auto reader = std::make_unique<ReaderControl>();
  window->logic().session().listen_with(*reader);
  g_console.reader_flags = &reader->flags;
  g_console.wake_reader = [r = reader.get()] {
    std::lock_guard<std::mutex> g(r->device_lock);
    if (r->reading) r->reading->cancel_read();
  };
  g_console.reader_thread = std::thread([r = reader.get()] { hid_reader(*r); });

  double first_status_ms = -1;
  QObject::connect(&window->view(), &QWidget::windowTitleChanged, [&](const QString& title) {
    if (first_status_ms < 0 && title.startsWith(QStringLiteral("KESTREL - usbd(")))
      first_status_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  });
  window->init_dialog();
  window->view().show();
  if (preview) window->view().show_preview_pane(true, false);

  // Let the first paint and the first second of ticks pass, then measure the idle window.
  QElapsedTimer settle;
  settle.start();
  while (settle.elapsed() < 1000) app.processEvents(QEventLoop::AllEvents, 50);
  const double cpu0 = cpu_seconds();
  const uint64_t frames0 = window->view().preview_pane().frames();
  const auto w0 = std::chrono::steady_clock::now();
  QTimer::singleShot(seconds * 1000, &window->view(), [&] { window->view().reject(); });
  window->view().exec();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
  const double cpu = cpu_seconds() - cpu0;
  const uint64_t frames = window->view().preview_pane().frames() - frames0;

  window->end_dialog();
  console_shutdown();
  window.reset();
  platform::set_backend(nullptr);

  std::printf("board                         %s (platform %s)\n", board.c_str(), qPrintable(QApplication::platformName()));
  std::printf("start to first status display %.1f ms   (goal <= 400 ms)\n", first_status_ms);
  if (preview)
    std::printf("preview CPU over %.1f s        %.3f s = %.2f %% of one core, %.1f frames/s   (goal <= 20 %%)\n", wall,
                cpu, 100.0 * cpu / wall, static_cast<double>(frames) / wall);
  else
    std::printf("idle CPU over %.1f s           %.3f s = %.2f %% of one core   (goal <= 1 %%)\n", wall, cpu,
                100.0 * cpu / wall);
  return 0;
}
