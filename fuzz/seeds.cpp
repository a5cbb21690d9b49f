// Writes the seed corpora: known-good frames and records, built with the link's own builders,
// in the input layout of each fuzz target. Usage: fuzz_seeds <corpus dir>.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "devlink/board_records.h"
#include "devlink/frame.h"

using namespace kestrel;
using Bytes = std::vector<uint8_t>;

namespace {

std::string g_root;

void put(const std::string& target, const std::string& name, const Bytes& b) {
  const std::string dir = g_root + "/" + target;
  ::mkdir(dir.c_str(), 0755);
  FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
  if (!f) return;
  std::fwrite(b.data(), 1, b.size(), f);
  std::fclose(f);
}

void seal(uint8_t* data, size_t count, size_t at) {
  put_le16(data + at, 0);
  put_le16(data + at, static_cast<uint16_t>(~frame_csum(data, count)));
}

Bytes frame(uint8_t rid, uint8_t seq, uint8_t cmd, uint8_t sub, const Bytes& payload, size_t report) {
  Bytes r(std::max(report, FRAME_HDR + payload.size()), 0);
  frame_build(r.data(), rid, seq, cmd, sub, payload.data(), static_cast<uint16_t>(payload.size()));
  return r;
}

Bytes event(uint8_t kind) {
  Bytes e(EVENT_SIZE, 0);
  e[EVENT_KIND] = kind;
  e[EVENT_CAPS] = 0x5B;
  put_le32(e.data() + EVENT_MAGIC, MAGIC_ZHHH);
  put_le64(e.data() + EVENT_DEV_TIME, 123456789ull);
  put_le32(e.data() + EVENT_WORD1, 0x8001);
  seal(e.data(), EVENT_SIZE, 2);
  return e;
}

Bytes status(const std::string& text) {
  Bytes b(STATUS_TEXT + text.size() + 1, 0);
  put_le32(b.data(), MAGIC_ZHHH);
  put_le16(b.data() + STATUS_LENGTH, static_cast<uint16_t>(b.size()));
  b[STATUS_COLOR] = 1;
  b[STATUS_LOCK_A] = 4;
  put_le16(b.data() + STATUS_VIEW_W, 1920);
  put_le16(b.data() + STATUS_VIEW_H, 1080);
  std::memcpy(b.data() + STATUS_TEXT, text.data(), text.size());
  seal(b.data(), b.size(), 6);
  return b;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds <corpus dir>\n");
    return 2;
  }
  g_root = argv[1];
  ::mkdir(g_root.c_str(), 0755);

  // answer: flags, command, sequence, minimum length, report 9.
  const Bytes p8 = {1, 2, 3, 4, 5, 6, 7, 8};
  put("answer", "echo2_cmd7", cat({1, 7, 1, 2}, frame(RID_ANSWER, 1, 7, 0, {1, 0}, ANSWER_REPORT_SIZE)));
  put("answer", "old_form", cat({0, RID_ANSWER, 9, 8}, frame(RID_ANSWER, 9, 21, 0, p8, ANSWER_REPORT_SIZE)));
  put("answer", "refused", cat({1, 12, 200, 0}, frame(RID_ANSWER, 200, 12, ANSWER_REFUSED, {}, ANSWER_REPORT_SIZE)));
  put("answer", "full", cat({1, 4, 5, 64}, frame(RID_ANSWER, 5, 4, 0, Bytes(ANSWER_PAYLOAD_MAX, 0x41), ANSWER_REPORT_SIZE)));

  // config: a sealed 32-byte record, and one whose length covers more bytes.
  Bytes c(CONFIG_SIZE, 0);
  c[CONFIG_HALF_RATE] = 1;
  board_config_seal(c.data());
  put("config", "sealed", c);
  Bytes c2(48, 0);
  board_config_seal(c2.data());
  put("config", "sealed_tail", c2);

