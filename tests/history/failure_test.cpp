// Files the store cannot use answer with a message and never throw; an older schema is migrated.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>

#include "history_fixture.h"

namespace {

using namespace kestrel::history;
using kestrel::test::flash_attempt;
using kestrel::test::HistoryTest;

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// Everything the upgrade would call, on a store that cannot record: no throw, not ok, the path and
// the reason in every message.
void expect_unrecorded(const std::string& path, const std::string& reason) {
  HistoryStore store;
  EXPECT_NO_THROW(store = HistoryStore::open(path));
  EXPECT_FALSE(store.writable());
  EXPECT_TRUE(contains(store.open_message(), reason)) << store.open_message();
  HistoryWrite b, f;
  EXPECT_NO_THROW(b = store.begin(flash_attempt()));
  EXPECT_FALSE(b.ok);
  EXPECT_EQ(b.id, 0);
  EXPECT_EQ(b.message.rfind("the upgrade history could not be written: ", 0), 0u) << b.message;
  EXPECT_TRUE(contains(b.message, path)) << b.message;
  EXPECT_TRUE(contains(b.message, reason)) << b.message;
  Outcome o;
  o.result = Result::Ok;
  EXPECT_NO_THROW(f = store.finish(b.id, o));
  EXPECT_FALSE(f.ok);
  EXPECT_FALSE(f.message.empty());
}

TEST_F(HistoryTest, CorruptFileIsReportedNotThrown) {
  std::ofstream(db_path()) << std::string(8192, 'x');  // no SQLite header at all
  expect_unrecorded(db_path(), "not a database");
  const HistoryRead r = HistoryStore::open(db_path()).query();
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(contains(r.message, "could not be read")) << r.message;
}

TEST_F(HistoryTest, UnusablePathsAreReportedNotThrown) {
  std::ofstream(db_path("plain")) << "x";
  expect_unrecorded(dir_, "is a folder");
  expect_unrecorded(db_path("plain") + "/history.db", "cannot create the folder");
  expect_unrecorded("", "no path");
  // A store never opened (or moved from) answers the same way.
  HistoryStore never;
  EXPECT_FALSE(never.begin(flash_attempt()).ok);
  HistoryStore moved = std::move(never);
  EXPECT_NE(never.begin(flash_attempt()).message.find("moved"), std::string::npos);  // NOLINT(bugprone-use-after-move)
  EXPECT_FALSE(never.query().ok);
}

// A database file the user may not write (root may write anything, so the store is opened by a
// child that drops to nobody). It still reads; begin and finish say the file is read-only.
TEST_F(HistoryTest, ReadOnlyFileReadsButDoesNotRecord) {
  {
    HistoryStore store = HistoryStore::open(db_path());
    ASSERT_TRUE(store.begin(flash_attempt()).ok);
  }
  ASSERT_EQ(chmod(db_path().c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  const passwd* nobody = getpwnam("nobody");
  if (getuid() == 0 && !nobody) GTEST_SKIP() << "no user nobody to drop to";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    if (getuid() == 0 && (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)) _exit(90);
    HistoryStore store = HistoryStore::open(db_path());
    const HistoryWrite b = store.begin(flash_attempt());
    const HistoryRead r = store.query();
    const std::string report = std::string(store.readable() ? "R" : "-") + (b.ok ? "W" : "-") +
                               std::to_string(r.records.size()) + "|" + b.message;
    (void)!write(fds[1], report.data(), report.size());
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) report.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(report.substr(0, 4), "R-1|") << report;
  EXPECT_TRUE(contains(report, "read-only")) << report;
  EXPECT_TRUE(contains(report, db_path())) << report;
}

// The first schema, as its Kestrel wrote it: one ended row and one left running by a process of
// that version (no owner recorded).
constexpr const char* kVersion1 =
    "CREATE TABLE attempts (id INTEGER PRIMARY KEY, started_ms INTEGER NOT NULL, ended_ms INTEGER,"
    " board TEXT NOT NULL DEFAULT '', usb_serial TEXT NOT NULL DEFAULT '', port_path TEXT NOT NULL DEFAULT '',"
    " node TEXT NOT NULL DEFAULT '', image_kind TEXT NOT NULL, file_name TEXT NOT NULL, file_size INTEGER NOT NULL,"
    " sha256 TEXT NOT NULL DEFAULT '', info_text TEXT NOT NULL DEFAULT '', verdict TEXT NOT NULL DEFAULT '',"
    " forced INTEGER NOT NULL DEFAULT 0, path TEXT NOT NULL DEFAULT '', result TEXT NOT NULL,"
    " engine_result INTEGER, version_before TEXT NOT NULL DEFAULT '', version_after TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX attempts_started ON attempts(started_ms);"
    "INSERT INTO attempts VALUES (1, 1700000000000, 1700000060000, 'TB610M-1CH', 'SN1', '1-2', '/dev/hidraw1',"
    " 'firmware', 'a.img', 1024, 'ab12', 'TB610M-1CH:v2', 'ok', 0, 'flash-channel', 'OK!', 0, 'v1', 'v2');"
    "INSERT INTO attempts VALUES (2, 1700000100000, NULL, 'meadow', '', '3-1', '/dev/hidraw0',"
    " 'fpga', 'b.bit', 2048, 'cd34', '', '', 0, 'hid-download', 'running', NULL, 'm1', '');"
    "PRAGMA user_version = 1;";

TEST_F(HistoryTest, FirstVersionFileIsMigratedAndKeepsItsRows) {
  raw_sql(db_path(), kVersion1);
  HistoryStore store = HistoryStore::open(db_path());
  ASSERT_TRUE(store.writable()) << store.open_message();
  const HistoryRead r = store.query();
  ASSERT_TRUE(r.ok) << r.message;
  ASSERT_EQ(r.records.size(), 2u);
  const Record& done = r.records[0];
  EXPECT_EQ(done.attempt.card.board, "TB610M-1CH");
  EXPECT_EQ(done.attempt.card.port_path, "1-2");
  EXPECT_EQ(done.attempt.sha256, "ab12");
  EXPECT_EQ(done.attempt.path, TransferPath::FlashChannel);
  EXPECT_EQ(done.result, Result::Ok);
  EXPECT_EQ(done.engine_result, 0);
  EXPECT_EQ(done.version_after, "v2");
  EXPECT_FALSE(done.verified);  // not known in the first version
  EXPECT_EQ(r.records[1].result, Result::Interrupted);
  EXPECT_EQ(r.records[1].attempt.kind, ImageKind::Fpga);
  EXPECT_FALSE(r.records[1].ended_ms);

  // The file now has the current schema: a new attempt carries its verified end.
  const HistoryWrite b = store.begin(flash_attempt());
  Outcome o;
  o.result = Result::Ok;
  o.verified = true;
  ASSERT_TRUE(store.finish(b.id, o).ok);
  EXPECT_EQ(HistoryStore::open(db_path()).query().records.back().verified, true);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_path().c_str(), &db), SQLITE_OK);
  std::string error;
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 0), kSchemaVersion);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

TEST_F(HistoryTest, NewerSchemaIsLeftAlone) {
  raw_sql(db_path(), "CREATE TABLE attempts (id INTEGER PRIMARY KEY); PRAGMA user_version = 9;");
  expect_unrecorded(db_path(), "schema version 9 is newer than this Kestrel knows");
}

}  // namespace
