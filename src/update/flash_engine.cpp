#include "update/flash_engine.h"

#include <algorithm>
#include <cstring>

#include "devlink/frame.h"
#include "devlink/hid_link.h"
#include "log/clock.h"
#include "log/hexdump.h"
#include "log/log.h"

namespace kestrel {

namespace {

constexpr char kDeviceName[] = "qzffs";

platform::HidDevice* device_of(HidLink& link) {
  qhidev* d = link.current();
  return d ? d->handle.get() : nullptr;
}

// Fetches input report 6 as 264 bytes into `answer` after clearing it.
bool fetch_status(platform::HidDevice* dev, uint8_t* answer) {
  answer[0] = QSPI_IN_RID;
  std::memset(answer + 1, 0, QSPI_REPORT_SIZE - 1);
  return dev->get_input_report(std::span<uint8_t>(answer, QSPI_REPORT_SIZE));
}

// The payload every control request shares; the rest of the request page stays zero.
uint8_t* control_payload(FlashJob& job, uint8_t op) {
  uint8_t* req = job.request_page();
  std::memset(req, 0, QSPI_REPORT_SIZE);
  uint8_t* p = req + FRAME_HDR;
  put_le16(p + BC_OP, op);
  put_le16(p + BC_KIND, job.image_kind);
  put_le32(p + BC_MAGIC, MAGIC_ZHHH);
  return p;
}

void put_time_and_image(FlashJob& job, uint8_t* p) {
  put_le64(p + BC_TIME, job.start_time);
  put_le32(p + BC_BASE, job.partition_base);
  put_le32(p + BC_LEN, job.image_length);
  put_le32(p + BC_CRC, job.image_crc);
}

}  // namespace

uint32_t bdev_frame(uint8_t* request, uint8_t seq, uint8_t op, uint16_t len) {
  request[FRAME_RID] = QSPI_OUT_RID;
  request[FRAME_SEQ] = seq;
  request[FRAME_CMD] = op;
  request[FRAME_SUB] = 0;
  put_le16(request + FRAME_LEN, len);
  put_le16(request + FRAME_CSUM, 0);
  put_le16(request + FRAME_CSUM, static_cast<uint16_t>(~frame_csum(request, FRAME_HDR + len)));
  return FRAME_HDR + len;
}

void qspi_page_frame(uint8_t* request, uint8_t seq, uint32_t address, const uint8_t* data) {
  const uint16_t index = static_cast<uint16_t>(address >> 8);
  request[FRAME_RID] = QSPI_OUT_RID;
  request[FRAME_SEQ] = seq;
  request[FRAME_CMD] = BDEV_WRITE;
  request[FRAME_SUB] = BDEV_WRITE_SUB;
  put_le16(request + FRAME_LEN, index);
  put_le16(request + FRAME_CSUM, 0);
  std::memcpy(request + FRAME_HDR, data, FLASH_PAGE);
  // The frame rule over 8 + index bytes; the bytes of the page past the 264 sent are zero and
  // add nothing, so the sum never reads them.
  const size_t n = std::min<size_t>(FRAME_HDR + index, QSPI_REPORT_SIZE);
  put_le16(request + FRAME_CSUM, static_cast<uint16_t>(~frame_csum(request, n)));
}

uint32_t qspi_answer_length(const uint8_t* answer) {
  switch (answer[FRAME_CMD]) {
    case BDEV_ANSWER_FULL: return QSPI_REPORT_SIZE;
    case BDEV_WRITE: return FRAME_HDR;
    default: return FRAME_HDR + get_le16(answer + FRAME_LEN);
  }
}

uint32_t flash_erase_step(uint32_t address, uint32_t total) {
  uint32_t step = FLASH_ERASE_ALIGN - (address & (FLASH_ERASE_ALIGN - 1));
  if (step > total) step = total < FLASH_ERASE_TAIL ? total : FLASH_ERASE_TAIL;
  return step;
}

bool qspi_put(HidLink& link, const uint8_t* request) {
  platform::HidDevice* dev = device_of(link);
  if (!dev) return false;
  const std::span<const uint8_t> report(request, QSPI_REPORT_SIZE);
  const uint64_t t0 = clock_now_ns();
  if (dev->set_output_report(report)) return true;
  const uint64_t t1 = clock_now_ns();
  if (t1 - t0 <= QSPI_TIMEOUT_NS) return false;
  dev = device_of(link);
  const bool second = dev && dev->set_output_report(report);
  const SecNs d = split_ns(t1 - t0);
  log_printf(LOG_FLASH, " *&* : put qspi stat(%u) %2u.%09u\r\n", second ? 1u : 0u, d.sec, d.ns);
  return second;
}

bool qspi_get_status(HidLink& link, uint8_t* answer) {
  bool retried = false;  // one retry, shared by every cause
  for (;;) {
    platform::HidDevice* dev = device_of(link);
    if (!dev) return false;
    const uint64_t t0 = clock_now_ns();
    bool ok = fetch_status(dev, answer);
    const uint64_t t1 = clock_now_ns();
    if (!ok) {
      if (t1 - t0 <= QSPI_TIMEOUT_NS || retried) return false;
      retried = true;
      dev = device_of(link);
      ok = dev && fetch_status(dev, answer);
      const SecNs d = split_ns(t1 - t0);
      log_printf(LOG_FLASH, " *&* : get qspi stat(%u) %2u.%09u\r\n", ok ? 1u : 0u, d.sec, d.ns);
      if (!ok) return false;
    }
    if (answer[FRAME_RID] != QSPI_IN_RID) {
      const unsigned id = answer[FRAME_RID];
      if (!retried) {
        log_printf(LOG_FLASH, " err : get qspi stat(%u) idkey(%u) failed and retry\r\n", 1u, id);
        log_hex_dump(LOG_FLASH, answer, QSPI_REPORT_SIZE);
        retried = true;
        continue;
      }
      log_printf(LOG_FLASH, " err : get qspi stat(%u) idkey(%u) failed and retry failed\r\n", 1u, id);
      log_hex_dump(LOG_FLASH, answer, QSPI_REPORT_SIZE);
      return false;
    }
    const uint32_t n = qspi_answer_length(answer);
    const uint16_t sum = frame_csum(answer, std::min<uint32_t>(n, QSPI_REPORT_SIZE));
    if (n <= QSPI_REPORT_SIZE && sum == 0xFFFF) return true;
    const unsigned x = static_cast<uint16_t>(~sum);
    if (!retried) {
      log_printf(LOG_FLASH, " err : get qspi stat(%u) idkey(%u) dlen(%04X) xfcs(%04X) failed and retry\r\n", x, 6u, n, x);
      log_hex_dump(LOG_FLASH, answer, QSPI_REPORT_SIZE);
      retried = true;
      continue;
    }
    log_printf(LOG_FLASH, " err : get qspi stat(%u) idkey(%u) dlen(%04X) xfcs(%04X) failed and retry failed\r\n", x, 6u, n,
               x);
    log_hex_dump(LOG_FLASH, answer, QSPI_REPORT_SIZE);
    return false;
  }
}

int flash_job_run(FlashJob* jp) {
  FlashJob& job = *jp;
  HidLink& link = *job.link;
  uint8_t* req = job.request_page();
  uint8_t* ans = job.answer_page();

  // 1. Start.
  job.result = FLASH_OPEN_FAILED;
  job.start_time = clock_now_ns();
  job.image_crc = crc32_register(job.image, job.image_length);
  job.partition_base = job.partition_size = job.erase_block = 0;
  job.erased.store(0, std::memory_order_relaxed);
  job.written.store(0, std::memory_order_relaxed);
  // The request page past the 264 bytes sent is zero throughout the run.
  std::memset(req, 0, FLASH_WORK_PAGE);

  bool close = true;
  bool verify = true;
  do {
    // 2. Open.
    uint8_t* p = control_payload(job, BDEV_OPEN);
    put_le64(p + BC_TIME, job.start_time);
    put_le32(p + BC_LEN, job.image_length);
    put_le32(p + BC_CRC, job.image_crc);
    std::memcpy(p + BC_NAME, kDeviceName, sizeof kDeviceName);
    bdev_frame(req, link.next_seq(), BDEV_OPEN, BDEV_CONTROL_LEN);
    if (!qspi_put(link, req)) {
      log_printf(LOG_FLASH, " err : bdevif open failed for put control\r\n");
      close = verify = false;
      break;
    }
    // 3. Its answer.
    if (!qspi_get_status(link, ans)) {
      log_printf(LOG_FLASH, " err : bdevif open failed for query open status\r\n");
      verify = false;
      break;
    }
    // 4. The partition.
    job.partition_base = get_le32(ans + FRAME_HDR + OPEN_ANS_BASE);
    job.partition_size = get_le32(ans + FRAME_HDR + OPEN_ANS_SIZE);
    job.erase_block = get_le32(ans + FRAME_HDR + OPEN_ANS_EBLOCK);
    if (job.erase_block == 0) job.erase_block = FLASH_ERASE_DEFAULT;
    if (job.partition_base % job.erase_block != 0 || job.image_length > job.partition_size) {
      log_printf(LOG_FLASH, " err : bdevif open failed for verify\r\n");
      job.result = FLASH_PARTITION;
      break;  // straight to verify
    }

    // 5. Erase.
    const uint64_t rounded = (static_cast<uint64_t>(job.image_length) + job.erase_block - 1) / job.erase_block * job.erase_block;
    uint64_t total = rounded;
    uint32_t address = job.partition_base;
    uint32_t step = 0;
    bool ok = true;
    while (total > 0) {
      step = flash_erase_step(address, static_cast<uint32_t>(std::min<uint64_t>(total, 0xFFFFFFFFu)));
      p = control_payload(job, BDEV_ERASE);
      const uint64_t t = clock_now_ns();
      put_le64(p + BC_TIME, t);
      put_le32(p + BC_LEN, address);
      put_le32(p + BC_CRC, step);
      bdev_frame(req, link.next_seq(), BDEV_ERASE, BDEV_ERASE_LEN);
      if (!qspi_put(link, req)) {
        log_printf(LOG_FLASH, " err : bdevif erase flash(%08X:%08X) failed for put control\r\n", address, step);
        ok = false;
        break;
      }
      ok = qspi_get_status(link, ans);  // the answer itself is not examined
      const SecNs d = split_ns(clock_now_ns() - t);
      log_printf(LOG_FLASH, " *&* : bdevif erase flash(%08X:%08X) allok time %u.%09u\r\n", address, step, d.sec, d.ns);
      total = total > step ? total - step : 0;
      address += step;
      job.erased.store(job.erased.load(std::memory_order_relaxed) + step, std::memory_order_relaxed);
    }
    if (!ok) {
      log_printf(LOG_FLASH, " err : bdevif erase flash(%08X:%08X) failed\r\n", address, step);
      job.result = FLASH_WRITE_FAILED;
      verify = false;
      break;
    }

    // 6. Write, pages back to back, no answer per page.
    const uint32_t padded = static_cast<uint32_t>((static_cast<uint64_t>(job.image_length) + FLASH_PAGE - 1) / FLASH_PAGE * FLASH_PAGE);
    std::memset(job.image + job.image_length, 0xFF, padded - job.image_length);
    address = job.partition_base;
    uint32_t written = 0;
    uint32_t n = job.image_length;
    bool write_ok = true;
    while (n > 0) {
      qspi_page_frame(req, link.next_seq(), address, job.image + written);
      if (!qspi_put(link, req)) {
        log_printf(LOG_FLASH, " err : bdevif write flash(%08X:%08X) failed for write data\r\n", address, padded);
        write_ok = false;
        break;
      }
      address += FLASH_PAGE;
      written += FLASH_PAGE;
      job.written.store(written, std::memory_order_relaxed);
      n = n > FLASH_PAGE ? n - FLASH_PAGE : 0;
    }
    // The control requests that follow rebuild bytes 0..263; clear the page data they leave.
    std::memset(req, 0, QSPI_REPORT_SIZE);
    if (!write_ok) {
      job.result = FLASH_WRITE_FAILED;
      verify = false;
      break;
    }
    job.result = FLASH_UNCONFIRMED;
  } while (false);

  // 7. Verify (after a write, and after a failed partition check).
  if (verify) {
    uint8_t* p = control_payload(job, BDEV_VERIFY);
    put_time_and_image(job, p);
    put_le16(p + BC_VFY_72, 72);
    put_le16(p + BC_VFY_KIND, job.image_kind);
    const uint8_t s = link.next_seq();
    bdev_frame(req, s, BDEV_VERIFY, BDEV_CONTROL_LEN);
    if (!qspi_put(link, req)) {
      log_printf(LOG_FLASH, " err : bdevif write flash(%08X:%08X) failed for put verify control\r\n", job.partition_base,
                 job.image_length);
    } else if (!qspi_get_status(link, ans)) {
      log_printf(LOG_FLASH, " err : bdevif write flash(%08X:%08X) failed for query verify control\r\n", job.partition_base,
                 job.image_length);
    } else if (ans[FRAME_CMD] != BDEV_VERIFY || ans[FRAME_SEQ] != s || (ans[FRAME_SUB] & ANSWER_REFUSED)) {
      log_printf(LOG_FLASH, " err : bdevif write flash(%08X:%08X) failed for verify\r\n", job.partition_base,
                 job.image_length);
    } else if (ans[VERIFY_ANS_MATCH] != 0) {
      job.result = FLASH_OK;
    }
  }

  // 8. Close; both results are ignored.
  if (close) {
    uint8_t* p = control_payload(job, BDEV_CLOSE);
    put_time_and_image(job, p);
    bdev_frame(req, link.next_seq(), BDEV_CLOSE, BDEV_CONTROL_LEN);
    qspi_put(link, req);
    qspi_get_status(link, ans);
  }

  // 9. Done: the last access to the job.
  const SecNs d = split_ns(clock_now_ns() - job.start_time);
  log_printf(LOG_TRACE, "\r\n *&* : time %u.%09u\r\n", d.sec, d.ns);
  job.done.store(1, std::memory_order_release);
  return 0;
}

}  // namespace kestrel
