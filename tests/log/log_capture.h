// Captures what the log writes through an in-memory stream.
#pragma once

#include <cstdio>
#include <string>

#include "log/log.h"

namespace kestrel::test {

class LogCapture {
 public:
  LogCapture() : f_(open_memstream(&buf_, &size_)) { log_attach_stream(f_); }
  ~LogCapture() {
    log_reset_for_test();
    fclose(f_);
    free(buf_);
  }
  std::string text() {
    fflush(f_);
    return std::string(buf_, size_);
  }

 private:
  char* buf_ = nullptr;
  size_t size_ = 0;
  FILE* f_;
};

}  // namespace kestrel::test
