// PNG files of a frame: what is written reads back pixel for pixel, and a write that cannot
// finish leaves nothing behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "picture/png_file.h"

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

}  // namespace
}  // namespace kestrel::picture
