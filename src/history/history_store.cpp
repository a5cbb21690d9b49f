#include "history/history_store.h"

#include <iterator>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "history/process_owner.h"
#include "history/schema.h"

namespace kestrel::history {

namespace {

constexpr const char* kNotWritten = "the upgrade history could not be written: ";
constexpr const char* kNotRead = "the upgrade history could not be read: ";
// How many times a write waits out the busy timeout before it is given up.
constexpr int kWriteTries = 3;

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// One prepared statement, finalised with its scope.
class Stmt {
 public:
  Stmt() = default;
  Stmt(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &st_, nullptr); }
  Stmt(Stmt&& o) noexcept : st_(o.st_) { o.st_ = nullptr; }
  Stmt& operator=(Stmt&& o) noexcept {
    std::swap(st_, o.st_);
    return *this;
  }
  ~Stmt() { sqlite3_finalize(st_); }
  explicit operator bool() const { return st_ != nullptr; }
  sqlite3_stmt* get() const { return st_; }

  void text(int i, const std::string& s) { sqlite3_bind_text(st_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT); }
  void integer(int i, int64_t v) { sqlite3_bind_int64(st_, i, v); }
  void null(int i) { sqlite3_bind_null(st_, i); }
  template <typename T>
  void maybe(int i, const std::optional<T>& v) {
    v ? integer(i, static_cast<int64_t>(*v)) : null(i);
  }
  // Runs a statement that returns no rows and readies it for the next use. Another writer may
  // hold the lock past the busy timeout when many commit at once: the statement is tried again,
  // a bounded number of times.
  bool run() {
    int rc = SQLITE_BUSY;
    for (int n = 0; n < kWriteTries && (rc == SQLITE_BUSY || rc == SQLITE_LOCKED); ++n) {
      rc = sqlite3_step(st_);
      sqlite3_reset(st_);
    }
    sqlite3_clear_bindings(st_);
    return rc == SQLITE_DONE;
  }
  std::string column_text(int i) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st_, i));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(st_, i))) : std::string();
  }
  std::optional<int64_t> column_maybe(int i) const {
    if (sqlite3_column_type(st_, i) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_int64(st_, i);
  }

 private:
  sqlite3_stmt* st_ = nullptr;
};

// mkdir -p for the folder of `path`, private to the user as the state folder should be.
bool make_parent_folders(const std::string& path, std::string& error) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0700) == 0) continue;
    struct stat st {};
    if (errno != EEXIST || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      error = "cannot create the folder " + dir + ": " + std::strerror(errno == EEXIST ? ENOTDIR : errno);
      return false;
    }
  }
  return true;
}

const char* const kPathNames[] = {"", "flash-channel", "hid-download"};
const char* const kResultNames[] = {"running", "OK!", "FAILED!", "declined", "interrupted", "refused"};

TransferPath path_from(const std::string& s) {
  if (s == kPathNames[1]) return TransferPath::FlashChannel;
  if (s == kPathNames[2]) return TransferPath::HidDownload;
  return TransferPath::None;
}

// The rows of a file of schema `version`. A first-version file, read without migrating it, has
// no verified, detail or owner columns: they read as not known, empty and no owner.
std::string select_sql(int version) {
  return std::string(
             "SELECT id, started_ms, ended_ms, board, usb_serial, port_path, node, image_kind, file_name, file_size,"
             " sha256, info_text, verdict, forced, path, result, engine_result, version_before, version_after, ") +
         (version >= 2 ? "verified, detail, owner_pid, owner_start, owner_boot" : "NULL, '', 0, 0, ''") +
         " FROM attempts"
         " WHERE (?1 = '' OR board = ?1 OR usb_serial = ?1 OR port_path = ?1 OR node = ?1) AND started_ms >= ?2"
         " ORDER BY started_ms DESC, id DESC LIMIT ?3";
}

// Why a path that exists cannot be the database: only a regular file (or a link to one) is.
std::string not_a_file(const struct stat& st) {
  const char* what = S_ISDIR(st.st_mode)    ? "a folder"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "not a regular file";
  return std::string("is ") + what + ", not a database file";
}

std::string foreign_message(const FileIdentity& id) {
  return "is another program's SQLite database, not Kestrel's upgrade history (" + id.why +
         "); it is left as it is";
}

// The owner recorded in three columns from `first`: pid, start ticks, boot id.
ProcessOwner owner_at(const Stmt& s, int first) {
  return {sqlite3_column_int64(s.get(), first), static_cast<uint64_t>(sqlite3_column_int64(s.get(), first + 1)),
          s.column_text(first + 2)};
}

