// The upgrade history: one row per upgrade attempt in a local SQLite database, written when the
// attempt starts and completed when it ends, read by `kestrelctl history` and the desktop
// program's History dialog.
//
// The upgrade calls two things, on whichever thread runs it:
//
//   HistoryStore store = HistoryStore::open(resolve_history_path(option).path);
//   HistoryWrite w = store.begin(attempt);        // before the first frame of the transfer
//   ... transfer ...
//   HistoryWrite f = store.finish(w.id, outcome); // when the final "OK!" / "FAILED!" is known
//   if (!w.ok || !f.ok) log and show w.message / f.message; the upgrade goes on either way.
//
// Nothing here throws or aborts: a database that cannot be created, opened, read, written or
// migrated makes every call return a result whose `ok` is false and whose `message` says why,
// in a sentence fit for the log and the final message. A row whose process died before finish
// (killed, power cut) reads `interrupted` from the next open on, never `running`.
//
// Kestrel's database carries PRAGMA application_id kApplicationId (history/schema.h), set when
// Kestrel creates it; a database an earlier Kestrel made without it is known by its one table
// and its version, and gets the id when it is next opened for writing. Any other SQLite file is
// another program's and is refused before anything in it is changed.
//
// Several stores (threads or processes) may write one database at once: it runs in WAL mode with
// a busy timeout, and each call is one short transaction. One store may be shared by threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::history {

// The schema this build writes; older files are migrated forward on open.
constexpr int kSchemaVersion = 2;
// How long one try of a write waits for another writer's transaction (a write tries three
// times). Each commit is short; only many writers committing at once on a slow disk wait at all.
constexpr int kBusyTimeoutMs = 2000;

enum class ImageKind : uint8_t { Firmware, Fpga };          // "firmware", "fpga"
enum class TransferPath : uint8_t { None, FlashChannel, HidDownload };  // "", "flash-channel", "hid-download"
// "running" until finish; "OK!" and "FAILED!" as the window shows them; "declined" when no
// transfer ran because the user or the match check said no; "refused" when the file itself was
// turned down before anything was sent (unreadable, not an image of its kind, past the path's
// limit; the detail says why); "interrupted" when the process that ran the attempt ended before
// it.
enum class Result : uint8_t { Running, Ok, Failed, Declined, Interrupted, Refused };

const char* image_kind_name(ImageKind k);
const char* transfer_path_name(TransferPath p);
const char* result_name(Result r);
// The inverse of the names above; false for any other text.
bool parse_result(const std::string& text, Result& out);

// Which card: every field that is known, empty otherwise.
struct CardIdentity {
  std::string board;       // board model name, e.g. "TB610M-1CH"
  std::string usb_serial;  // USB serial number string
  std::string port_path;   // USB port path, e.g. "1-2.3" (stays the same across replugs)
  std::string node;        // e.g. "/dev/hidraw3"
};

// What begin() records: everything known when the transfer is about to start.
struct Attempt {
  CardIdentity card;
  ImageKind kind = ImageKind::Firmware;
  std::string file_name;       // as the user gave it (path included)
  uint64_t file_size = 0;      // bytes
  std::string sha256;          // lower-case hex of the image bytes (sha256_hex); empty if not read
  std::string info_text;       // the image's info text (USB images), empty when none
  std::string verdict;         // the match check's verdict text; empty when no check ran (FPGA)
  bool forced = false;         // the user went ahead past a mismatch ("强制升级" / --force)
  TransferPath path = TransferPath::None;
  std::string version_before;  // the card's version text before the transfer
};

// What finish() records. The optional fields replace what begin() stored when they are given,
// for what becomes known only during the attempt.
struct Outcome {
  Result result = Result::Failed;          // Ok, Failed, Declined (Running is refused)
  std::optional<int32_t> engine_result;    // flash engine or HID download result code
  std::string version_after;               // the card's version text after the transfer
  std::optional<bool> verified;            // the card runs the image: true, false, or not known
  std::string detail;                      // free text: why declined, what the card reported
  std::optional<std::string> verdict;
  std::optional<bool> forced;
  std::optional<TransferPath> path;
};

// One stored attempt, as read back. Times are milliseconds since the Unix epoch (UTC).
struct Record {
  int64_t id = 0;
  int64_t started_ms = 0;
  std::optional<int64_t> ended_ms;  // none while running and for interrupted attempts
  Attempt attempt;
  Result result = Result::Running;
  std::optional<int32_t> engine_result;
  std::string version_after;
  std::optional<bool> verified;
  std::string detail;
  int64_t pid = 0;  // the process that ran the attempt (0: not recorded, a first-version row)
};

struct Filter {
  std::string card;                 // empty: every card; else equal to board, serial, port path or node
  std::optional<int64_t> since_ms;  // attempts started at or after this time
  size_t limit = 0;                 // 0: no limit; else the newest `limit` rows
};

// The answer of begin() and finish(): ok with the row's id, or not ok with a message.
struct HistoryWrite {
  bool ok = false;
  int64_t id = 0;       // begin: the new row's id (pass it to finish); 0 when not ok
  std::string message;  // empty when ok; else e.g. "the upgrade history could not be written: ..."
};

struct HistoryRead {
  bool ok = false;
  std::vector<Record> records;  // oldest first
  std::string message;          // empty when ok
};

class HistoryStore {
 public:
  // Opens or creates the database at `path` (its folder too), migrates its schema, and marks the
  // rows of dead processes interrupted. Never fails outright: when the file cannot be used the
  // store is unusable and says why in every answer (and in open_message()).
  static HistoryStore open(const std::string& path);
  // Opens the database at `path` for reading only (SQLITE_OPEN_READONLY): nothing in the file
  // changes, no folder or file is made (a missing file reads as an empty history), an older
  // schema is read without migrating it and dead processes' rows read interrupted without being
  // marked. Another program's SQLite file, or a path that is no regular file, is refused with a
  // message (readable() false).
  static HistoryStore open_for_reading(const std::string& path);

  HistoryStore();
  HistoryStore(HistoryStore&&) noexcept;
  HistoryStore& operator=(HistoryStore&&) noexcept;
  ~HistoryStore();

  // True when rows can be written; false when unusable or read-only (open_message says which).
  bool writable() const;
  // True when rows can be read.
  bool readable() const;
  // Why the database is unusable or read-only; empty when it opened for writing.
  const std::string& open_message() const;
  const std::string& path() const;

  // A new row with result "running", started now, owned by this process. Not ok (id 0) when the
  // store cannot write; the upgrade goes on and reports the message.
  HistoryWrite begin(const Attempt& attempt);
  // Ends the row `id` from begin(): result, end time and the outcome's fields. Not ok when the
  // store cannot write, when `id` is 0 (begin failed: the message says nothing was begun), when
  // no such row exists, or when the result is Running.
  HistoryWrite finish(int64_t id, const Outcome& outcome);
  // The rows that pass `filter`, oldest first. A "running" row whose process is gone reads
  // "interrupted" even when the store could not mark it (a read-only file).
  HistoryRead query(const Filter& filter = {}) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Lower-case hex SHA-256 of `size` bytes.
std::string sha256_hex(const void* data, size_t size);

}  // namespace kestrel::history
