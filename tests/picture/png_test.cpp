// PNG files of a frame: what is written reads back pixel for pixel, a write that cannot finish
// leaves nothing behind, and the file's mode follows the umask without the umask being touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "picture/png_file.h"

// Every umask(2) call made through the C library in this process. The umask is the whole
// process's: a writer that sets it, even only to read it back, gives a file another thread
// creates meanwhile the wrong mode.
std::atomic<int> g_umask_calls{0};
extern "C" mode_t umask(mode_t mask) {
  ++g_umask_calls;
  return static_cast<mode_t>(::syscall(SYS_umask, mask));
}

namespace kestrel::picture {
namespace {

namespace fs = std::filesystem;

class PngFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kestrel-png-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(PngFile, WritesPixelsThatReadBack) {
  Image img{.width = 3, .height = 2, .bgra = {}};
  for (int i = 0; i < 6; ++i) img.bgra.insert(img.bgra.end(), {uint8_t(i * 40), uint8_t(200 - i * 30), uint8_t(i * 7), 255});
  const std::string path = (dir_ / "a.png").string();
  ASSERT_EQ(write_png(img, path), "");
  const auto back = read_png(path);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->width, 3);
  EXPECT_EQ(back->height, 2);
  EXPECT_EQ(back->bgra, img.bgra);
}

TEST_F(PngFile, FailedWriteLeavesNothingAndSaysWhy) {
  Image img{.width = 1, .height = 1, .bgra = {1, 2, 3, 255}};
  // A directory in the way, and a folder that does not exist.
  fs::create_directory(dir_ / "taken");
  EXPECT_NE(write_png(img, (dir_ / "taken").string()), "");
  EXPECT_NE(write_png(img, (dir_ / "missing" / "a.png").string()), "");
  EXPECT_NE(write_png(Image{}, (dir_ / "empty.png").string()), "");
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir_)) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"taken"});
  std::string error;
  EXPECT_FALSE(read_png((dir_ / "taken").string(), &error));
  EXPECT_NE(error, "");
}

TEST_F(PngFile, ModeFollowsTheUmaskWhichIsLeftAlone) {
  Image img{.width = 1, .height = 1, .bgra = {1, 2, 3, 255}};
  const mode_t before = static_cast<mode_t>(::syscall(SYS_umask, 022));
  for (const auto& [mask, mode] : {std::pair<mode_t, mode_t>{022, 0644}, {027, 0640}, {077, 0600}, {0, 0644}}) {
    ::syscall(SYS_umask, mask);
    g_umask_calls = 0;
    const std::string path = (dir_ / ("m" + std::to_string(mask) + ".png")).string();
    ASSERT_EQ(write_png(img, path), "");
    EXPECT_EQ(g_umask_calls.load(), 0) << "the umask was set while writing";
    EXPECT_EQ(static_cast<mode_t>(::syscall(SYS_umask, mask)), mask);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, mode) << "umask " << std::oct << mask;
  }
  ::syscall(SYS_umask, before);
}

}  // namespace
}  // namespace kestrel::picture
