// kestrelctl history as a process over a database the store wrote: JSON, CSV, the filters, where
// the database is found, and the errors.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "history/history_store.h"
#include "history_fixture.h"
#include "support/kestrelctl_run.h"
#include "support/kestrelctl_terminal.h"

namespace {

using namespace kestrel::history;
using kestrel::test::flash_attempt;
using kestrel::test::hid_attempt;
using kestrel::test::json_of;
using kestrel::test::run_kestrelctl;

class HistoryCli : public kestrel::test::HistoryTest {
 protected:
  // Three attempts: a verified flash upgrade, a failed HID download, one still running.
  void SetUp() override {
    HistoryTest::SetUp();
    HistoryStore store = HistoryStore::open(db_path());
    Attempt a = flash_attempt();
    a.info_text = "TB610M-1CH:v2, \"beta\"\r\nbuild 2024-12-25 10:01:06 GCC:12";
    Outcome ok;
    ok.result = Result::Ok;
    ok.engine_result = 0;
    ok.version_after = "TB610M-1CH:v2";
    ok.verified = true;
    ASSERT_TRUE(store.finish(store.begin(a).id, ok).ok);
    Outcome failed;
    failed.result = Result::Failed;
    failed.engine_result = -2;
    ASSERT_TRUE(store.finish(store.begin(hid_attempt()).id, failed).ok);
    ASSERT_TRUE(store.begin(flash_attempt()).ok);
  }
  std::string db() const { return "--history-db " + db_path() + " "; }
};

TEST_F(HistoryCli, JsonCarriesEveryFieldOfEveryAttempt) {
  const auto r = run_kestrelctl(db() + "--json history");
  ASSERT_EQ(r.code, 0) << r.out;
  const auto j = json_of(r);
  EXPECT_EQ(j["database"], db_path());
  ASSERT_EQ(j["attempts"].size(), 3u);
  const auto& first = j["attempts"][0];
  for (const char* key : {"id", "started", "ended", "board", "usb_serial", "port_path", "node", "image_kind", "file",
                          "size", "sha256", "info", "verdict", "forced", "path", "result", "engine_result",
                          "version_before", "version_after", "verified", "detail"})
    EXPECT_TRUE(first.contains(key)) << key;
  EXPECT_EQ(first["board"], "TB610M-1CH");
  EXPECT_EQ(first["port_path"], "1-2.3");
  EXPECT_EQ(first["path"], "flash-channel");
  EXPECT_EQ(first["result"], "OK!");
  EXPECT_EQ(first["verified"], true);
  EXPECT_EQ(first["sha256"], flash_attempt().sha256);
  EXPECT_EQ(first["started"].get<std::string>().back(), 'Z');
  const auto& failed = j["attempts"][1];
  EXPECT_EQ(failed["path"], "hid-download");
  EXPECT_EQ(failed["image_kind"], "fpga");
  EXPECT_EQ(failed["result"], "FAILED!");
  EXPECT_EQ(failed["engine_result"], -2);
  EXPECT_TRUE(failed["verified"].is_null());
  // This test's own process began the third and is alive: still running.
  EXPECT_EQ(j["attempts"][2]["result"], "running");
  EXPECT_TRUE(j["attempts"][2]["ended"].is_null());
}

TEST_F(HistoryCli, CsvQuotesWhatNeedsIt) {
  const auto r = run_kestrelctl(db() + "history --csv");
  ASSERT_EQ(r.code, 0);
  // Records end in CRLF; the info text's own line break sits inside quotes.
  std::vector<std::string> records;
  std::string cur;
  bool quoted = false;
  for (size_t i = 0; i < r.out.size(); ++i) {
    const char c = r.out[i];
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '\r' && i + 1 < r.out.size() && r.out[i + 1] == '\n') {
      records.push_back(cur);
      cur.clear();
      ++i;
      continue;
    }
    cur += c;
  }
  ASSERT_EQ(records.size(), 4u) << r.out;
  EXPECT_EQ(records[0].rfind("id,started,ended,board,usb_serial,port_path,node,image_kind,file,size,sha256,info,", 0), 0u);
  EXPECT_NE(records[1].find(",\"TB610M-1CH:v2, \"\"beta\"\"\r\nbuild 2024-12-25 10:01:06 GCC:12\","), std::string::npos)
      << records[1];
  EXPECT_NE(records[1].find(",OK!,0,"), std::string::npos) << records[1];
  EXPECT_NE(records[2].find(",FAILED!,-2,"), std::string::npos) << records[2];
}

