// The Chinese-only texts and their English equivalents: every text the match check builds reads
// wholly in English under the English table and unchanged under the Chinese one.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "res/ui_phrases.h"
#include "res/ui_text.h"
#include "update/alert.h"
#include "update/image_check.h"

namespace kestrel {
namespace {

bool ascii(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

class UiPhrases : public ::testing::Test {
 protected:
  void TearDown() override { ui_text_select(false); }
};

TEST_F(UiPhrases, TableHasOneEnglishTextPerChineseText) {
  std::set<std::string_view> seen;
  for (const UiPhrase& p : ui_phrases()) {
    EXPECT_TRUE(seen.insert(p.zh).second) << "listed twice: " << p.zh;
    EXPECT_FALSE(p.en.empty()) << p.zh;
    EXPECT_TRUE(ascii(std::string(p.en))) << p.en;
  }
}

// The confirmation's texts as the match check composes them, one per verdict row, with an info
// text and a target text from an image and a card (ASCII, and kept as they are).
TEST_F(UiPhrases, EveryVerdictRowReadsInEnglishAndStaysChineseUnderTheChineseTable) {
  const std::string info = " 固件信息:\r\n TB610K-1CH:v2.1 build 2024-01-02 03:04:05 GCC:12\r\n";
  const std::string target = "\r\n 目标信息:\r\n TB610K-1CH:v2.0 \r\n";
  const std::string careful = "\r\n 目标信息: TB610K-1CH\r\n 硬件自动检查匹配通过\r\n";
  const std::string unknown = "\r\n 目标信息:\r\n 与固件信息不匹配, 不能正常识别\r\n";
  struct Row {
    std::string text, verdict, accept;
  };
  const Row rows[] = {
      {info + target, VERDICT_SUITS, ACCEPT_UPGRADE},
      {info + careful, VERDICT_CAREFUL, ACCEPT_CAREFUL},
      {info + target, VERDICT_CONFLICT, ACCEPT_FORCE},
      {info + unknown, VERDICT_MISMATCH, ACCEPT_FORCE},
      {std::string(" 固件信息:\r\n ") + IMAGE_INFO_UNKNOWN_FILE + "\r\n" + unknown, VERDICT_MISMATCH, ACCEPT_FORCE},
      {std::string(" 固件信息:\r\n ") + IMAGE_INFO_DAMAGED + "\r\n" + unknown, VERDICT_MISMATCH, ACCEPT_FORCE},
      {std::string(" 固件信息:\r\n ") + IMAGE_INFO_UNRECOGNISED + "\r\n" + unknown, VERDICT_MISMATCH, ACCEPT_FORCE},
  };
  for (const Row& r : rows) {
    AlertRequest q;
    q.verdict = r.verdict;
    q.accept_caption = r.accept;
    const std::string question = alert_reconfirm_question(q);
    for (const std::string& s : {r.text, r.verdict, r.accept, question, std::string(ALERT_TITLE), std::string(ALERT_CANCEL)}) {
      ui_text_select(false);
      const std::string en = ui_translate(s);
      EXPECT_TRUE(ascii(en)) << s << " -> " << en;
      EXPECT_EQ(en, ui_translate_en(s));
      ui_text_select(true);
      EXPECT_EQ(ui_translate(s), s);
    }
  }
  ui_text_select(false);
  // What the card and the image wrote stays as it is.
  EXPECT_NE(ui_translate(info).find("TB610K-1CH:v2.1 build 2024-01-02 03:04:05 GCC:12"), std::string::npos);
}

TEST_F(UiPhrases, LongestTextWinsAndUnlistedTextStays) {
  ui_text_select(false);
  EXPECT_EQ(ui_translate("是否强制升级"), "Force the upgrade anyway?");
  EXPECT_EQ(ui_translate(std::string(VERDICT_MISMATCH) + "是否强制升级"),
            " Firmware does not match the target board; must not upgrade\r\nForce the upgrade anyway?");
  EXPECT_EQ(ui_translate("强制升级"), "Force upgrade");
  EXPECT_EQ(ui_translate("没有列出的文字"), "没有列出的文字");
  EXPECT_EQ(ui_phrase("关于 kestrel(&A)..."), "&About kestrel...");
  EXPECT_EQ(ui_phrase("not listed"), "not listed");
  ui_text_select(true);
  EXPECT_EQ(ui_phrase("关于 kestrel(&A)..."), "关于 kestrel(&A)...");
}

}  // namespace
}  // namespace kestrel
