#include "log/console.h"

#include <unistd.h>

#include "log/clock.h"
#include "log/log.h"

namespace kestrel {

ConsoleContext g_console;

namespace {
constexpr uint64_t kReaderStopWaitNs = 1'000'000'000ULL;  // a reader gets one second to leave
constexpr uint32_t kReaderPollMs = 10;
}  // namespace

void console_attach(FILE* stream, int console_out) {
  if (stream) {
    g_console.stream = stream;
    log_attach_stream(stream);
  }
  if (console_out >= 0) {
    g_console.console_out = console_out;
    log_attach_console(console_out);
  }
}

void console_shutdown() {
  ReaderStopFlags* flags = g_console.reader_flags;
  if (flags) flags->stop.store(1, std::memory_order_release);
  // A reader blocked on console input would be woken by a line end; there is no such reader
  // here, but the two short pauses keep the order of the stop sequence.
  sleep_ms(1);
  sleep_ms(1);
  if (g_console.wake_reader) g_console.wake_reader();

  bool exited = flags == nullptr;
  const uint64_t deadline = clock_now_ns() + kReaderStopWaitNs;
  while (!exited) {
    exited = flags->exited_a.load(std::memory_order_acquire) && flags->exited_b.load(std::memory_order_acquire);
    if (exited || clock_now_ns() >= deadline) break;
    sleep_ms(kReaderPollMs);
  }

  if (g_console.console_owned) g_console.console_owned = false;
  log_attach_console(-1);
  log_attach_stream(nullptr);
  g_console.console_in = g_console.console_out = g_console.console_err = -1;
  if (g_console.stream) {
    fclose(g_console.stream);
    g_console.stream = nullptr;
  }
  if (g_console.reader_thread.joinable()) {
    // A reader that did not leave in time is abandoned, never killed.
    if (exited)
      g_console.reader_thread.join();
    else
      g_console.reader_thread.detach();
  }
  g_console.wake_reader = nullptr;
}

}  // namespace kestrel