TEST_F(HistoryCli, CardAndSinceFilter) {
  struct Case {
    std::string args;
    size_t rows;
  } cases[] = {
      {"history --card 1-2.3 --json", 2},       // options after the subcommand
      {"--card meadow --json history", 1},     // the global --card
      {"--json history --card /dev/hidraw0", 1},
      {"--json history --card SN0042 --since 2000-01-01", 2},
      {"--json history --since 10m", 3},
      {"--json history --since \"2000-01-01 12:00\"", 3},
      {"--json history --since 2999-01-01T00:00:00Z", 0},
      {"--json history --card nosuchcard", 0},
  };
  for (const Case& c : cases) {
    const auto r = run_kestrelctl(db() + c.args);
    EXPECT_EQ(r.code, 0) << c.args;
    EXPECT_EQ(json_of(r)["attempts"].size(), c.rows) << c.args;
  }
}

TEST_F(HistoryCli, WhereTheDatabaseIsFound) {
  // KESTREL_HISTORY when no option is given; the option wins over it.
  setenv("KESTREL_HISTORY", db_path().c_str(), 1);
  auto r = run_kestrelctl("--json history");
  EXPECT_EQ(json_of(r)["database"], db_path());
  EXPECT_EQ(json_of(r)["attempts"].size(), 3u);
  const std::string missing = db_path("none/history.db");
  r = run_kestrelctl("--history-db " + missing + " --json history");
  unsetenv("KESTREL_HISTORY");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(json_of(r)["database"], missing);
  EXPECT_TRUE(json_of(r)["attempts"].empty());
  struct stat st {};
  EXPECT_NE(stat(missing.c_str(), &st), 0) << "reading must not create the database";
  // The XDG state folder otherwise.
  const std::string xdg = "env -u KESTREL_HISTORY XDG_STATE_HOME=" + dir_ + " ";
  const std::string cmd = xdg + KESTRELCTL + " --json history";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  EXPECT_EQ(nlohmann::json::parse(out, nullptr, false)["database"], dir_ + "/kestrel/history.db") << out;
}

TEST_F(HistoryCli, ErrorsAreExitCodesWithAMessage) {
  std::ofstream(db_path("bad.db")) << std::string(4096, 'x');
  struct Case {
    std::string args;
    int code;
    const char* says;
  } cases[] = {
      {db() + "--json history --since yesterday", 2, "--since takes"},
      {db() + "--json history --csv", 2, "exclude each other"},
      {"--history-db " + db_path("bad.db") + " --json history", 1, "not a database"},
      {"--history-db " + dir_ + " --json history", 1, "is a folder"},
  };
  for (const Case& c : cases) {
    const auto r = run_kestrelctl(c.args);
    EXPECT_EQ(r.code, c.code) << c.args;
    const auto j = json_of(r);
    EXPECT_EQ(j["ok"], false);
    EXPECT_NE(j["error"]["message"].get<std::string>().find(c.says), std::string::npos) << j.dump();
  }
}

// history reads and changes nothing: Kestrel's file keeps its bytes and journal mode; another
// program's SQLite file is refused (exit 1, a message that says whose it is) and kept as it was,
// in whichever journal mode it was; a path that is no regular file is refused for what it is.
TEST_F(HistoryCli, ReadsWithoutChangingTheFile) {
  const std::string foreign = db_path("other.db"), foreign_wal = db_path("other-wal.db");
  raw_sql(foreign, "CREATE TABLE contacts (name TEXT); INSERT INTO contacts VALUES ('a'); PRAGMA user_version = 5;");
  raw_sql(foreign_wal, "PRAGMA journal_mode = WAL; CREATE TABLE contacts (name TEXT);");
  struct Case {
    std::string path;
    int code;
    std::string journal;
  } cases[] = {{db_path(), 0, "wal"}, {foreign, 1, "delete"}, {foreign_wal, 1, "wal"}};
  for (const Case& c : cases) {
    const std::string before = file_bytes(c.path);
    ASSERT_EQ(pragma_of(c.path, "journal_mode"), c.journal);
    const auto r = run_kestrelctl("--history-db " + c.path + " --json history");
    EXPECT_EQ(r.code, c.code) << c.path << r.out;
    if (c.code != 0) {
      EXPECT_NE(json_of(r)["error"]["message"].get<std::string>().find("another program's SQLite database"),
                std::string::npos)
          << r.out;
    }
    EXPECT_TRUE(file_bytes(c.path) == before) << c.path << ": the file changed";
    EXPECT_EQ(pragma_of(c.path, "journal_mode"), c.journal) << c.path;
  }
  EXPECT_EQ(pragma_of(foreign, "user_version"), "5");
  const std::string fifo = db_path("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& [path, says] : {std::pair<std::string, std::string>{fifo, "is a FIFO"}, {"/dev/null", "is a character device"}}) {
    const auto r = run_kestrelctl("--history-db " + path + " --json history");
    EXPECT_EQ(r.code, 1) << path;
    EXPECT_NE(json_of(r)["error"]["message"].get<std::string>().find(says), std::string::npos) << r.out;
  }
}