Record read_row(const Stmt& s, ProcessOwner& owner) {
  sqlite3_stmt* st = s.get();
  Record r;
  r.id = sqlite3_column_int64(st, 0);
  r.started_ms = sqlite3_column_int64(st, 1);
  r.ended_ms = s.column_maybe(2);
  Attempt& a = r.attempt;
  a.card = {s.column_text(3), s.column_text(4), s.column_text(5), s.column_text(6)};
  a.kind = s.column_text(7) == "fpga" ? ImageKind::Fpga : ImageKind::Firmware;
  a.file_name = s.column_text(8);
  a.file_size = static_cast<uint64_t>(sqlite3_column_int64(st, 9));
  a.sha256 = s.column_text(10);
  a.info_text = s.column_text(11);
  a.verdict = s.column_text(12);
  a.forced = sqlite3_column_int(st, 13) != 0;
  a.path = path_from(s.column_text(14));
  if (!parse_result(s.column_text(15), r.result)) r.result = Result::Failed;
  if (auto e = s.column_maybe(16)) r.engine_result = static_cast<int32_t>(*e);
  a.version_before = s.column_text(17);
  r.version_after = s.column_text(18);
  if (auto v = s.column_maybe(19)) r.verified = *v != 0;
  r.detail = s.column_text(20);
  r.pid = sqlite3_column_int64(st, 21);
  owner = owner_at(s, 21);
  return r;
}

std::string interrupted_detail(int64_t pid) {
  return pid ? "process " + std::to_string(pid) + " ended before the upgrade did"
             : "the upgrade's process ended before it did";
}

}  // namespace

const char* image_kind_name(ImageKind k) { return k == ImageKind::Fpga ? "fpga" : "firmware"; }
const char* transfer_path_name(TransferPath p) { return kPathNames[static_cast<int>(p)]; }
const char* result_name(Result r) { return kResultNames[static_cast<int>(r)]; }

bool parse_result(const std::string& text, Result& out) {
  for (int i = 0; i < static_cast<int>(std::size(kResultNames)); ++i)
    if (text == kResultNames[i]) {
      out = static_cast<Result>(i);
      return true;
    }
  return false;
}

struct HistoryStore::Impl {
  std::string path;
  std::string open_message;
  sqlite3* db = nullptr;
  bool readable = false;
  bool writable = false;
  int version = kSchemaVersion;  // of the file as read (a reading store does not migrate)
  bool empty = false;            // nothing recorded yet: no file, or no table in it
  mutable std::mutex lock;
  Stmt insert, update;

  ~Impl() {
    insert = Stmt();
    update = Stmt();
    sqlite3_close_v2(db);
  }
  void unusable(const std::string& why) {
    open_message = path + ": " + why;
    readable = writable = false;
  }
  bool exec(const char* sql, std::string& error) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
    error = msg ? msg : sqlite3_errmsg(db);
    sqlite3_free(msg);
    return false;
  }
  void open();
  void open_read_only();
  void open_for_reading();
  bool identify_read_only(FileIdentity& id, std::string& error);
  void mark_interrupted();
};

void HistoryStore::Impl::open() {
  std::string error;
  if (path.empty()) return unusable("no path for the history database");
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return unusable(not_a_file(st));
  if (!make_parent_folders(path, error)) return unusable(error);
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK)
    return unusable(db ? sqlite3_errmsg(db) : "out of memory");
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // SQLite opens a file it may not write read-only without saying so.
  if (sqlite3_db_readonly(db, "main") == 1) return open_read_only();
  // The first read opens the file; a file that is no database fails here. Whose it is is known
  // before anything is written: another program's file is left exactly as it was.
  FileIdentity id;
  if (!identify_file(db, id, error)) return unusable(error);
  if (id.owner == FileOwner::Foreign) return unusable(foreign_message(id));
  // WAL lets several upgrades append at once while readers read; FULL makes each commit durable,
  // so a "running" row outlives a power cut and is found interrupted afterwards.
  if (!exec("PRAGMA journal_mode = WAL", error) || !exec("PRAGMA synchronous = FULL", error))
    return unusable(error);
  if (!migrate_schema(db, error)) return unusable(error);
  readable = true;
  insert = Stmt(db,
                "INSERT INTO attempts (started_ms, board, usb_serial, port_path, node, image_kind, file_name,"
                " file_size, sha256, info_text, verdict, forced, path, result, version_before, owner_pid,"
                " owner_start, owner_boot) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13,"
                " 'running', ?14, ?15, ?16, ?17)");
  update = Stmt(db,
                "UPDATE attempts SET ended_ms = ?2, result = ?3, engine_result = ?4, version_after = ?5,"
                " verified = ?6, detail = ?7, verdict = coalesce(?8, verdict), forced = coalesce(?9, forced),"
                " path = coalesce(?10, path) WHERE id = ?1");
  if (!insert || !update) return unusable(sqlite3_errmsg(db));
  writable = true;
  mark_interrupted();
}

