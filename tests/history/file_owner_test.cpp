// Whose the database file is: another program's SQLite file is refused and left byte for byte as
// it was, by the writer and the reader; a reader changes nothing in Kestrel's own file either;
// Kestrel's file carries its application id, and one an earlier Kestrel made without it keeps
// working and gets it on the next write. Only a regular file is a database.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "history/schema.h"
#include "history_fixture.h"

namespace {

using namespace kestrel::history;
using kestrel::test::flash_attempt;
using kestrel::test::HistoryTest;

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

const std::string kOurId = std::to_string(kApplicationId);

struct ForeignCase {
  const char* name;
  const char* sql;
  const char* journal;  // the journal mode the file keeps
};

class ForeignFile : public HistoryTest, public ::testing::WithParamInterface<ForeignCase> {};

TEST_P(ForeignFile, IsRefusedAndLeftAsItWas) {
  const ForeignCase c = GetParam();
  const std::string path = db_path();
  raw_sql(path, c.sql);
  const std::string before = file_bytes(path);
  const std::string version = pragma_of(path, "user_version");
  const std::string id = pragma_of(path, "application_id");
  ASSERT_EQ(pragma_of(path, "journal_mode"), c.journal);

  const HistoryStore reader = HistoryStore::open_for_reading(path);
  EXPECT_FALSE(reader.readable());
  const HistoryRead r = reader.query();
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(contains(r.message, "another program's SQLite database")) << r.message;
  EXPECT_TRUE(contains(r.message, path)) << r.message;

  HistoryStore writer = HistoryStore::open(path);
  EXPECT_FALSE(writer.writable());
  EXPECT_FALSE(writer.readable());
  EXPECT_TRUE(contains(writer.open_message(), "another program's SQLite database")) << writer.open_message();
  EXPECT_FALSE(writer.begin(flash_attempt()).ok);

  EXPECT_TRUE(file_bytes(path) == before) << "the file changed";
  EXPECT_EQ(pragma_of(path, "journal_mode"), c.journal);
  EXPECT_EQ(pragma_of(path, "user_version"), version);
  EXPECT_EQ(pragma_of(path, "application_id"), id);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ForeignFile,
    ::testing::Values(
        ForeignCase{"OtherTables", "CREATE TABLE bookmarks (url TEXT); INSERT INTO bookmarks VALUES ('x');", "delete"},
        ForeignCase{"OtherTablesInWal", "PRAGMA journal_mode = WAL; CREATE TABLE notes (t TEXT); PRAGMA user_version = 4;",
                    "wal"},
        // Another program's id, even with a table named like Kestrel's.
        ForeignCase{"OtherApplicationId",
                    "CREATE TABLE attempts (id INTEGER PRIMARY KEY); PRAGMA user_version = 2; PRAGMA application_id = 1179402567;",
                    "delete"},
        // Kestrel's table beside another program's: not a file an earlier Kestrel made.
        ForeignCase{"AttemptsAmongOthers", "CREATE TABLE attempts (id INTEGER); CREATE TABLE other (x); PRAGMA user_version = 1;",
                    "delete"},
        ForeignCase{"VersionButNoTable", "PRAGMA user_version = 7;", "delete"}),
    [](const auto& info) { return std::string(info.param.name); });

// A reader over Kestrel's own file: the rows come back (a dead process's running row as
// interrupted), and the file's bytes, journal mode and that row stay as they were.
TEST_F(HistoryTest, ReadingChangesNothingInKestrelsFile) {
  const std::string path = db_path();
  {
    HistoryStore store = HistoryStore::open(path);
    Outcome ok;
    ok.result = Result::Ok;
    ASSERT_TRUE(store.finish(store.begin(flash_attempt()).id, ok).ok);
  }
  raw_sql(path, "INSERT INTO attempts (started_ms, image_kind, file_name, file_size, result, owner_pid) VALUES"
                " (2, 'firmware', 'f.img', 1, 'running', 0)");
  const std::string before = file_bytes(path);
  ASSERT_EQ(pragma_of(path, "journal_mode"), "wal");

  const HistoryStore reader = HistoryStore::open_for_reading(path);
  EXPECT_TRUE(reader.readable()) << reader.open_message();
  EXPECT_FALSE(reader.writable());
  const HistoryRead r = reader.query();
  ASSERT_TRUE(r.ok) << r.message;
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_EQ(r.records[0].result, Result::Interrupted);  // started in 1970, by no process
  EXPECT_EQ(r.records[1].result, Result::Ok);

  EXPECT_TRUE(file_bytes(path) == before) << "the file changed";
  EXPECT_EQ(pragma_of(path, "journal_mode"), "wal");
  EXPECT_EQ(pragma_of(path, "application_id"), kOurId);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM attempts WHERE result = 'running'", -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 0), 1) << "the reader marked the row";
  sqlite3_finalize(st);
  sqlite3_close(db);
}

// A file an earlier Kestrel made (its table and version, no application id), of either schema:
// the reader reads it as it is; the next writer migrates it and gives it the id. A new file gets
// the id when Kestrel creates it.
TEST_F(HistoryTest, EarlierKestrelFileReadsAndGetsTheIdOnTheNextWrite) {
  const std::string v1 = db_path("v1.db"), v2 = db_path("v2.db"), fresh = db_path("new.db");
  raw_sql(v1,
          "CREATE TABLE attempts (id INTEGER PRIMARY KEY, started_ms INTEGER NOT NULL, ended_ms INTEGER,"
          " board TEXT NOT NULL DEFAULT '', usb_serial TEXT NOT NULL DEFAULT '', port_path TEXT NOT NULL DEFAULT '',"
          " node TEXT NOT NULL DEFAULT '', image_kind TEXT NOT NULL, file_name TEXT NOT NULL, file_size INTEGER NOT NULL,"
          " sha256 TEXT NOT NULL DEFAULT '', info_text TEXT NOT NULL DEFAULT '', verdict TEXT NOT NULL DEFAULT '',"
          " forced INTEGER NOT NULL DEFAULT 0, path TEXT NOT NULL DEFAULT '', result TEXT NOT NULL,"
          " engine_result INTEGER, version_before TEXT NOT NULL DEFAULT '', version_after TEXT NOT NULL DEFAULT '');"
          "CREATE INDEX attempts_started ON attempts(started_ms);"
          "INSERT INTO attempts (started_ms, board, image_kind, file_name, file_size, result) VALUES"
          " (1700000000000, 'TB610M-1CH', 'firmware', 'a.img', 1024, 'OK!');"
          "PRAGMA user_version = 1;");
  {
    HistoryStore store = HistoryStore::open(fresh);
    ASSERT_TRUE(store.begin(flash_attempt()).ok);
  }
  EXPECT_EQ(pragma_of(fresh, "application_id"), kOurId);
  std::filesystem::copy_file(fresh, v2, std::filesystem::copy_options::overwrite_existing);
  raw_sql(v2, "PRAGMA application_id = 0");  // as Kestrel wrote it before there was an id

  for (const std::string& path : {v1, v2}) {
    const std::string before = file_bytes(path);
    const HistoryRead r = HistoryStore::open_for_reading(path).query();
    ASSERT_TRUE(r.ok) << path << ": " << r.message;
    ASSERT_EQ(r.records.size(), 1u) << path;
    EXPECT_FALSE(r.records[0].verified) << path;
    EXPECT_TRUE(file_bytes(path) == before) << path << ": the file changed";
    EXPECT_EQ(pragma_of(path, "application_id"), "0") << path;

    HistoryStore writer = HistoryStore::open(path);
    ASSERT_TRUE(writer.writable()) << writer.open_message();
    EXPECT_TRUE(writer.begin(flash_attempt()).ok);
    EXPECT_EQ(pragma_of(path, "application_id"), kOurId) << path;
    EXPECT_EQ(pragma_of(path, "user_version"), std::to_string(kSchemaVersion)) << path;
    EXPECT_EQ(writer.query().records.size(), 2u) << path;
  }
}

// A reader neither creates a file that is not there nor reads an empty one as an error.
TEST_F(HistoryTest, ReaderOfAMissingOrEmptyFile) {
  const std::string missing = db_path("nothing/history.db");
  const HistoryRead none = HistoryStore::open_for_reading(missing).query();
  EXPECT_TRUE(none.ok) << none.message;
  EXPECT_TRUE(none.records.empty());
  EXPECT_FALSE(std::filesystem::exists(db_path("nothing")));

  const std::string empty = db_path("empty.db");
  std::ofstream(empty).close();
  const HistoryRead zero = HistoryStore::open_for_reading(empty).query();
  EXPECT_TRUE(zero.ok) << zero.message;
  EXPECT_TRUE(zero.records.empty());
  EXPECT_EQ(file_bytes(empty), "");
}

// Only a regular file is a database: a folder, a FIFO or a device is refused with what it is, by
// the writer and the reader, and nothing is opened on it (a FIFO would block the open).
TEST_F(HistoryTest, OnlyARegularFileIsADatabase) {
  const std::string fifo = db_path("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    const char* says;
  } cases[] = {{dir_, "is a folder"}, {fifo, "is a FIFO"}, {"/dev/null", "is a character device"}};
  for (const Case& c : cases) {
    HistoryStore writer = HistoryStore::open(c.path);
    EXPECT_FALSE(writer.writable()) << c.path;
    EXPECT_TRUE(contains(writer.open_message(), c.says)) << writer.open_message();
    EXPECT_TRUE(contains(writer.begin(flash_attempt()).message, c.says)) << c.path;
    const HistoryRead r = HistoryStore::open_for_reading(c.path).query();
    EXPECT_FALSE(r.ok) << c.path;
    EXPECT_TRUE(contains(r.message, c.says)) << r.message;
  }
}

}  // namespace
