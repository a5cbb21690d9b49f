// The exchanges that fetch a card's records, with the card's answers taken from the input:
// the event record query, the status block read (input report 4 or command 4), the
// configuration record read and the input selection. Byte 0 picks the exchange and the link
// flags; each copy lands in a block of exactly the size its callers guarantee.
#include "devlink/board_records.h"
#include "fuzz_common.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t pick = data[0];
  uint16_t flags = QHIDEV_F_ECHO2;
  if (pick & 0x04) flags |= QHIDEV_F_STATUS_RPT;
  if (pick & 0x08) flags &= static_cast<uint16_t>(~QHIDEV_F_ECHO2);
  auto dev = std::make_shared<fuzz::FuzzDevice>(data + 1, size - 1);
  fuzz::OneCard card(dev, flags);
  HidLink link(card.list);
  std::vector<uint8_t> page(2 * 4096);
  switch (pick & 0x03) {
    case 0: {
      std::vector<uint8_t> dest(EVENT_SIZE);
      (void)board_event_query(link, dest.data());
      break;
    }
    case 1: {
      std::vector<uint8_t> dest(ANSWER_PAYLOAD_MAX);
      uint16_t len = 0;
      if (board_status_read(link, dest.data(), page, 1, &len) && len > dest.size()) __builtin_trap();
      break;
    }
    case 2:
      (void)board_config_read(link, page);
      break;
    default: {
      uint8_t sel = 0;
      (void)board_input_get(link, &sel);
      break;
    }
  }
  return 0;
}
