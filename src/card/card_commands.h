// The commands the current card posts to its front end and takes back on the front end's thread:
// the reader's device events and the status refresh. The window's command ids include them.
#pragma once

#include <cstdint>

namespace kestrel::ids {

constexpr uint32_t ID_STATUS_REFRESH = 32808;
constexpr uint32_t ID_DEV_TEXT_EVENT = 32821;
constexpr uint32_t ID_DEV_INTR_EVENT = 32822;
constexpr uint32_t ID_MONITOR_QUERY = 32823;
constexpr uint32_t ID_STDVIEW_EVENT = 32824;

}  // namespace kestrel::ids
