// The texts that exist in Chinese only in the card's own vocabulary (menu items, the upgrade
// confirmation, the About item) and the menu texts of this program, each beside its English
// equivalent. The Chinese text is the key: the code that builds these texts keeps building them in
// Chinese, and the window translates them where it shows them. Log and dump lines are never
// translated: support staff compare them as they are.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace kestrel {

struct UiPhrase {
  std::string_view zh;
  std::string_view en;
};

// Every pair, in the order of the table.
std::span<const UiPhrase> ui_phrases();

// The text of the active table for a Chinese text of the list: the English one while the English
// table is active, `zh` itself under the Chinese table or when the text is not listed.
std::string_view ui_phrase(std::string_view zh);

// A whole text in the active language: under the English table every listed Chinese text found
// in it is replaced by its English equivalent (longest first, so that "是否强制升级" is taken
// whole before "强制升级"); what is not listed (an image's info text, a card's version) stays.
std::string ui_translate(std::string_view text);
// The same as English whatever the active table.
std::string ui_translate_en(std::string_view text);

}  // namespace kestrel
