// The runtime text tables: 42 texts in English and in Chinese, chosen once from the locale.
#pragma once

#include <string_view>

namespace kestrel {

constexpr int UI_TEXT_COUNT = 42;

extern const char* const ui_text_en[UI_TEXT_COUNT];
extern const char* const ui_text_zh[UI_TEXT_COUNT];

// The active table; English until ui_text_select() runs.
extern const char* const* ui_text;

// True for the simplified-Chinese locales (zh_CN, zh_Hans, bare zh); zh_TW, zh_HK, zh_SG, zh_MO
// and everything else give English. `locale` is a POSIX locale name such as "zh_CN.UTF-8".
bool ui_locale_is_chinese(std::string_view locale);

// Picks the table from LC_ALL, LC_MESSAGES or LANG (the first one set), once at start-up.
void ui_text_select_from_environment();
void ui_text_select(bool chinese);

}  // namespace kestrel