// Texts from cards and image files: a spreadsheet shows a formula-like cell instead of running
// it, a terminal gets no control character, and JSON (and CSV into a file) keeps every byte.
TEST_F(HistoryCli, HostileTextsAreDefused) {
  const std::string path = db_path("hostile.db");
  {
    HistoryStore store = HistoryStore::open(path);
    Attempt a = flash_attempt();
    a.card.usb_serial = "SN\x1b[2J";
    a.info_text = "=HYPERLINK(\"http://x\")";
    a.version_before = "-v1\x1b]0;owned\x07";
    a.file_name = "@list.img";
    Outcome o;
    o.result = Result::Failed;
    o.engine_result = -2;
    o.version_after = "+v2\xc2\x9b" "2J";  // CSI as a UTF-8 C1 control
    o.detail = "card said\rOK!";
    ASSERT_TRUE(store.finish(store.begin(a).id, o).ok);
  }
  const std::string db = "--history-db " + path + " ";
  auto control_bytes = [](const std::string& text) {
    std::string found;
    for (size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      // A line's end: LF, after CRs (the terminal itself turns LF into CR LF).
      const bool line_end = c == '\n' || (c == '\r' && text.find_first_not_of('\r', i) != std::string::npos &&
                                           text[text.find_first_not_of('\r', i)] == '\n');
      if ((c < 0x20 && !line_end) || c == 0x7F || (c == 0xC2 && i + 1 < text.size() && (text[i + 1] & 0xE0) == 0x80))
        found += std::to_string(c) + " ";
    }
    return found;
  };

  const auto lines = run_kestrelctl(db + "history");
  ASSERT_EQ(lines.code, 0) << lines.out;
  EXPECT_EQ(control_bytes(lines.out), "") << lines.out;
  for (const char* shown : {"SN?[2J", "-v1?]0;owned? -> +v2?2J", "card said?OK!"})
    EXPECT_NE(lines.out.find(shown), std::string::npos) << shown << "\n" << lines.out;

  const auto json = run_kestrelctl(db + "--json history");
  const auto doc = json_of(json);
  const auto& row = doc["attempts"][0];
  EXPECT_EQ(row["usb_serial"], "SN\x1b[2J");
  EXPECT_EQ(row["version_before"], "-v1\x1b]0;owned\x07");
  EXPECT_EQ(row["info"], "=HYPERLINK(\"http://x\")");
  EXPECT_EQ(row["detail"], "card said\rOK!");

  const auto csv = run_kestrelctl(db + "history --csv");
  ASSERT_EQ(csv.code, 0);
  for (const char* cell : {",\"'=HYPERLINK(\"\"http://x\"\")\",", ",'@list.img,", ",'-v1\x1b]0;owned\x07,",
                           ",'+v2\xc2\x9b" "2J,", ",SN\x1b[2J,", ",FAILED!,-2,"})
    EXPECT_NE(csv.out.find(cell), std::string::npos) << cell << "\n" << csv.out;

  const auto tty = kestrel::test::run_on_terminal(db + "history --csv", "");
  EXPECT_EQ(tty.code, 0) << tty.out;
  EXPECT_EQ(control_bytes(tty.out), "") << tty.out;
  EXPECT_NE(tty.out.find(",'-v1?]0;owned?,"), std::string::npos) << tty.out;
}

}  // namespace
