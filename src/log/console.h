// The console context: the log sinks and the reader thread's handles, and the orderly stop of
// the reader at shutdown.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <thread>

namespace kestrel {

// Written as whole bytes by one side and polled by the other.
struct ReaderStopFlags {
  std::atomic<uint8_t> stop{0};
  std::atomic<uint8_t> exited_a{0};
  std::atomic<uint8_t> exited_b{0};
};

struct ConsoleContext {
  int console_in = -1;
  int console_out = -1;  // log sink
  int console_err = -1;
  bool console_owned = false;
  FILE* stream = nullptr;  // log sink; closed at shutdown
  std::thread reader_thread;
  ReaderStopFlags* reader_flags = nullptr;
  // Wakes a reader blocked in its read so that it sees the stop request (the reader event).
  std::function<void()> wake_reader;
};

extern ConsoleContext g_console;

// Attaches `stream` (owned from now on) and/or a console fd as the log sinks.
void console_attach(FILE* stream, int console_out);

// Asks the reader to stop, wakes it, waits at most one second for both exit flags (10 ms polls
// through sleep_ms), then detaches and closes the sinks. A reader that has not exited by then is
// left running (detached), never killed.
void console_shutdown();

}  // namespace kestrel
