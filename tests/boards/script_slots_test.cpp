// The script scan in a temporary folder: which files fill which slots, the display names, the
// entries that are skipped, and the start-up search beside the program.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "boards/script_slots.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;

class ScriptScan : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "/qzscp_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    dir_ = root_ / "qzscp";
    fs::create_directories(dir_);
  }
  void TearDown() override {
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(root_);
  }
  void file(const std::string& name, const fs::path& in = {}) {
    std::ofstream(((in.empty() ? dir_ : in) / name).string()) << "echo " << name << "\n";
  }
  std::vector<std::string> names() const { return script_menu_names(slots_); }

  fs::path root_, dir_;
  ScriptSlots slots_;
};

TEST_F(ScriptScan, NumbersRunWithoutAGap) {
  file("0-a.sh");
  file("1-b.sh");
  file("3-d.sh");
  EXPECT_TRUE(script_scan(slots_, dir_.string()));
  EXPECT_EQ(names(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(slots_.slot(3), nullptr);
  EXPECT_EQ(slots_.slot(1)->path, (dir_ / "1-b.sh").string());
  EXPECT_EQ(slots_.slot(1)->index, 1);
  EXPECT_EQ(script_menu_label(0, names()[0]), "0 a");
  EXPECT_EQ(script_menu_label(1, names()[1]), "1 b");
}

TEST_F(ScriptScan, SlotTwelveOnlyAfterElevenBeforeIt) {
  file("12-capture test.sh");
  for (int n = 0; n < 11; ++n) file(std::to_string(n) + "-s" + std::to_string(n) + ".sh");
  script_scan(slots_, dir_.string());
  EXPECT_EQ(names().size(), 11u);
  EXPECT_EQ(slots_.slot(12), nullptr);

  file("11-s11.sh");
  ScriptSlots again;
  script_scan(again, dir_.string());
  ASSERT_NE(again.slot(12), nullptr);
  EXPECT_STREQ(again.slot(12)->name, "capture test");
  EXPECT_EQ(script_menu_names(again).size(), 13u);
}

TEST_F(ScriptScan, OtherNamesDoNotMatch) {
  file("00-a.sh");   // a leading zero
  file("0-a.txt");
  file("0a.sh");
  file("10-a.sh");   // not a match for 1
  EXPECT_FALSE(script_scan(slots_, dir_.string()));
  file("1-x.sh");
  EXPECT_FALSE(script_scan(slots_, dir_.string())) << "no file for 0 ends the scan";
}

TEST_F(ScriptScan, DirectoryNamedLikeAScriptIsSkipped) {
  fs::create_directory(dir_ / "0-x.sh");
  EXPECT_FALSE(script_scan(slots_, dir_.string()));
  EXPECT_EQ(slots_.slot(0), nullptr);
  file("0-y.sh");
  EXPECT_TRUE(script_scan(slots_, dir_.string()));
  EXPECT_STREQ(slots_.slot(0)->name, "y");
}

TEST_F(ScriptScan, UnreadableEntryThenTheNextOne) {
  fs::create_symlink(root_ / "nowhere", dir_ / "0-a.sh");  // an entry that cannot be opened
  file("0-b.sh");
  ASSERT_TRUE(script_scan(slots_, dir_.string()));
  EXPECT_STREQ(slots_.slot(0)->name, "b");
}

TEST_F(ScriptScan, FileWithoutReadPermission) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  file("0-a.sh");
  fs::permissions(dir_ / "0-a.sh", fs::perms::none);
  EXPECT_FALSE(script_scan(slots_, dir_.string()));
  file("0-b.sh");
  ASSERT_TRUE(script_scan(slots_, dir_.string()));
  EXPECT_STREQ(slots_.slot(0)->name, "b");
}

TEST_F(ScriptScan, FifoIsSkippedWithoutBlocking) {
  ASSERT_EQ(mkfifo((dir_ / "0-a.sh").c_str(), 0600), 0);
  file("0-b.sh");
  ASSERT_TRUE(script_scan(slots_, dir_.string()));
  EXPECT_STREQ(slots_.slot(0)->name, "b");
}

TEST_F(ScriptScan, LongNameCutTo119) {
  const std::string name(150, 'n');
  file("0-" + name + ".sh");
  ASSERT_TRUE(script_scan(slots_, dir_.string()));
  EXPECT_EQ(std::string(slots_.slot(0)->name), name.substr(0, 119));
  EXPECT_EQ(script_menu_label(0, names()[0]), "0 " + name.substr(0, 119));
  EXPECT_EQ(slots_.slot(0)->path, (dir_ / ("0-" + name + ".sh")).string()) << "the path is whole";
}

// The cut at 119 bytes never splits a UTF-8 character: it falls before the character that would
// cross the limit.
TEST(ScriptSlotStore, LongNamesAreCutAtACharacterBoundary) {
  struct Case {
    std::string name;
    size_t kept;
  } cases[] = {{std::string(118, 'a') + "\xC3\xA9" + "b", 118},             // é would straddle 119
               {std::string(117, 'a') + "\xE6\xB5\x8B" + "b", 117},         // 测 likewise
               {std::string(116, 'a') + "\xF0\x9F\x93\xB7" + "b", 116},    // a four-byte character
               {std::string(117, 'a') + "\xC3\xA9" + "b", 119},             // ends exactly at 119
               {std::string(200, 'a'), 119}};
  for (const Case& c : cases) {
    ScriptSlots slots;
    ASSERT_TRUE(script_slot_store(&slots, 0, c.name, "p"));
    EXPECT_EQ(std::string(slots.slot(0)->name), c.name.substr(0, c.kept)) << c.kept;
  }
}

TEST_F(ScriptScan, ScriptsAfterAGapAreNamed) {
  file("0-a.sh");
  file("2-c.sh");
  file("5-f.sh");
  EXPECT_TRUE(script_scan(slots_, dir_.string()));
  EXPECT_EQ(names(), (std::vector<std::string>{"a"}));
  ASSERT_EQ(slots_.skipped.size(), 2u);
  EXPECT_EQ(slots_.skipped[0].path, (dir_ / "2-c.sh").string());
  EXPECT_EQ(slots_.skipped[0].missing, 1u);
  EXPECT_EQ(slots_.skipped[1].path, (dir_ / "5-f.sh").string());
}

TEST_F(ScriptScan, TrailingSlashesAndDisplayNames) {
  file("0-a-b.sh");
  ASSERT_TRUE(script_scan(slots_, dir_.string() + "///"));
  EXPECT_EQ(slots_.slot(0)->path, (dir_ / "0-a-b.sh").string());
  EXPECT_STREQ(slots_.slot(0)->name, "a-b");
  EXPECT_EQ(script_display_name("0-.sh"), "");
  EXPECT_EQ(script_display_name("12-capture test.sh"), "capture test");
}

TEST(ScriptSlotStore, RefusesAMissingHolderAndSlotsPastItsCapacity) {
  ScriptSlots s;
  EXPECT_FALSE(script_slot_store(nullptr, 0, "a", "/a"));
  EXPECT_FALSE(script_slot_store(&s, 16, "a", "/a"));
  s.capacity = 4;
  EXPECT_FALSE(script_slot_store(&s, 4, "a", "/a"));
  EXPECT_TRUE(script_slot_store(&s, 3, "a", "/a"));
  EXPECT_TRUE(script_slot_store(&s, 3, "b", "/b"));  // replaces
  EXPECT_STREQ(s.slot(3)->name, "b");
}

// Start-up: "qzscp" in the current directory, else beside the program.
class ScriptStartup : public ScriptScan {
 protected:
  void SetUp() override {
    ScriptScan::SetUp();
    cwd_ = fs::current_path();
    fs::create_directories(root_ / "work");
    fs::create_directories(root_ / "bin" / "qzscp");
    file("0-beside.sh", root_ / "bin" / "qzscp");
    fs::current_path(root_ / "work");
  }
  void TearDown() override {
    fs::current_path(cwd_);
    ScriptScan::TearDown();
  }
  fs::path cwd_;
};

TEST_F(ScriptStartup, BesideTheProgramWhenTheCurrentDirectoryHasNone) {
  EXPECT_TRUE(script_load_startup(slots_, (root_ / "bin" / "kestrel").string()));
  EXPECT_EQ(names(), (std::vector<std::string>{"beside"}));
  EXPECT_EQ(slots_.slot(0)->path, (root_ / "bin" / "qzscp" / "0-beside.sh").string());
}

TEST_F(ScriptStartup, TheCurrentDirectoryFirst) {
  fs::create_directories(root_ / "work" / "qzscp");
  file("0-here.sh", root_ / "work" / "qzscp");
  EXPECT_TRUE(script_load_startup(slots_, (root_ / "bin" / "kestrel").string()));
  EXPECT_EQ(names(), (std::vector<std::string>{"here"}));
  EXPECT_EQ(slots_.slot(0)->path, "qzscp/0-here.sh");
}

TEST_F(ScriptStartup, NeitherPlaceHasScripts) {
  EXPECT_FALSE(script_load_startup(slots_, (root_ / "work" / "kestrel").string()));
  EXPECT_TRUE(names().empty());
}

}  // namespace
}  // namespace kestrel
