// A row whose process is gone reads "interrupted"; a row of a live process stays "running".
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>

#include "history/process_owner.h"
#include "history_fixture.h"

namespace {

using namespace kestrel::history;
using kestrel::test::flash_attempt;
using kestrel::test::HistoryTest;

Result only_result(const std::string& path) {
  const HistoryRead r = HistoryStore::open(path).query();
  EXPECT_EQ(r.records.size(), 1u) << r.message;
  return r.records.empty() ? Result::Failed : r.records[0].result;
}

// A child process begins an upgrade and is killed with SIGKILL before it ends it. While it runs
// another process sees its row running; once it is dead (even before it is reaped) the next
// open marks the row interrupted, for good.
TEST_F(HistoryTest, KilledUpgradeReadsInterruptedOnTheNextOpen) {
  int ready[2], hold[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(hold), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    close(hold[1]);
    HistoryStore store = HistoryStore::open(db_path());
    const HistoryWrite b = store.begin(flash_attempt());
    const char ok = b.ok ? '1' : '0';
    (void)!write(ready[1], &ok, 1);
    char c;
    (void)!read(hold[0], &c, 1);  // mid-transfer, until killed
    _exit(0);
  }
  close(ready[1]);
  close(hold[0]);
  char began = 0;
  ASSERT_EQ(read(ready[0], &began, 1), 1);
  ASSERT_EQ(began, '1');

  EXPECT_EQ(only_result(db_path()), Result::Running);  // its process is alive

  ASSERT_EQ(kill(child, SIGKILL), 0);
  // Not reaped yet: a zombie is no longer running the upgrade.
  for (int i = 0; i < 200; ++i) {
    std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
    std::string line;
    std::getline(stat, line);
    if (line.find(") Z") != std::string::npos) break;
    usleep(5000);
  }
  const HistoryRead r = HistoryStore::open(db_path()).query();
  ASSERT_EQ(r.records.size(), 1u);
  EXPECT_EQ(r.records[0].result, Result::Interrupted);
  EXPECT_EQ(r.records[0].pid, child);
  EXPECT_NE(r.records[0].detail.find(std::to_string(child)), std::string::npos) << r.records[0].detail;

  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_EQ(only_result(db_path()), Result::Interrupted);
  close(ready[0]);
  close(hold[1]);
}

// The owner recorded for a running row against this (live) process: only the exact process is
// alive; the same pid after a restart of the machine or a reused pid is not.
TEST_F(HistoryTest, OnlyTheExactLiveProcessKeepsItsRowRunning) {
  const ProcessOwner self = self_owner();
  ASSERT_EQ(self.pid, getpid());
  ASSERT_NE(self.start_ticks, 0u);
  struct Case {
    const char* name;
    int64_t pid;
    uint64_t start;
    std::string boot;
    Result want;
  } cases[] = {
      {"this process", self.pid, self.start_ticks, self.boot_id, Result::Running},
      {"pid reused by a later process", self.pid, self.start_ticks + 1, self.boot_id, Result::Interrupted},
      {"before a power cut or reboot", self.pid, self.start_ticks, "00000000-0000-0000-0000-000000000000",
       Result::Interrupted},
      {"no owner recorded", 0, 0, "", Result::Interrupted},
  };
  for (const Case& c : cases) {
    const std::string path = db_path(std::string(c.name) + ".db");
    HistoryStore::open(path);  // the current schema
    raw_sql(path, "INSERT INTO attempts (started_ms, image_kind, file_name, file_size, result, owner_pid,"
                  " owner_start, owner_boot) VALUES (1, 'firmware', 'f.img', 1, 'running', " +
                      std::to_string(c.pid) + ", " + std::to_string(c.start) + ", '" + c.boot + "')");
    EXPECT_EQ(only_result(path), c.want) << c.name;
  }
  EXPECT_TRUE(owner_alive(self));
}

}  // namespace