  // records: exchange and flags byte, then the card's answers as fetched.
  put("records", "event_query", cat({0}, frame(RID_ANSWER, 1, 1, 0, event(1), ANSWER_REPORT_SIZE)));
  put("records", "status_cmd4", cat({1}, frame(RID_ANSWER, 1, 4, 0, status("meadow:V1.0.0 FPGA:1.0"), ANSWER_REPORT_SIZE)));
  put("records", "status_report4", cat({1 | 4}, frame(RID_STATUS, 0, 0, 0, status("meadow:V1.0.0 FPGA:1.0"), STATUS_REPORT_SIZE)));
  put("records", "config", cat({2}, frame(RID_ANSWER, 1, 21, 0, c, ANSWER_REPORT_SIZE)));
  Bytes sel(INPUT_SEL_SIZE, 0);
  sel[0] = RID_INPUT_SEL;
  sel[1] = 3;
  put("records", "input_sel", cat({3}, sel));

  // status: 0 = status block, 1 = event record.
  put("status", "block", cat({0}, status("TB610K-1CH:V2.0.6800 FPGA:V1.2")));
  put("status", "block_short_text", cat({0}, status("")));
  put("status", "event_kind1", cat({1}, event(1)));
  put("status", "event_kind2", cat({1}, event(2)));

  // dispatch: reports as the reader reads them.
  put("dispatch", "event2", event(2));
  const std::string hello = "hello from the card\r\n";
  const Bytes text(hello.begin(), hello.end());
  put("dispatch", "text3", frame(3, 0, 1, 0, text, 63));
  put("dispatch", "text8", frame(RID_DEBUG_TEXT, 0, 1, 0, text, ASYNC_READ_SIZE));
  put("dispatch", "mixed_text", frame(12, 0, 1, 0, text, 63));
  put("dispatch", "mixed_event", frame(12, 0, 2, 0, event(1), 63));

  // qspi_status: input report 6 answers (byte 2: 5 full, 4 write, else 8 + len).
  put("qspi_status", "full", frame(6, 1, 5, 0, Bytes(256, 0xA5), 264));
  put("qspi_status", "write", frame(6, 2, 4, 0, {}, 264));
  put("qspi_status", "status", frame(6, 3, 3, 0, {1, 0, 0, 0}, 264));
  put("qspi_status", "retry", cat(frame(7, 3, 3, 0, {}, 264), frame(6, 3, 3, 0, {0}, 264)));

  // image: board index byte, then a USB-controller image with its info text.
  const std::string info = "CY\x1c\xb0 firmware key-TB610K-1CH:V2.0.6800 build 2024-12-25 10:01:06 GCC: (GNU) 12.2.0";
  Bytes img = {0};
  img.insert(img.end(), info.begin(), info.end());
  img.push_back(0);
  img.insert(img.end(), 64, 0xFF);
  put("image", "tagged", img);
  img[0] = 3;
  put("image", "tagged_board3", img);
  const std::string decoy = "CY key-meadow:V1 build 2024/12-25 10:01:06 GCC: old";
  put("image", "decoy", cat({1}, Bytes(decoy.begin(), decoy.end())));
  // 256 KiB of "key-" in one string: each is a candidate whose ':' would lie further on, the
  // image that made the search read to the string's end from every candidate.
  Bytes keys = {0, 'C', 'Y'};
  for (int i = 0; i < 65536; ++i) keys.insert(keys.end(), {'k', 'e', 'y', '-'});
  put("image", "all_keys", keys);

  auto str = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  for (const char* s : {"0x1A", "255", " 12 ", "0X", "", "\t0x00ff\r\n"}) put("number_field", "n" + std::to_string(std::strlen(s)) + "_" + std::to_string(s[0]), str(s));
  for (const char* s : {"0-reset.sh", "12-capture test.sh", "3-.sh", "7-a-b.sh"}) put("script_name", std::string(s), str(s));
  for (const char* s : {"0x20000", "4294967295", "0", "0x01000000"}) put("parse_number", std::string(s), str(s));
  return 0;
}
