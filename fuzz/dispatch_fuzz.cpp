// Asynchronous report dispatch: one interrupt-IN report of exactly the size read, handed to
// reader_dispatch with a callback that copies what it is given.
#include <vector>

#include "devlink/reader.h"
#include "fuzz_common.h"
#include "log/log.h"

using namespace kestrel;

namespace {
std::vector<uint8_t> g_seen;
bool record(void*, uint32_t type, uint32_t length, const uint8_t* data) {
  g_seen.assign(data, data + length);
  return true;
}
ReaderControl* control() {
  static ReaderControl* c = [] {
    auto* r = new ReaderControl;
    r->callback = record;
    return r;
  }();
  return c;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > ASYNC_READ_SIZE) return 0;
  std::vector<uint8_t> report = fuzz::exact(data, size);
  (void)reader_dispatch(*control(), report.data(), report.size());
  return 0;
}
