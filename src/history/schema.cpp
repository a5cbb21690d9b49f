#include "history/schema.h"

#include <sqlite3.h>

#include "history/history_store.h"

namespace kestrel::history {

namespace {

// Step n takes a file from version n to n + 1. Never edit a step that has shipped: add one.
constexpr const char* kSteps[] = {
    // 0 -> 1: one row per attempt.
    "CREATE TABLE attempts ("
    " id INTEGER PRIMARY KEY,"
    " started_ms INTEGER NOT NULL,"
    " ended_ms INTEGER,"
    " board TEXT NOT NULL DEFAULT '',"
    " usb_serial TEXT NOT NULL DEFAULT '',"
    " port_path TEXT NOT NULL DEFAULT '',"
    " node TEXT NOT NULL DEFAULT '',"
    " image_kind TEXT NOT NULL,"
    " file_name TEXT NOT NULL,"
    " file_size INTEGER NOT NULL,"
    " sha256 TEXT NOT NULL DEFAULT '',"
    " info_text TEXT NOT NULL DEFAULT '',"
    " verdict TEXT NOT NULL DEFAULT '',"
    " forced INTEGER NOT NULL DEFAULT 0,"
    " path TEXT NOT NULL DEFAULT '',"
    " result TEXT NOT NULL,"
    " engine_result INTEGER,"
    " version_before TEXT NOT NULL DEFAULT '',"
    " version_after TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX attempts_started ON attempts(started_ms);",
    // 1 -> 2: whether the card was seen running the image, a free-text detail, and the process
    // that owns a running row, so that a dead one's row can be marked interrupted. Rows of the
    // first version have no owner: a running one among them is taken for interrupted.
    "ALTER TABLE attempts ADD COLUMN verified INTEGER;"
    "ALTER TABLE attempts ADD COLUMN detail TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE attempts ADD COLUMN owner_pid INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE attempts ADD COLUMN owner_start INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE attempts ADD COLUMN owner_boot TEXT NOT NULL DEFAULT '';"
    "CREATE INDEX attempts_running ON attempts(result) WHERE result = 'running';",
};
static_assert(std::size(kSteps) == kSchemaVersion);

bool exec(sqlite3* db, const char* sql, std::string& error) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  error = msg ? msg : sqlite3_errmsg(db);
  sqlite3_free(msg);
  return false;
}

}  // namespace

int schema_version(sqlite3* db, std::string& error) {
  sqlite3_stmt* st = nullptr;
  int version = -1;
  if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    version = sqlite3_column_int(st, 0);
  else
    error = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  return version;
}

bool migrate_schema(sqlite3* db, std::string& error) {
  int version = schema_version(db, error);
  if (version < 0) return false;
  if (version == kSchemaVersion) return true;
  // Another process may be migrating the same file: take the write lock, then look again.
  if (!exec(db, "BEGIN IMMEDIATE", error)) return false;
  version = schema_version(db, error);
  bool ok = version >= 0;
  if (ok && version > kSchemaVersion) {
    error = "its schema version " + std::to_string(version) + " is newer than this Kestrel knows (" +
            std::to_string(kSchemaVersion) + ")";
    ok = false;
  }
  for (int step = version; ok && step < kSchemaVersion; ++step) ok = exec(db, kSteps[step], error);
  if (ok && version < kSchemaVersion)
    ok = exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str(), error);
  if (ok) return exec(db, "COMMIT", error);
  std::string ignored;
  exec(db, "ROLLBACK", ignored);
  return false;
}

}  // namespace kestrel::history
