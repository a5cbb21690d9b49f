// The history database's schema, one step per version, kept in PRAGMA user_version, and the
// mark that tells Kestrel's database from another program's SQLite file (PRAGMA application_id).
#pragma once

#include <cstdint>
#include <string>

struct sqlite3;

namespace kestrel::history {

// The application id Kestrel gives its database: "KsHi" (Kestrel history) read as a big-endian
// 32-bit number, as SQLite stores it at offset 68 of the file.
constexpr uint32_t kApplicationId = 0x4B734869;

// Whose a SQLite file is, told without writing to it.
enum class FileOwner {
  Empty,    // no table and no version: a file Kestrel may make its history in
  Kestrel,  // Kestrel's id; or, from an earlier Kestrel that set none, its one table and a version
  Foreign,  // anything else: another program's database, never changed
};

struct FileIdentity {
  FileOwner owner = FileOwner::Foreign;
  int version = 0;          // PRAGMA user_version
  uint32_t application_id = 0;
  std::string why;          // for Foreign: what gave it away, as a sentence part
};

// Reads the file's application id, schema version and tables. False with `error` when the file
// cannot be read (not a database, locked past the busy timeout).
bool identify_file(sqlite3* db, FileIdentity& out, std::string& error);

// Brings the schema of `db` to kSchemaVersion inside one write transaction; a new file goes
// through every step. False with `error` when a step fails (the file is left as it was) or the
// file's version is newer than this build knows. A file without Kestrel's application id gets it
// in the same transaction (a new file, or one an earlier Kestrel made before there was an id).
// Call it only on a file identify_file calls Empty or Kestrel.
bool migrate_schema(sqlite3* db, std::string& error);

// The file's schema version; -1 with `error` when it cannot be read.
int schema_version(sqlite3* db, std::string& error);

}  // namespace kestrel::history
