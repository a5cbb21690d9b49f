// The version and build stamp every program shows: the first log line, the About box, --version.
#pragma once

namespace kestrel {

inline constexpr const char* KESTREL_BUILD_STAMP = "2.0.6800 build 2024-12-25 10:01:06 +0800 CST";

}  // namespace kestrel