// Whose the file open read-only in `db` is. In WAL mode SQLite cannot read a file when it may not
// create the shared-memory index beside it; then it is read as it stands on disk (immutable),
// which misses only what a writer has not yet checkpointed.
bool HistoryStore::Impl::identify_read_only(FileIdentity& id, std::string& error) {
  if (!identify_file(db, id, error)) {
    sqlite3_close_v2(db);
    db = nullptr;
    std::string uri = "file:";
    for (char c : path) {
      if (c == '%' || c == '?' || c == '#') {
        char esc[4];
        std::snprintf(esc, sizeof esc, "%%%02X", static_cast<unsigned char>(c));
        uri += esc;
      } else {
        uri += c;
      }
    }
    uri += "?immutable=1";
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
      error = db ? sqlite3_errmsg(db) : "out of memory";
      return false;
    }
    if (!identify_file(db, id, error)) return false;
  }
  return true;
}

// A file this user may only read: readable, never written.
void HistoryStore::Impl::open_read_only() {
  std::string error;
  FileIdentity id;
  if (!identify_read_only(id, error)) return unusable(error);
  if (id.owner == FileOwner::Foreign) return unusable(foreign_message(id));
  if (id.version != kSchemaVersion)
    return unusable("is read-only and of schema version " + std::to_string(id.version) + ", not " +
                    std::to_string(kSchemaVersion));
  readable = true;
  open_message = path + ": the file is read-only";
}

// For a reader (kestrelctl history, the History dialog): the file is opened read-only and nothing
// in it changes, not its journal mode, schema or rows. A file not there yet reads as an empty
// history and is not created; an older schema is read as it is.
void HistoryStore::Impl::open_for_reading() {
  std::string error;
  if (path.empty()) return unusable("no path for the history database");
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return unusable(std::strerror(errno));
    empty = true;
  } else {
    if (!S_ISREG(st.st_mode)) return unusable(not_a_file(st));
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
      return unusable(db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    FileIdentity id;
    if (!identify_read_only(id, error)) return unusable(error);
    if (id.owner == FileOwner::Foreign) return unusable(foreign_message(id));
    if (id.version > kSchemaVersion)
      return unusable("its schema version " + std::to_string(id.version) + " is newer than this Kestrel knows (" +
                      std::to_string(kSchemaVersion) + ")");
    version = id.version;
    empty = id.owner == FileOwner::Empty || version == 0;
  }
  readable = true;
  open_message = path + ": opened for reading only";
}

// Rows left running by a process that is gone: the attempt ended with its process.
void HistoryStore::Impl::mark_interrupted() {
  std::string error;
  // Most opens find no running row, or only live ones: a read, without the write lock.
  {
    Stmt any(db, "SELECT owner_pid, owner_start, owner_boot FROM attempts WHERE result = 'running'");
    bool dead = false;
    while (!dead && any && sqlite3_step(any.get()) == SQLITE_ROW)
      dead = !owner_alive(owner_at(any, 0));
    if (!dead) return;
  }
  if (!exec("BEGIN IMMEDIATE", error)) return;
  Stmt running(db, "SELECT id, owner_pid, owner_start, owner_boot FROM attempts WHERE result = 'running'");
  Stmt mark(db, "UPDATE attempts SET result = 'interrupted', detail = ?2 WHERE id = ?1 AND result = 'running'");
  bool ok = running && mark;
  while (ok && sqlite3_step(running.get()) == SQLITE_ROW) {
    const ProcessOwner owner = owner_at(running, 1);
    if (owner_alive(owner)) continue;
    mark.integer(1, sqlite3_column_int64(running.get(), 0));
    mark.text(2, interrupted_detail(owner.pid));
    ok = mark.run();
  }
  running = Stmt();
  exec(ok ? "COMMIT" : "ROLLBACK", error);
}

HistoryStore::HistoryStore() : impl_(std::make_unique<Impl>()) { impl_->open_message = "the history database was not opened"; }
HistoryStore::HistoryStore(HistoryStore&&) noexcept = default;
HistoryStore& HistoryStore::operator=(HistoryStore&&) noexcept = default;
HistoryStore::~HistoryStore() = default;

HistoryStore HistoryStore::open(const std::string& path) {
  HistoryStore s;
  s.impl_->path = path;
  s.impl_->open_message.clear();
  s.impl_->open();
  return s;
}

HistoryStore HistoryStore::open_for_reading(const std::string& path) {
  HistoryStore s;
  s.impl_->path = path;
  s.impl_->open_message.clear();
  s.impl_->open_for_reading();
  return s;
}

