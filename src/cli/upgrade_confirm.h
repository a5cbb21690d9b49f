// What kestrelctl's upgrades share: the match check's verdict in words and as JSON, the yes/no
// question on a terminal, the CY signature test of a USB-controller image and the FPGA file's
// marks and question.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>

#include "card/card_session.h"
#include "cli/session.h"
#include "update/alert.h"
#include "update/image_file.h"
#include "update/workflow.h"

namespace kestrel::cli {

// The verdict line without its spaces and line end.
std::string verdict_text(const AlertRequest& r);
// The check's texts as the card wrote them (Chinese), and beside them in English ("title_en",
// "info_en", "verdict_en", "accept_en").
nlohmann::json alert_json(const AlertRequest& r);
// A text of the check for a terminal: in the locale's language (the card's Chinese under zh_CN,
// English otherwise), each line ending in "\n" alone.
std::string shown_text(const std::string& text);
// A yes/no question on the terminal; true only for an answer that starts with y.
bool ask(const std::string& question);
// Why the confirmation may not be asked here: nothing waits for input without a terminal, and
// JSON output is for scripts.
bool can_ask(Session& s);
// The answer to the match check's alert: a mismatch or a damaged image (0x0301) goes ahead only
// with --force and is then still asked, as the window asks twice; --yes answers for the user;
// without a terminal nothing is asked and nothing goes ahead. `before_asking` runs just before the
// question. False with the reason in `declined_why`.
bool confirm_check(Session& s, const AlertRequest& r, std::string& declined_why, const std::function<void()>& before_asking);
inline constexpr const char* kNeedsConfirmation = "the upgrade needs confirmation: run it on a terminal or add --yes";

// The FPGA file's bitstream marks, before anything is sent (fpga_check in the JSON): refused
// without them unless --force. EXIT_OK, or the exit code with the reason in `why`, reported.
int check_fpga_marks(Session& s, const std::string& path, const ImageFile& img, std::string& why);
// What is about to be written where ("FPGA image F (N bytes, mark) onto `onto`"), asked on a
// terminal unless --yes. EXIT_OK, or the exit code with "declined" or the reason in `why`,
// reported.
int confirm_fpga(Session& s, const std::string& path, const ImageFile& img, const std::string& onto, std::string& why);

bool has_signature(const ImageFile& img);
std::string no_signature(const std::string& path);

}  // namespace kestrel::cli
