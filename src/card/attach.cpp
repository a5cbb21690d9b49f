#include "card/attach.h"

#include <cstring>

#include "boards/registry.h"
#include "devlink/board_records.h"
#include "devlink/commands.h"
#include "devlink/hid_link.h"
#include "devlink/qhidev.h"
#include "log/log.h"

namespace kestrel {

namespace {

constexpr uint32_t kAsyncReportsAction = 24;  // asks the card for asynchronous reports
constexpr size_t kPage = 4096;

void log_board_change(BoardRegistry* reg, const uint8_t* block) {
  if (!reg) return;
  if (registry_select_by_status(*reg, reinterpret_cast<const char*>(block + STATUS_TEXT)))
    log_printf(0, " board status change to %s\r\n", reg->current ? reg->current->name : "");
}

}  // namespace

void card_attach_exchanges(HidLink& link, qhidev& device, BoardRegistry* registry, std::span<uint8_t> pages,
                           uint8_t& status_valid) {
  qhidev* d = &device;
  // A reader thread may read the flags meanwhile: every change goes through the list's lock.
  auto add_flags = [d](uint16_t bits) { qhidev_set_link_flags(*d, static_cast<uint16_t>(d->link_flags | bits)); };
  std::span<uint8_t> t = pages.first(kPage);
  uint8_t* p = t.data() + FRAME_HDR;

  // Feature probe: the event record as feature report 1.
  bool ok = false;
  uint8_t caps = 0;
  std::memset(t.data(), 0, EVENT_SIZE);
  t[0] = RID_EVENT_FEAT;
  if (d->handle->get_feature_report(t.first(EVENT_SIZE)) && t[EVENT_KIND] == 1 && board_event_intact(t.data())) {
    ok = true;
    caps = t[EVENT_CAPS];
    add_flags(caps & 0x3B);
    if (caps & QHIDEV_F_STATUS_RPT) {
      ok = board_status_fetch_report4(link, t);
      if (ok) {
        add_flags(QHIDEV_F_STATUS_RPT);
        status_valid = 1;
        log_board_change(registry, p);
      }
    }
  }

  // Event query by command 1.
  if (!(d->link_flags & QHIDEV_F_ECHO2)) {
    uint8_t rec[EVENT_SIZE];
    if (board_event_query(link, rec)) add_flags(QHIDEV_F_ECHO2 | (rec[EVENT_CAPS] & 0x7A));
  }

  // Status block by command 4.
  if (!((d->link_flags & QHIDEV_F_STATUS_RPT) && ok)) {
    const uint8_t attach_byte = 1;
    std::span<uint8_t> req = pages.subspan(2 * kPage);
    std::span<uint8_t> ans = pages.subspan(kPage);
    const uint8_t s = link.next_seq();
    Answer a;
    if (!link.hid_put(s, CMD_BOARD_STATUS, 0, &attach_byte, 1, req) ||
        !link.fetch_more(CMD_BOARD_STATUS, s, STATUS_MIN_LENGTH, ans, a)) {
      add_flags(QHIDEV_F_STATUS_FAIL);
      status_valid = 0;
    } else {
      std::memmove(p, a.payload, a.len);
      if (!board_status_valid(p, a.len)) {
        status_valid = 0;
      } else {
        add_flags(QHIDEV_F_STATUS_CMD);
        status_valid = 1;
        log_board_change(registry, p);
      }
    }
  }

  if (d->link_flags & QHIDEV_F_ASYNC_MASK) {
    const bool sent = link.send_async(kAsyncReportsAction, pages.subspan(kPage));
    log_printf(9, " send async %u %s\r\n", kAsyncReportsAction, sent ? "allok" : "failed");
  }
}

}  // namespace kestrel
