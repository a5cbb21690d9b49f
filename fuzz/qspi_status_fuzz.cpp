// Acceptance of the flash channel's status answer (input report 6) by qspi_get_status: the
// input is what the card answers to up to two fetches.
#include "fuzz_common.h"
#include "log/clock.h"
#include "update/flash_engine.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static SimClock* clock = [] {
    auto* c = new SimClock;
    clock_set_source(c);
    return c;
  }();
  (void)clock;
  auto dev = std::make_shared<fuzz::FuzzDevice>(data, size);
  fuzz::OneCard card(dev, QHIDEV_F_FLASH_CHAN | QHIDEV_F_ECHO2);
  HidLink link(card.list);
  std::vector<uint8_t> answer(QSPI_REPORT_SIZE);
  if (!qspi_get_status(link, answer.data())) return 0;
  if (qspi_answer_length(answer.data()) > QSPI_REPORT_SIZE) __builtin_trap();
  return 0;
}
