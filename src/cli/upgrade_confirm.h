// What kestrelctl's upgrades share: the match check's verdict in words and as JSON, the yes/no
// question on a terminal, and the CY signature test of a USB-controller image.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "cli/session.h"
#include "update/alert.h"
#include "update/image_file.h"

namespace kestrel::cli {

// The verdict line without its spaces and line end.
std::string verdict_text(const AlertRequest& r);
nlohmann::json alert_json(const AlertRequest& r);
// A yes/no question on the terminal; true only for an answer that starts with y.
bool ask(const std::string& question);
// Why the confirmation may not be asked here: nothing waits for input without a terminal, and
// JSON output is for scripts.
bool can_ask(Session& s);
inline constexpr const char* kNeedsConfirmation = "the upgrade needs confirmation: run it on a terminal or add --yes";

bool has_signature(const ImageFile& img);
std::string no_signature(const std::string& path);

}  // namespace kestrel::cli
