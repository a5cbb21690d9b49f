// The history database's schema, one step per version, kept in PRAGMA user_version.
#pragma once

#include <string>

struct sqlite3;

namespace kestrel::history {

// Brings the schema of `db` to kSchemaVersion inside one write transaction; a new file goes
// through every step. False with `error` when a step fails (the file is left as it was) or the
// file's version is newer than this build knows.
bool migrate_schema(sqlite3* db, std::string& error);

// The file's schema version; -1 with `error` when it cannot be read.
int schema_version(sqlite3* db, std::string& error);

}  // namespace kestrel::history