bool HistoryStore::writable() const { return impl_ && impl_->writable; }
bool HistoryStore::readable() const { return impl_ && impl_->readable; }
const std::string& HistoryStore::open_message() const {
  static const std::string moved = "the history store was moved away";
  return impl_ ? impl_->open_message : moved;
}
const std::string& HistoryStore::path() const {
  static const std::string none;
  return impl_ ? impl_->path : none;
}

HistoryWrite HistoryStore::begin(const Attempt& a) {
  if (!writable()) return {false, 0, kNotWritten + open_message()};
  std::lock_guard<std::mutex> g(impl_->lock);
  Stmt& s = impl_->insert;
  const ProcessOwner owner = self_owner();
  s.integer(1, now_ms());
  s.text(2, a.card.board);
  s.text(3, a.card.usb_serial);
  s.text(4, a.card.port_path);
  s.text(5, a.card.node);
  s.text(6, image_kind_name(a.kind));
  s.text(7, a.file_name);
  s.integer(8, static_cast<int64_t>(a.file_size));
  s.text(9, a.sha256);
  s.text(10, a.info_text);
  s.text(11, a.verdict);
  s.integer(12, a.forced);
  s.text(13, transfer_path_name(a.path));
  s.text(14, a.version_before);
  s.integer(15, owner.pid);
  s.integer(16, static_cast<int64_t>(owner.start_ticks));
  s.text(17, owner.boot_id);
  if (!s.run()) return {false, 0, kNotWritten + impl_->path + ": " + sqlite3_errmsg(impl_->db)};
  return {true, sqlite3_last_insert_rowid(impl_->db), {}};
}

HistoryWrite HistoryStore::finish(int64_t id, const Outcome& o) {
  if (!writable()) return {false, id, kNotWritten + open_message()};
  if (id <= 0) return {false, id, std::string(kNotWritten) + "its start was not recorded"};
  if (o.result == Result::Running) return {false, id, std::string(kNotWritten) + "an attempt cannot end running"};
  std::lock_guard<std::mutex> g(impl_->lock);
  // The end need not wait for the disk: the row was made durable by begin, and an end lost to a
  // power cut leaves it running, which the next open reads as interrupted, never as a success.
  // That halves what recording adds to an upgrade.
  std::string ignored;
  impl_->exec("PRAGMA synchronous = NORMAL", ignored);
  struct Restore {
    Impl& i;
    ~Restore() {
      std::string e;
      i.exec("PRAGMA synchronous = FULL", e);
    }
  } restore{*impl_};
  Stmt& s = impl_->update;
  s.integer(1, id);
  s.integer(2, now_ms());
  s.text(3, result_name(o.result));
  s.maybe(4, o.engine_result);
  s.text(5, o.version_after);
  s.maybe(6, o.verified);
  s.text(7, o.detail);
  o.verdict ? s.text(8, *o.verdict) : s.null(8);
  s.maybe(9, o.forced);
  o.path ? s.text(10, transfer_path_name(*o.path)) : s.null(10);
  if (!s.run()) return {false, id, kNotWritten + impl_->path + ": " + sqlite3_errmsg(impl_->db)};
  if (sqlite3_changes(impl_->db) != 1)
    return {false, id, kNotWritten + impl_->path + ": no attempt " + std::to_string(id) + " in it"};
  return {true, id, {}};
}

HistoryRead HistoryStore::query(const Filter& f) const {
  HistoryRead out;
  if (!readable()) {
    out.message = kNotRead + open_message();
    return out;
  }
  if (impl_->empty) {
    out.ok = true;
    return out;
  }
  std::lock_guard<std::mutex> g(impl_->lock);
  Stmt s(impl_->db, select_sql(impl_->version).c_str());
  if (!s) {
    out.message = kNotRead + impl_->path + ": " + sqlite3_errmsg(impl_->db);
    return out;
  }
  s.text(1, f.card);
  s.integer(2, f.since_ms.value_or(INT64_MIN));
  s.integer(3, f.limit ? static_cast<int64_t>(f.limit) : -1);
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    ProcessOwner owner;
    Record r = read_row(s, owner);
    // A file this process could not mark (read-only) still tells the truth.
    if (r.result == Result::Running && !owner_alive(owner)) {
      r.result = Result::Interrupted;
      r.detail = interrupted_detail(r.pid);
    }
    out.records.push_back(std::move(r));
  }
  if (rc != SQLITE_DONE) {
    out.records.clear();
    out.message = kNotRead + impl_->path + ": " + sqlite3_errmsg(impl_->db);
    return out;
  }
  std::reverse(out.records.begin(), out.records.end());
  out.ok = true;
  return out;
}

}  // namespace kestrel::history
