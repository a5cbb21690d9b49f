#include "log/log.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <mutex>

namespace kestrel {

namespace {

struct LogState {
  std::atomic<uint8_t> enabled{0};
  std::atomic<uint32_t> level_mask{0};
  std::atomic<uint32_t> module_mask{0};
  std::mutex lock;
  char buffer[LOG_BUFFER_SIZE];
  std::atomic<FILE*> stream{nullptr};
  std::atomic<int> console{-1};
  std::atomic<uint64_t> lock_taken{0};
  std::atomic<uint64_t> formatted{0};
};

LogState g_log;

}  // namespace

bool log_filter_passes(uint32_t word) {
  const uint32_t level = word & LOG_LEVEL_MASK;
  if (level == 0) return true;
  if (!g_log.enabled.load(std::memory_order_relaxed)) return false;
  if (g_log.level_mask.load(std::memory_order_relaxed) & (1u << level)) return true;
  return (word & g_log.module_mask.load(std::memory_order_relaxed) & LOG_MODULE_BITS) != 0;
}

namespace detail {

void log_lock() {
  g_log.lock.lock();
  g_log.lock_taken.fetch_add(1, std::memory_order_relaxed);
}

void log_unlock() { g_log.lock.unlock(); }

void log_sink_write(const void* data, size_t count) {
  if (FILE* s = g_log.stream.load(std::memory_order_acquire)) {
    fwrite(data, 1, count, s);
    fflush(s);
  }
  const int fd = g_log.console.load(std::memory_order_acquire);
  if (fd >= 0) {
    // A short write or a failure is ignored: the log never holds up its caller.
    [[maybe_unused]] ssize_t n = ::write(fd, data, count);
  }
}

}  // namespace detail

void log_printf(uint32_t word, const char* fmt, ...) {
  if (!log_filter_passes(word)) return;
  detail::log_lock();
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(g_log.buffer, LOG_BUFFER_SIZE, fmt, ap);
  va_end(ap);
  if (n >= 0) {
    g_log.formatted.fetch_add(1, std::memory_order_relaxed);
    const size_t len = static_cast<size_t>(n) < LOG_BUFFER_SIZE ? static_cast<size_t>(n) : LOG_BUFFER_SIZE - 1;
    detail::log_sink_write(g_log.buffer, len);
  }
  detail::log_unlock();
}

namespace {
std::atomic<uint64_t> g_raw_count{0};
}  // namespace

void log_write_raw(const void* data, uint32_t count) {
  g_raw_count.fetch_add(count, std::memory_order_relaxed);
  detail::log_sink_write(data, count);
}

uint64_t log_raw_count() { return g_raw_count.load(std::memory_order_relaxed); }

void log_set_filter(bool enabled, uint32_t level_mask, uint32_t module_mask) {
  g_log.level_mask.store(level_mask, std::memory_order_relaxed);
  g_log.module_mask.store(module_mask, std::memory_order_relaxed);
  g_log.enabled.store(enabled ? 1 : 0, std::memory_order_relaxed);
}

LogFilter log_get_filter() {
  return {g_log.enabled.load(std::memory_order_relaxed) != 0, g_log.level_mask.load(std::memory_order_relaxed),
          g_log.module_mask.load(std::memory_order_relaxed)};
}

LogFilterOpen::LogFilterOpen(uint32_t levels, uint32_t modules) : saved_(log_get_filter()) {
  // A cleared filter passes level 0 only: opening starts from empty masks.
  const uint32_t l = saved_.enabled ? saved_.level_mask : 0;
  const uint32_t m = saved_.enabled ? saved_.module_mask : 0;
  log_set_filter(true, l | levels, m | modules);
}

LogFilterOpen::~LogFilterOpen() { log_set_filter(saved_.enabled, saved_.level_mask, saved_.module_mask); }

void log_attach_stream(FILE* stream) {
  std::lock_guard<std::mutex> g(g_log.lock);
  g_log.stream.store(stream, std::memory_order_release);
}

void log_attach_console(int fd) {
  std::lock_guard<std::mutex> g(g_log.lock);
  g_log.console.store(fd, std::memory_order_release);
}

FILE* log_stream() { return g_log.stream.load(std::memory_order_acquire); }
int log_console_fd() { return g_log.console.load(std::memory_order_acquire); }

LogCounters log_counters() {
  return {g_log.lock_taken.load(std::memory_order_relaxed), g_log.formatted.load(std::memory_order_relaxed)};
}

void log_reset_for_test() {
  log_set_filter(false, 0, 0);
  log_attach_stream(nullptr);
  log_attach_console(-1);
}

}  // namespace kestrel
