#include "cli/session.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "cli/exit_codes.h"
#include "devlink/card_names.h"
#include "log/clock.h"
#include "log/console.h"
#include "log/log.h"
#include "platform/card_claim.h"
#include "platform/claiming_backend.h"
#include "platform/hidraw_backend.h"
#include "platform/trace.h"
#include "res/ui_text.h"
#include "res/version.h"
#include "sim/boot_rom.h"
#include "sim/card.h"
#include "sim/hostile.h"
#include "sim/scenario.h"
#include "sim/sim_backend.h"
#include "cli/many_cards.h"

namespace kestrel::cli {

namespace {

// The signal that asked kestrelctl to stop (SIGINT, SIGTERM, SIGHUP or SIGQUIT), 0 while none came.
volatile std::sig_atomic_t g_interrupted = 0;
void on_stop_signal(int sig) { g_interrupted = sig; }

constexpr uint32_t kTickMs = 10;

std::string board_list() {
  std::string names;
  for (std::string_view n : sim::board_names()) {
    if (!names.empty()) names += ", ";
    names += n;
  }
  return names;
}

const char* kind_name(sim::ReportKind k) {
  switch (k) {
    case sim::ReportKind::Output: return "output";
    case sim::ReportKind::FeatureSet: return "feature-set";
    case sim::ReportKind::InputGet: return "input-get";
    case sim::ReportKind::FeatureGet: return "feature-get";
  }
  return "?";
}

}  // namespace

bool parse_number(const std::string& text, uint32_t& out) {
  if (text.empty()) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* start = text.c_str() + (hex ? 2 : 0);
  // Digits of the base only: strtoul alone would also take leading blanks, a second "0x" and
  // stop quietly at an embedded NUL.
  const char* digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
  if (text.find_first_not_of(digits, hex ? 2 : 0) != std::string::npos) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(start, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFul) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

std::string check_seconds(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  // "nan" and "inf" parse too; neither is a time.
  if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !(v > 0) || !(v <= kMaxSeconds))
    return "takes a number of seconds above 0, e.g. 10 or 0.5 (got '" + text + "')";
  return {};
}

Session::Session(const GlobalOptions& opt, Output& out) : opt_(opt), out_(out) {}

Session::~Session() {
  if (sim_ && !opt_.sim_report_log.empty() && sim_->card_count() > 0) {
    if (FILE* f = std::fopen(opt_.sim_report_log.c_str(), "w")) {
      for (const auto& r : sim_->card(0)->reports()) {
        std::fprintf(f, "%s", kind_name(r.kind));
        for (uint8_t b : r.bytes) std::fprintf(f, " %02x", b);
        std::fputc('\n', f);
      }
      std::fclose(f);
    }
  }
  card_.reset();
  console_shutdown();
  platform::set_backend(nullptr);
}

int Session::setup() {
  ui_text_select_from_environment();
  clock_init();
  // A stop signal is noted, not obeyed at once: a command ends at its next safe point, and a
  // transfer only at its end (a closed terminal or a dropped ssh session must not leave a card
  // half written). A closed output (a pipe whose reader died) only loses what is written to it.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(sig, on_stop_signal);
  std::signal(SIGPIPE, SIG_IGN);

  if (!opt_.log_file.empty()) {
    log_file_ = std::fopen(opt_.log_file.c_str(), "a");
    if (!log_file_) return out_.fail(EXIT_USAGE, "cannot open log file " + opt_.log_file);
    console_attach(log_file_, -1);
  }
  uint32_t level_mask = 0, module_mask = 0;
  if (!opt_.log_level.empty() && !parse_number(opt_.log_level, level_mask))
    return out_.fail(EXIT_USAGE, "--log-level takes a number, e.g. 0x20000");
  if (!opt_.log_modules.empty() && !parse_number(opt_.log_modules, module_mask))
    return out_.fail(EXIT_USAGE, "--log-modules takes a number, e.g. 0x01000000");
  if (level_mask || module_mask) log_set_filter(true, level_mask, module_mask);

  platform::HidBackend* backend = nullptr;
  if (opt_.simulate == sim::SIM_BOOT_ROM) {
    // A card in boot mode: no card on the HID side until a rescue starts its firmware.
    sim_ = std::make_unique<sim::SimBackend>();
    backend = sim_.get();
  } else if (!opt_.simulate.empty()) {
    // One simulated card per board named ("meadow,TB610R-1CH"), in that order.
    std::vector<std::string> boards;
    for (size_t at = 0; at <= opt_.simulate.size();) {
      const size_t comma = std::min(opt_.simulate.find(',', at), opt_.simulate.size());
      boards.push_back(opt_.simulate.substr(at, comma - at));
      at = comma + 1;
    }
    sim_ = std::make_unique<sim::SimBackend>();
    for (const std::string& board : boards) {
      auto scenario = sim::make_scenario(board);
      if (!scenario) return out_.fail(EXIT_USAGE, "unknown board '" + board + "'; boards: " + board_list());
      if (!opt_.sim_after_upgrade.empty()) {
        using A = sim::Scenario::AfterUpgrade;
        if (opt_.sim_after_upgrade == "restart") scenario->after_upgrade = A::Restart;
        else if (opt_.sim_after_upgrade == "replug") scenario->after_upgrade = A::NeedsReplug;
        else if (opt_.sim_after_upgrade == "old") scenario->after_upgrade = A::RestartIntoOld;
        else return out_.fail(EXIT_USAGE, "--sim-after-upgrade takes restart, replug or old");
      }
      scenario->latency.per_page_ms = opt_.sim_page_ms;
      scenario->latency.per_erase_block_ms = opt_.sim_page_ms * 10;
      for (const std::string& code : opt_.sim_drop) {
        uint32_t cmd = 0;
        if (!parse_number(code, cmd) || cmd > 0xFF) return out_.fail(EXIT_USAGE, "--sim-drop takes command codes");
        scenario->faults.at(sim::StepKind::Command, cmd, sim::Fault::DropAnswer, 0, 0, 2);
      }
      // A hostile card (tests): seeded lies, short stalls, floods and an unplug somewhere.
      sim::HostilePlan hostile;
      const bool is_hostile = !opt_.sim_hostile.empty();
      if (is_hostile) {
        uint32_t seed = 0;
        if (!parse_number(opt_.sim_hostile, seed)) return out_.fail(EXIT_USAGE, "--sim-hostile takes a number");
        hostile.seed = seed;
        hostile.stall_ms = 200;
        hostile.unplug_after_min = 10;
        hostile.unplug_after_max = 400;
        sim::make_hostile(*scenario, hostile);
      }
      auto card = sim_->add_card(*scenario);
      if (is_hostile) sim::attach_hostile(*card, hostile);
    }
    if (opt_.sim_refuse_opens) sim_->refuse_opens_after_plug(opt_.sim_refuse_opens);
    backend = sim_.get();
  } else {
    hidraw_ = std::make_unique<platform::HidrawBackend>();
    backend = hidraw_.get();
  }
  if (opt_.trace) {
    auto trace = std::make_unique<platform::TracingBackend>(*backend, stderr);
    // Several cards at once: their lines interleave, so each names its card.
    trace->name_cards(is_card_list(opt_.card));
    trace_ = std::move(trace);
    backend = trace_.get();
  }
  // Outermost, so that a report the claim refuses is neither sent nor traced. A real card is
  // shared with every Kestrel program on the machine; a simulated one only when a test names
  // the claim it shares (several kestrelctl processes standing for programs on one card).
  if (hidraw_) {
    claimed_ = std::make_unique<platform::ClaimingBackend>(*backend, &platform::node_claim_key);
  } else if (!opt_.sim_shared_claim.empty()) {
    const std::string name = opt_.sim_shared_claim;
    claimed_ = std::make_unique<platform::ClaimingBackend>(*backend, [name](const std::string& node) { return name + "-" + node; });
  }
  if (claimed_) backend = claimed_.get();
  platform::set_backend(backend);
  log_printf(0, " kestrel %s\r\n", KESTREL_BUILD_STAMP);
  card_ = std::make_unique<CardSession>(list_);
  card_->listen_with(reader_);
  reader_.list = &list_;
  return EXIT_OK;
}

int Session::attach() {
  const int rc = attach_chosen();
  if (rc != EXIT_OK) return rc;
  // Another program upgrades this card: nothing was sent to it (the claim refused the scan's
  // reports), and nothing will be.
  const qhidev* d = list_.current;
  const std::shared_ptr<platform::CardClaim> claim = d && d->handle ? d->handle->claim() : nullptr;
  if (claim)
    if (const auto other = claim->upgrade_elsewhere()) return out_.fail(EXIT_BUSY, "card busy: " + other->text());
  return EXIT_OK;
}

int Session::attach_chosen() {
  if (is_card_list(opt_.card))
    return out_.fail(EXIT_USAGE, "this command takes one card (--card N); several cards at once: status, upgrade");
  card_->init();
  if (list_.count == 0) return out_.fail(EXIT_NO_CARD, "no card found");
  if (opt_.card.empty()) return EXIT_OK;
  uint32_t index = 0;
  if (!parse_number(opt_.card, index)) {
    bool found = false;
    for (uint32_t i = 0; i < list_.count && !found; ++i) {
      const qhidev* d = list_.items[i].get();
      if (d && (d->node == opt_.card || d->path == opt_.card)) {
        index = i;
        found = true;
      }
    }
    if (!found) {
      // A USB port path names the card in that socket, whichever node it got this time.
      const int at = card_on_port(platform::backend(), list_, opt_.card);
      if (at < 0 && looks_like_port_path(opt_.card))
        return out_.fail(EXIT_USAGE, "no card on port " + opt_.card + "; attached: " +
                                         attached_cards_text(platform::backend(), list_));
      if (at < 0) return out_.fail(EXIT_NO_CARD, "no card " + opt_.card);
      index = static_cast<uint32_t>(at);
    }
  }
  if (index >= list_.count) return out_.fail(EXIT_NO_CARD, "no card " + opt_.card + " (found " + std::to_string(list_.count) + ")");
  if (index != 0) card_->attach_card(static_cast<int>(index));
  return list_.current ? EXIT_OK : out_.fail(EXIT_NO_CARD, "card " + opt_.card + " cannot be opened");
}

void Session::start_reader() {
  if (reader_thread_.joinable() || g_console.reader_thread.joinable()) return;
  g_console.reader_flags = &reader_.flags;
  g_console.wake_reader = [this] {
    std::lock_guard<std::mutex> g(reader_.device_lock);
    if (reader_.reading) reader_.reading->cancel_read();
  };
  g_console.reader_thread = std::thread([this] { hid_reader(reader_); });
}

bool Session::interrupted() const { return g_interrupted != 0; }

void Session::drain_posted() {
  for (auto events = card_->take_posted(); !events.empty(); events = card_->take_posted())
    for (CardEvent e : events) card_->handle(e);
}

void Session::run_loop(double seconds) {
  const uint64_t start = clock_now_ns();
  const uint64_t limit = seconds > 0 ? static_cast<uint64_t>(seconds * 1e9) : 0;
  uint64_t ticks = 0;
  while (!g_interrupted) {
    drain_posted();
    card_->on_timer(CardSession::kTimerId);
    // A simulated card shows a new frame-timing record about once a second.
    if (sim_ && sim_->card_count() > 0 && sim_->card(0)->plugged() && ++ticks % 100 == 0) sim_->card(0)->frame_tick();
    // Nobody reads the simulated card's report log unless --sim-report-log asked for it; a watch
    // that runs for hours would otherwise keep every report the card ever received.
    if (sim_ && opt_.sim_report_log.empty() && sim_->card_count() > 0) sim_->card(0)->clear_reports();
    if (limit && clock_now_ns() - start >= limit) break;
    sleep_ms(kTickMs);
  }
  drain_posted();
}

int Session::stop_signal() const { return g_interrupted; }

int Session::interrupted_exit() {
  const int sig = g_interrupted;
  return out_.fail(128 + sig, sig == SIGTERM ? "terminated" : sig == SIGHUP ? "hung up" : sig == SIGQUIT ? "quit" : "interrupted");
}

}  // namespace kestrel::cli
