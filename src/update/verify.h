// The end of an upgrade as the card shows it: after a USB-controller firmware upgrade the card
// must run the new image before the upgrade counts as verified, and the only proof is the
// version text it gives once it is back (the HID download confirms nothing on the wire).
//
// Cards differ: some leave the bus by themselves after the upgrade and come back running the
// new firmware; others keep running the old firmware until they are replugged or power-cycled.
// Front ends wait for the first kind (a bounded wait with a countdown) and say so for the
// second: "restart the card to run and verify the new firmware".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

class HidLink;

enum class VerifiedEnd : uint8_t {
  Verified,       // the card came back naming the image's tag, version and build stamp
  NotVerified,    // the card came back with another version, or did not come back
  RestartNeeded,  // the card still runs its old firmware: it needs a replug or power cycle
  NoVerdict,      // FPGA logic: its image carries no text to compare
};

// A card that restarts by itself leaves the bus within this after the unlock...
constexpr uint32_t RESTART_LEAVE_WAIT_MS = 3000;
// ...and is back within this after it left.
constexpr uint32_t RESTART_RETURN_WAIT_MS = 20000;
// How often a front end looks for the card while it waits.
constexpr uint32_t RESTART_POLL_MS = 100;

inline constexpr const char* RESTART_ADVICE = "restart the card to run and verify the new firmware";

// What a card running the image names itself: "<tag>:<version> build <stamp>".
struct ImageVersion {
  std::string tag;      // "TB610K-1CH"
  std::string version;  // "V2.0.6800"
  std::string stamp;    // "2024-12-25 10:01:06"
  std::string text() const { return tag + ":" + version + " build " + stamp; }
};

// The version an image's info text names; nullopt for a text without tag or build stamp (the
// fallback texts of images without info).
std::optional<ImageVersion> image_version_of(std::string_view info);
// The same from the image's bytes (the info text found as the match check finds it). `data` must
// be followed by a zero byte.
std::optional<ImageVersion> image_version_of(std::span<const uint8_t> data);

// True when the card's status text names this image: the same tag, and its version and build
// stamp in the text before "FPGA:" (spaces between words may differ).
bool card_runs_image(const ImageVersion& image, std::string_view status_text);

// The part of a status text after "FPGA:", without the spaces around it; empty when there is none.
std::string fpga_version_of(std::string_view status_text);

// What identifies a card on the bus well enough to find it again after its restart.
struct CardKey {
  std::string path;  // Windows-form interface path
  uint16_t vendor_id = 0, product_id = 0;
};
// Where the card `card` is among `listed`: its own path; else the same USB port (the path without
// its last "&<node>" part: the hidraw number may change); else, when exactly one card of its
// vendor and product is listed, that one (a card that comes back as a new HID device). -1 when
// none of these is there.
int find_returned_card(const CardKey& card, const std::vector<CardKey>& listed);

// A card interface as listed now: its key and its USB port path ("" when unknown).
struct ListedCard {
  CardKey key;
  std::string port;
};
// The card an upgrade left, found again among `now`: its own interface; else the one in its USB
// port `port` (a card may come back as a new HID device, even with a path another card had);
// else, by find_returned_card's rules, one whose path is not in `others`. `others` are the
// interfaces listed beside the card when its wait began (and any a card of the same run has
// taken): other cards, never taken for this one by their kind alone. -1 when it is not there.
int find_upgraded_card(const CardKey& card, const std::string& port, const std::vector<std::string>& others,
                       const std::vector<ListedCard>& now);

// The card's whole status text (the status block's text from payload offset 64), read as the
// match check reads it; nullopt when the card does not answer. `work` is two 4096-byte pages.
std::optional<std::string> read_status_text(HidLink& link, std::span<uint8_t> work);

// The verdict for a card that is back, and its words for the user: "verified", "not verified
// (card reports ...)", "not yet verified (restart needed)", "FPGA version ..." .
struct VerifyReport {
  VerifiedEnd end = VerifiedEnd::NoVerdict;
  std::string card_text;  // what the card reported, cut at "FPGA:" (USB) or its FPGA version
  std::string summary() const;
};
VerifyReport judge_return(uint16_t kind, const std::optional<ImageVersion>& image, const std::string& status_text);

// What the card that came back reported when it could not be read: its node never appeared
// (`not_found`), this user may not open it (`permission`), or it does not answer (neither).
std::string unread_return_text(bool not_found, bool permission);

}  // namespace kestrel
