// A fresh folder per test for history databases, and attempts as the upgrade would describe them.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "history/history_store.h"

namespace kestrel::test {

class HistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "/history_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string db_path(const std::string& name = "history.db") const { return dir_ + "/" + name; }

  // Runs `sql` on the file directly, as another program (or an older Kestrel) would.
  static void raw_sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    const std::string msg = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << msg;
  }

  // The file's bytes, to show that reading it changed none.
  static std::string file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  // The text answer of a pragma ("wal", "delete", a number), read through a read-only connection.
  static std::string pragma_of(const std::string& path, const std::string& pragma) {
    sqlite3* db = nullptr;
    std::string value = "<unreadable>";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(db, ("PRAGMA " + pragma).c_str(), -1, &st, nullptr) == SQLITE_OK &&
          sqlite3_step(st) == SQLITE_ROW)
        value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return value;
  }

  std::string dir_;
};

// A USB-controller image on the flash channel of a TB610M-1CH card, every field set.
inline history::Attempt flash_attempt() {
  history::Attempt a;
  a.card = {"TB610M-1CH", "SN0042", "1-2.3", "/dev/hidraw3"};
  a.kind = history::ImageKind::Firmware;
  a.file_name = "/srv/images/TB610M-1CH_v2.img";
  const std::string bytes = "CY...key-TB610M-1CH:v2 build 2024-12-25 10:01:06 GCC:12";
  a.file_size = bytes.size();
  a.sha256 = history::sha256_hex(bytes.data(), bytes.size());
  a.info_text = "TB610M-1CH:v2 build 2024-12-25 10:01:06 GCC:12";
  a.verdict = " 固件信息与目标板适合, 可以升级";
  a.forced = false;
  a.path = history::TransferPath::FlashChannel;
  a.version_before = "TB610M-1CH:v1 build 2023-01-01 00:00:00";
  return a;
}

// An FPGA bitstream through the HID download of a meadow card: no info text, no verdict.
inline history::Attempt hid_attempt() {
  history::Attempt a;
  a.card = {"meadow", "", "3-1", "/dev/hidraw0"};
  a.kind = history::ImageKind::Fpga;
  a.file_name = "logic.bit";
  a.file_size = 3;
  a.sha256 = history::sha256_hex("bit", 3);
  a.path = history::TransferPath::HidDownload;
  a.version_before = "meadow 1.0";
  return a;
}

}  // namespace kestrel::test
