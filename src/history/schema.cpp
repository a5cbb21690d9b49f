#include "history/schema.h"

#include <sqlite3.h>

#include <cstdio>

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

// The one integer a pragma answers; false with `error` when it cannot be read.
bool pragma_integer(sqlite3* db, const char* sql, int64_t& value, std::string& error) {
  sqlite3_stmt* st = nullptr;
  const bool ok = sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW;
  if (ok)
    value = sqlite3_column_int64(st, 0);
  else
    error = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  return ok;
}

// The file's application id (stored as a signed 32-bit number).
bool application_id(sqlite3* db, uint32_t& id, std::string& error) {
  int64_t v = 0;
  if (!pragma_integer(db, "PRAGMA application_id", v, error)) return false;
  id = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

bool identify_file(sqlite3* db, FileIdentity& out, std::string& error) {
  if (!application_id(db, out.application_id, error)) return false;
  const int version = schema_version(db, error);
  if (version < 0) return false;
  out.version = version;
  // The tables in it, SQLite's own left out.
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'",
                         -1, &st, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return false;
  }
  std::string tables;
  bool attempts = false;
  size_t count = 0;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    const std::string n = name ? name : "";
    attempts = attempts || n == "attempts";
    ++count;
    if (count <= 3) tables += (tables.empty() ? "" : ", ") + n;
  }
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) {
    error = sqlite3_errmsg(db);
    return false;
  }
  if (count > 3) tables += ", ...";

  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", out.application_id);
  if (out.application_id == kApplicationId) {
    out.owner = FileOwner::Kestrel;
  } else if (out.application_id != 0) {
    out.owner = FileOwner::Foreign;
    out.why = std::string("its application id is ") + hex;
  } else if (count == 0 && version == 0) {
    out.owner = FileOwner::Empty;
  } else if (attempts && count == 1 && version > 0) {
    // Kestrel before the application id made this one table and counted its version from 1.
    out.owner = FileOwner::Kestrel;
  } else {
    out.owner = FileOwner::Foreign;
    out.why = count ? "it holds tables Kestrel never makes (" + tables + ")"
                    : "it has schema version " + std::to_string(version) + " and no table";
  }
  return true;
}

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
  uint32_t id = 0;
  if (!application_id(db, id, error)) return false;
  if (version == kSchemaVersion && id == kApplicationId) return true;
  // Another process may be migrating the same file: take the write lock, then look again.
  if (!exec(db, "BEGIN IMMEDIATE", error)) return false;
  version = schema_version(db, error);
  bool ok = version >= 0 && application_id(db, id, error);
  if (ok && version > kSchemaVersion) {
    error = "its schema version " + std::to_string(version) + " is newer than this Kestrel knows (" +
            std::to_string(kSchemaVersion) + ")";
    ok = false;
  }
  for (int step = version; ok && step < kSchemaVersion; ++step) ok = exec(db, kSteps[step], error);
  if (ok && version < kSchemaVersion)
    ok = exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str(), error);
  if (ok && id != kApplicationId)
    ok = exec(db, ("PRAGMA application_id = " + std::to_string(static_cast<int32_t>(kApplicationId))).c_str(), error);
  if (ok) return exec(db, "COMMIT", error);
  std::string ignored;
  exec(db, "ROLLBACK", ignored);
  return false;
}

}  // namespace kestrel::history
