// Process-wide trace facility: one formatted call behind a level/module filter, a shared
// formatting buffer under one lock, a stream sink and a console sink.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kestrel {

// Level/module word: bits 0..4 are the level (0 always passes), bits 5..31 module bits.
constexpr uint32_t LOG_LEVEL_MASK = 0x1F;
constexpr uint32_t LOG_MODULE_BITS = 0xFFFFFFE0;

constexpr uint32_t LOG_TRACE = 0x00000000;       // ordinary trace
constexpr uint32_t LOG_DIAG = 0x00000003;        // diagnostic dumps asked for from the menu
constexpr uint32_t LOG_HANDLE_ERR = 0x00000007;  // device-handle errors
constexpr uint32_t LOG_WARN = 0x00000008;
constexpr uint32_t LOG_NOTE = 0x00000009;        // asynchronous-send and device-handle notes
constexpr uint32_t LOG_STATUS_FAIL = 0x0000000B; // failed status query
constexpr uint32_t LOG_UPDATE = 0x0000000F;      // device update notice
constexpr uint32_t LOG_FLASH = 0x00000011;       // qspi exchange and flash programming
constexpr uint32_t LOG_STREAM_CFG = 0x01000009;  // data-stream configuration line
constexpr uint32_t LOG_DEVPATH = 0x80000000;     // device path line (passes as level 0)

// What the engineering dumps print with, for a front end that shows them: their levels (3 and 8,
// and 9 for the asynchronous-send note of the card commands) and the geometry's data-line module.
constexpr uint32_t LOG_DUMP_LEVELS = (1u << LOG_DIAG) | (1u << LOG_WARN) | (1u << LOG_NOTE);
constexpr uint32_t LOG_DUMP_MODULES = LOG_STREAM_CFG & LOG_MODULE_BITS;

// Formatting buffer capacity including the NUL: text longer than 65,534 characters is cut.
constexpr size_t LOG_BUFFER_SIZE = 0xFFFF;

void log_printf(uint32_t word, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Ready-made bytes (the card's own debug text) to every attached sink: no filter, no lock.
void log_write_raw(const void* data, uint32_t count);
// Bytes handed to log_write_raw since the process started, whether or not a sink took them: tells
// a listener whether the card said anything at all.
uint64_t log_raw_count();

// The filter as a call would see it: true when the word passes.
bool log_filter_passes(uint32_t word);

// Settings. The defaults are "nothing attached, filter cleared": only level 0 is formatted and
// its text goes nowhere. Front ends call these from their command-line options.
void log_set_filter(bool enabled, uint32_t level_mask, uint32_t module_mask);
void log_attach_stream(FILE* stream);  // nullptr detaches; the console context owns it
void log_attach_console(int fd);       // -1 detaches
FILE* log_stream();
int log_console_fd();

struct LogFilter {
  bool enabled;
  uint32_t level_mask;
  uint32_t module_mask;
};
LogFilter log_get_filter();

// Opens `levels` and `modules` on top of the filter while it lives, then puts the filter back as
// it was. For one command on the GUI thread; not for overlapping uses on several threads.
class LogFilterOpen {
 public:
  LogFilterOpen(uint32_t levels, uint32_t modules);
  ~LogFilterOpen();
  LogFilterOpen(const LogFilterOpen&) = delete;
  LogFilterOpen& operator=(const LogFilterOpen&) = delete;

 private:
  LogFilter saved_;
};

// Counters a test reads to see whether a call formatted and took the lock.
struct LogCounters {
  uint64_t lock_taken;
  uint64_t formatted;
};
LogCounters log_counters();

// Back to the process-start state: filter cleared, sinks detached (does not close them).
void log_reset_for_test();

namespace detail {
// The log lock, shared by log_printf and log_hex_dump; not reentrant.
void log_lock();
void log_unlock();
void log_sink_write(const void* data, size_t count);  // caller holds the lock or writes raw
}  // namespace detail

}  // namespace kestrel
