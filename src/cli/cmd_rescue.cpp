// kestrelctl rescue: a card whose controller firmware is damaged comes up in the controller's
// boot mode (04B4:00F3, no HID interface). Load a boot image into its RAM, start it, wait for the
// card to come back, and with --flash write the same image to its flash through the upgrade.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bootmode/boot_loader.h"
#include "bootmode/libusb_boot.h"
#include "bootmode/rescue.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "res/ui_phrases.h"
#include "sim/boot_rom.h"
#include "sim/sim_backend.h"

namespace kestrel::cli {

namespace {

struct RescueOptions {
  std::string file;
  bool flash = false;
  std::string device;          // index among the devices found, or port path; "" when only one
  uint32_t sim_roms = 1;       // (tests) simulated devices in boot mode
  bool sim_stray = false;      // (tests) another card is plugged in while the started one comes up
  uint32_t wait_s = RESCUE_CARD_WAIT_MS / 1000;
  uint32_t sim_vanish_at = 0;  // (tests) the simulated boot ROM leaves at this request
};

std::string hex32(uint32_t v) {
  char b[12];
  std::snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

// Percent of the load on standard error: one line redrawn on a terminal, a line a quarter
// otherwise; nothing with --json.
class LoadProgress {
 public:
  explicit LoadProgress(bool json) : quiet_(json), tty_(isatty(STDERR_FILENO)) {}
  void show(uint64_t done, uint64_t total) {
    const int pct = total ? static_cast<int>(done * 100 / total) : 100;
    if (quiet_ || pct == last_) return;
    if (tty_) std::fprintf(stderr, "\r load [%-20.*s] %3d%%", pct / 5, "####################", pct);
    else if (last_ < 0 || pct / 25 != last_ / 25) std::fprintf(stderr, " load %d%%\n", pct);
    last_ = pct;
  }
  void wait(uint32_t left_ms) {
    const uint32_t s = (left_ms + 999) / 1000;
    if (quiet_ || s == wait_last_) return;
    if (tty_) std::fprintf(stderr, "\r waiting for the card: %u s left   ", s);
    else if (wait_last_ == ~0u || s % 5 == 0) std::fprintf(stderr, " waiting for the card: %u s left\n", s);
    wait_last_ = s;
  }
  void end_line() {
    if (tty_ && !quiet_ && (last_ >= 0 || wait_last_ != ~0u)) std::fputc('\n', stderr);
    last_ = -1;
    wait_last_ = ~0u;
  }

 private:
  bool quiet_, tty_;
  int last_ = -1;
  uint32_t wait_last_ = ~0u;
};

bool confirmed(Session& s, const std::string& question, std::string& why) {
  if (s.options().yes) return true;
  if (!isatty(STDIN_FILENO) || !isatty(STDERR_FILENO) || s.out().json()) {
    why = "the rescue needs confirmation: run it on a terminal or add --yes";
    return false;
  }
  std::fprintf(stderr, "%s [y/N] ", question.c_str());
  std::fflush(stderr);
  char answer[16] = {};
  if (std::fgets(answer, sizeof answer, stdin) && (answer[0] == 'y' || answer[0] == 'Y')) return true;
  why = "declined";
  return false;
}

nlohmann::json image_json(const RescueImage& img) {
  nlohmann::json sections = nlohmann::json::array();
  for (const BootSection& sec : img.boot.sections) sections.push_back({{"address", hex32(sec.address)}, {"bytes", sec.bytes}});
  return {{"sections", sections}, {"entry", hex32(img.boot.entry)}, {"bytes", img.boot.load_bytes()}, {"info", img.info}};
}

// Points the session at the card that came back, as --card would, so that the upgrade writes
// that card and no other.
int attach_returned(Session& s, const std::string& node) {
  if (const int rc = s.attach(); rc != EXIT_OK) return rc;
  const qhidev_list& list = s.list();
  for (uint32_t i = 0; i < list.count; ++i) {
    if (!list.items[i] || list.items[i]->node != node) continue;
    if (list.current && list.current->node == node) return EXIT_OK;
    s.card_session().attach_card(static_cast<int>(i));
    return list.current ? EXIT_OK : s.out().fail(EXIT_NO_CARD, "the card at " + node + " cannot be opened");
  }
  return s.out().fail(EXIT_NO_CARD, "the card at " + node + " is not in the card list");
}

int cmd_rescue(Session& s, const RescueOptions& o) {
  Output& out = s.out();
  nlohmann::json& doc = out.doc()["rescue"];

  // The transport: the simulated boot ROM, which comes back as a simulated card, or real USB.
  std::unique_ptr<BootBus> bus;
  if (s.options().simulate == sim::SIM_BOOT_ROM) {
    auto sim_bus = std::make_unique<sim::SimBootBus>();
    for (uint32_t i = 0; i < o.sim_roms; ++i) {
      auto rom = sim_bus->add_rom();
      sim::return_as_card(*rom, *s.sim());
      if (o.sim_stray) {
        // Someone plugs another card in on another port just before this one comes up.
        rom->on_start = [back = rom->on_start, &s](sim::BootRom& started) {
          if (auto stray = sim::make_scenario("meadow")) s.sim()->add_card(*stray, true, "3-1");
          back(started);
        };
      }
      if (o.sim_vanish_at) rom->vanish_at_request(o.sim_vanish_at);
    }
    bus = std::move(sim_bus);
  } else {
    bus = std::make_unique<LibusbBootBus>();
  }

  const std::vector<BootDeviceInfo> found = bus->list();
  doc["devices"] = nlohmann::json::array();
  for (const BootDeviceInfo& d : found)
    doc["devices"].push_back({{"id", d.id}, {"where", d.where}, {"port", d.port}});
  out.line("devices in boot mode (04b4:00f3): " + std::to_string(found.size()));
  for (size_t i = 0; i < found.size(); ++i)
    out.line("  " + std::to_string(i) + ": port " + found[i].port + " (" + found[i].where + ")");

  std::string why;
  bool unreadable = false;
  const std::optional<RescueImage> img = rescue_image_load(o.file, &why, &unreadable);
  if (!img) return out.fail(unreadable ? EXIT_USAGE : EXIT_IMAGE_REFUSED, why);
  doc["image"] = image_json(*img);
  const size_t sections = img->boot.sections.size();
  out.line("image " + o.file + ": " + std::to_string(sections) + (sections == 1 ? " section, " : " sections, ") +
           std::to_string(img->boot.load_bytes()) + " bytes, entry " + hex32(img->boot.entry) +
           (img->info.empty() ? std::string() : ", " + img->info));

  if (found.empty()) {
    const std::string more = bus->error().empty() ? std::string() : " (" + bus->error() + ")";
    return out.fail(EXIT_NO_CARD, "no device in boot mode (04b4:00f3) found" + more);
  }
  const std::optional<size_t> chosen = rescue_choose_device(found, o.device, &why);
  if (!chosen) return out.fail(o.device.empty() ? EXIT_USAGE : EXIT_NO_CARD, why);
  const BootDeviceInfo& dev = found[*chosen];
  doc["device"] = dev.id;
  doc["port"] = dev.port;

  if (!confirmed(s, "Load " + o.file + " into the controller at " + dev.where + " and start it?", why))
    return out.fail(EXIT_IMAGE_REFUSED, why);
  std::unique_ptr<BootPort> port = bus->open(dev.id, &why);
  if (!port) return out.fail(EXIT_FAILED, why);

  // The card may already be listed (another card of the same kind): only a new one counts.
  const std::vector<std::string> before = rescue_cards_present();
  LoadProgress progress(out.json());
  BootLoadHooks hooks;
  hooks.progress = [&](uint64_t done, uint64_t total) { progress.show(done, total); };
  hooks.stop = [&] { return s.interrupted(); };
  const BootLoadResult r = boot_load(*port, img->file.data(), img->boot, hooks);
  progress.end_line();
  port.reset();
  doc["loaded_bytes"] = r.loaded;
  doc["started"] = r.ok;
  if (!r.ok && r.step == BootLoadStep::Stopped) {
    out.line("the device stays in boot mode; its flash was not touched");
    return s.interrupted_exit();
  }
  if (!r.ok) return out.fail(EXIT_FAILED, "load failed: " + r.error + "; the device was not started");
  out.line("loaded and verified " + std::to_string(r.loaded) + " bytes; started at " + hex32(img->boot.entry));

  CardWaitHooks wait;
  wait.tick = [&](uint32_t left_ms) { progress.wait(left_ms); };
  wait.stop = [&] { return s.interrupted(); };
  const std::optional<platform::HidInterfaceInfo> card = rescue_wait_for_card(before, dev.port, o.wait_s * 1000, wait);
  progress.end_line();
  if (s.interrupted()) return s.interrupted_exit();
  if (!card)
    return out.fail(EXIT_FAILED, "the card did not come back within " + std::to_string(o.wait_s) +
                                     " s after the start; the image may not be this card's firmware");
  doc["card"] = {{"node", card->node}, {"product", card->product}, {"port", card->port}};
  out.line("card back: " + card->product + " at " + card->node +
           (card->port.empty() ? std::string(" (not on USB)") : " on port " + card->port));
  if (!o.flash) {
    out.line("it runs from RAM until its flash is written: run kestrelctl upgrade firmware " + o.file +
             " (or rescue --flash)");
    return EXIT_OK;
  }
  if (const int rc = attach_returned(s, card->node); rc != EXIT_OK) return rc;
  return upgrade_firmware_file(s, o.file);
}

}  // namespace

void add_rescue_commands(CLI::App& app, CommandSet& chosen) {
  static RescueOptions o;
  auto* cmd = app.add_subcommand("rescue", "Load a firmware image into a card stuck in boot mode (04b4:00f3), "
                                           "wait for the card, and with --flash write it to the card's flash");
  cmd->add_option("file", o.file, "boot image file (.img)")->required();
  cmd->add_flag("--flash", o.flash, "Then write the same image to the card's flash, as upgrade firmware does");
  cmd->add_option("--device", o.device,
                  "Which device in boot mode: its index in the list or its USB port (like 1-3.2); needed when "
                  "several are present");
  cmd->add_option("--wait", o.wait_s, "How long to wait for the card to come back (seconds, default 30)")
      ->check(CLI::Range(1u, 3600u));
  cmd->add_option("--sim-vanish-at", o.sim_vanish_at, "The simulated boot ROM leaves at this request")->group("");
  cmd->add_option("--sim-boot-roms", o.sim_roms, "Simulated devices in boot mode")->group("")->check(CLI::Range(1u, 8u));
  cmd->add_flag("--sim-stray-card", o.sim_stray, "Another simulated card arrives as the started one comes up")
      ->group("");
  set_needs(cmd, "an image file");
  cmd->callback([&chosen] {
    chosen.needs_card = false;
    chosen.scans_cards = false;
    chosen.action = [](Session& s) { return cmd_rescue(s, o); };
  });
}

}  // namespace kestrel::cli
