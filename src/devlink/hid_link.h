// Transactions with the current card: build a request, send it with one set-output-report call,
// fetch the answer with one get-input-report call, accept or refuse it. Synchronous, on the
// caller's thread; no queue, no retry, nothing allocated.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "devlink/frame.h"
#include "devlink/qhidev.h"

namespace kestrel::platform {
class CardClaim;
}

namespace kestrel {

// An accepted answer: where its payload lies in the caller's page, and answer byte 3.
struct Answer {
  const uint8_t* payload = nullptr;
  uint16_t len = 0;
  uint8_t status = 0;  // bit 7 set: the card refused the command
  bool refused() const { return (status & ANSWER_REFUSED) != 0; }
};

class HidLink {
 public:
  explicit HidLink(qhidev_list& list) : list_(&list) {}
  // The counters below point into the link itself unless a card points them at its own.
  HidLink(const HidLink&) = delete;
  HidLink& operator=(const HidLink&) = delete;

  // The request counter; the frame carries the low byte of the value after the increment, so
  // the first request carries 1 and the 256th carries 0.
  uint32_t hid_seq = 0;
  // The register read's own counter (command 12) and whether the card's last attach read its
  // status block (framed command 12, else the legacy reports 12 and 13). A Card points both at
  // its own, so that each card reads registers by its own protocol; a bare link (the simulator's
  // self-checks, tests) keeps them here.
  uint32_t* reg_seq = &own_reg_seq;
  const uint8_t* status_block_valid = &own_status_valid;
  uint32_t own_reg_seq = 0;
  uint8_t own_status_valid = 0;
  uint8_t next_seq() { return static_cast<uint8_t>(++hid_seq); }

  // The current device when it has an open handle, else nullptr.
  qhidev* current() const;
  qhidev_list& list() const { return *list_; }
  // The host's claim on the current card (platform/card_claim.h); null without one.
  std::shared_ptr<platform::CardClaim> claim() const;

  // Long request (report 11, 265 bytes) built at the start of `page` (>= 265 bytes): header,
  // payload, zeros to byte 263, checksum. False for len > 256, no current device, a page that
  // is too small, or a failed send.
  bool hid_put(uint8_t seq, uint8_t cmd, uint8_t sub, const void* payload, uint32_t len,
               std::span<uint8_t> page);

  // Sends a frame the caller built (report 10 as 63 bytes, report 11 as 265 bytes). Refuses any
  // other report ID and a frame whose 8 + len does not fit its report, without sending.
  bool send_frame(std::span<const uint8_t> frame);

  // Builds a short request (report 10) in `buf` (>= 265 bytes, zero past the frame) and sends
  // it as 63 bytes. False for len > 55.
  bool put_short(uint8_t seq, uint8_t cmd, uint8_t sub, const void* payload, uint32_t len,
                 std::span<uint8_t> buf);

  // byte 0 = 9, bytes 1..263 = 0, then fetch input report 9 as 265 bytes into `page`.
  bool hid_get(std::span<uint8_t> page);

  // Acceptance test of an answer: command echo (byte 2 with link flag 0x02, else byte 0),
  // sequence byte, min_len <= len <= max_len, checksum intact.
  bool frame_check(const uint8_t* buf, uint8_t cmd, uint8_t seq, uint16_t min_len,
                   uint16_t max_len = ANSWER_PAYLOAD_MAX) const;

  // Command 7 with one control code: 1, 0 or -1.
  int hid_send_command(uint8_t code, std::span<uint8_t> page);

  // The standard transaction over report 11: increment the counter, send, fetch into the same
  // page, accept with min_len. `seq_counter` is hid_seq unless stated (reg_seq for cmd 12).
  bool transact_long(uint8_t cmd, uint8_t sub, const void* payload, uint32_t len, uint16_t min_len,
                     std::span<uint8_t> page, Answer& out, uint32_t* seq_counter = nullptr);
  // The same over report 10.
  bool transact_short(uint8_t cmd, uint8_t sub, const void* payload, uint32_t len, uint16_t min_len,
                      std::span<uint8_t> buf, Answer& out);
  // Fetches a further answer for the same sequence byte (the tail of command 8).
  bool fetch_more(uint8_t cmd, uint8_t seq, uint16_t min_len, std::span<uint8_t> page, Answer& out);

  // Command 11 (no answer): the action code as a 32-bit word.
  bool send_async(uint32_t action, std::span<uint8_t> page);
  // Command 14 on report 5 (no answer): magic, then three words; only when the card's link
  // flags have 0x04.
  bool send_notify(uint32_t w0, uint32_t w1, uint32_t w2);

  // The sequence byte of the last request built by the transact_* helpers.
  uint8_t last_seq() const { return last_seq_; }

 private:
  qhidev_list* list_;
  uint8_t last_seq_ = 0;
};

}  // namespace kestrel
