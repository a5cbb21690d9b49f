// The boot image is judged whole before anything is sent: every malformed field is refused with
// the reason, and a good image yields its sections exactly.
#include <gtest/gtest.h>

#include "bootmode/boot_image.h"
#include "support/boot_images.h"

namespace kestrel {
namespace {

using test::boot_image;
using test::BootImageSpec;
using test::words;

BootImageSpec good() {
  BootImageSpec s;
  s.sections = {{0x00000000, words(16)}, {0x40000000, words(2000)}};
  s.entry = 0x40000010;
  return s;
}

TEST(BootImage, GoodImageYieldsItsSectionsAndEntry) {
  BootImageSpec s = good();
  s.trailer = {'Z', 'H', 'H', 'H', 1, 2, 3, 4};  // a board's trailer after the checksum is not part of it
  const auto file = boot_image(s);
  std::string why;
  const auto img = parse_boot_image(file, &why);
  ASSERT_TRUE(img) << why;
  ASSERT_EQ(img->sections.size(), 2u);
  EXPECT_EQ(img->sections[0].address, 0x00000000u);
  EXPECT_EQ(img->sections[0].offset, 12u);
  EXPECT_EQ(img->sections[0].bytes, 64u);
  EXPECT_EQ(img->sections[1].address, 0x40000000u);
  EXPECT_EQ(img->sections[1].offset, 12u + 64 + 8);
  EXPECT_EQ(img->sections[1].bytes, 8000u);
  EXPECT_EQ(img->entry, 0x40000010u);
  EXPECT_EQ(img->end, file.size() - s.trailer.size());
  EXPECT_EQ(img->load_bytes(), 8064u);
}

struct Malformed {
  const char* what;
  std::vector<uint8_t> file;
  const char* reason;  // a piece of the reason given
};

std::vector<uint8_t> with(std::function<void(BootImageSpec&)> change) {
  BootImageSpec s = good();
  change(s);
  return boot_image(s);
}

TEST(BootImage, RefusesEveryMalformedField) {
  std::vector<uint8_t> bad_sig = boot_image(good());
  bad_sig[1] = 'X';
  std::vector<uint8_t> cut_in_words = boot_image(good());
  cut_in_words.resize(12 + 64 + 8 + 100);
  std::vector<uint8_t> cut_before_sum = boot_image(good());
  cut_before_sum.resize(cut_before_sum.size() - 2);
  std::vector<uint8_t> cut_in_header = boot_image(good());
  cut_in_header.resize(12 + 64 + 3);
  // A length word that claims more than the file holds, with the multiplication by 4 wrapping.
  std::vector<uint8_t> huge_length = boot_image(good());
  put_le32(huge_length.data() + 4, 0x40000001);

  const Malformed cases[] = {
      {"empty file", {}, "CY signature"},
      {"bad signature", bad_sig, "CY signature"},
      {"data image (control bit 0)", with([](auto& s) { s.control = 0x01; }), "bit 0"},
      {"wrong type", with([](auto& s) { s.type = 0xB2; }), "image type 0xB2"},
      {"section past code RAM", with([](auto& s) { s.sections[0].address = 0x3FC4; }), "outside the controller's memory"},
      {"section past system RAM", with([](auto& s) { s.sections[1].address = 0x4007F000; }), "outside"},
      {"section between the memories", with([](auto& s) { s.sections[0].address = 0x20000000; }), "outside"},
      {"section ends one byte past data RAM",
       with([](auto& s) { s.sections[0] = {0x10001FC4, words(16)}; }), "outside"},
      {"entry outside memory", with([](auto& s) { s.entry = 0x50000000; }), "entry address 0x50000000"},
      {"length past the file", cut_in_words, "past the end of the file"},
      {"length wraps past the file", huge_length, "past the end of the file"},
      {"file ends inside a section header", cut_in_header, "inside a section header"},
      {"file ends before the checksum", cut_before_sum, "before the checksum"},
      {"checksum one too high", with([](auto& s) { s.checksum_adjust = 1; }), "checksum mismatch"},
      {"checksum one too low", with([](auto& s) { s.checksum_adjust = -1; }), "checksum mismatch"},
      {"no section at all", with([](auto& s) { s.sections.clear(); }), "no section"},
  };
  for (const Malformed& c : cases) {
    std::string why;
    EXPECT_FALSE(parse_boot_image(c.file, &why)) << c.what;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
  }
}

TEST(BootImage, SectionsThatExactlyFillAMemoryAreTaken) {
  const auto file = with([](auto& s) {
    s.sections = {{0x10000000, words(2048)}, {0x00003FFC, words(1)}};
    s.entry = 0x4007FFFC;
  });
  std::string why;
  EXPECT_TRUE(parse_boot_image(file, &why)) << why;
}

}  // namespace
}  // namespace kestrel
