// `kestrelctl --card all upgrade firmware|fpga FILE` (or --card 0,2 / nodes / paths): the same
// image onto several cards at once, one worker thread per card, each a Card of its own with its
// own link, board and match check. A mismatch, a refusal or a failure on one card never forces,
// stops or fails another; questions on a terminal are asked one card at a time (an FPGA file,
// which has no match check, is asked about once for the run). On a terminal one live line per
// card; at the end a table, and the exit code of the worst card.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/many_cards.h"
#include "cli/upgrade_confirm.h"
#include "card/card.h"
#include "devlink/card_names.h"
#include "history/history_path.h"
#include "history/history_store.h"
#include "log/clock.h"
#include "log/log.h"
#include "platform/card_claim.h"
#include "update/image_check.h"
#include "update/image_limits.h"
#include "update/return_watch.h"
#include "update/upgrade_end.h"
#include "update/verify.h"

namespace kestrel::cli {

namespace {

enum class Stage : int { Waiting, Transfer, Verifying, Done };

// One card of the run: who it is, how far it got, how it ended.
struct Slot {
  uint32_t index = 0;  // in the card list
  std::string node, path, name, port, serial;
  uint16_t vendor_id = 0, product_id = 0;
  std::unique_ptr<Card> card;
  std::string board;
  std::string version_before;

  std::atomic<int> stage{static_cast<int>(Stage::Waiting)};
  std::atomic<int> phase{0};
  std::atomic<int> percent{0};

  int exit = EXIT_OK;
  std::string result;  // verified, not verified, restart needed, ok (FPGA: no verdict), failed,
                       // refused, declined, no card
  std::string detail;
  std::string version_after;
  nlohmann::json check;
  std::string declined_why;
  std::optional<bool> verified;

  history::HistoryStore history;  // where this card's row is kept
  std::unique_ptr<UpgradeEnd> end;  // its row, begun before the workers start, and its end
  std::string history_failure;      // its row was begun but could not be ended
};

// The version part of a status text ("model:version" shown after its colon).
std::string version_of(const std::string& text) {
  const size_t colon = text.find(':');
  size_t at = colon == std::string::npos ? 0 : colon + 1;
  while (at < text.size() && text[at] == ' ') ++at;
  return text.substr(at);
}

class ManyUpgrade {
 public:
  ManyUpgrade(Session& s, uint16_t kind, std::string path, std::shared_ptr<const ImageFile> image,
              std::set<std::string> listed_paths)
      : s_(s),
        kind_(kind),
        path_(std::move(path)),
        image_(std::move(image)),
        tty_(isatty(STDERR_FILENO) && !s.out().json()),
        others_(std::move(listed_paths)) {}

  int run(std::vector<std::unique_ptr<Slot>>& slots);

 private:
  void work(Slot& slot);
  bool confirm(Slot& slot, const AlertRequest& r);
  ReturnLook look_for(Slot& slot);
  void say_end(Slot& slot, const UpgradeEnd& end);
  void end(Slot& slot, int exit, std::string result, std::string detail) {
    slot.exit = exit;
    slot.result = std::move(result);
    slot.detail = std::move(detail);
    slot.stage.store(static_cast<int>(Stage::Done));
  }
  void draw(const std::vector<std::unique_ptr<Slot>>& slots);

  Session& s_;
  uint16_t kind_;  // UPGRADE_KIND_USB or UPGRADE_KIND_FPGA
  std::string path_;
  std::shared_ptr<const ImageFile> image_;  // read once, shared by every card's worker
  bool tty_;
  std::mutex ask_lock_;      // one question on the terminal at a time; the live lines wait for it
  std::mutex backend_lock_;  // enumerations and re-attaches of cards that came back
  std::set<std::string> others_;  // the interface paths of every card listed when the run began
  std::mutex claim_lock_;
  std::set<std::string> claimed_;  // new interface paths already taken by a card that came back
  int drawn_ = 0;            // live lines on the terminal below the cursor's start
};

bool ManyUpgrade::confirm(Slot& slot, const AlertRequest& r) {
  slot.check = alert_json(r);
  // One question on the terminal at a time, headed by the card it is about.
  std::unique_lock<std::mutex> asking(ask_lock_, std::defer_lock);
  return confirm_check(s_, r, slot.declined_why, [&] {
    asking.lock();
    drawn_ = 0;  // the question scrolls the live lines away: they start again below it
    std::fprintf(stderr, "\ncard %u (%s, %s):\n%s\n%s\n", slot.index, slot.board.c_str(), slot.node.c_str(),
                 shown_text(r.info.value_or("")).c_str(), shown_text(verdict_text(r)).c_str());
  });
}

// How this card's worker looks for its card come back: the card list as the kernel has it now;
// its own path, else the device on its USB port (a uhid or USB card may come back as a new HID
// device with another path), else, by the matcher's rules, a device that was not listed when the
// run began and that no other card of the run has taken. Each device is taken by one card only.
ReturnLook ManyUpgrade::look_for(Slot& slot) {
  ReturnLook look;
  look.list = [this] {
    std::lock_guard<std::mutex> g(backend_lock_);
    return list_cards(platform::backend());
  };
  look.taken = [this] {
    std::lock_guard<std::mutex> g(claim_lock_);
    std::vector<std::string> taken(others_.begin(), others_.end());
    taken.insert(taken.end(), claimed_.begin(), claimed_.end());
    return taken;
  };
  look.claim = [this](const std::string& path) {
    std::lock_guard<std::mutex> g(claim_lock_);
    return claimed_.insert(path).second;
  };
  look.still_text = [&slot] { return read_status_text(slot.card->link(), slot.card->status_page(0)); };
  look.left = [&slot] { slot.card.reset(); };  // its handle went with the card
  look.open_back = [this, &slot](const std::string& path, platform::OpenFailure& why) -> std::optional<std::string> {
    {
      std::lock_guard<std::mutex> g(backend_lock_);
      qhidev_list listed;
      qhidev_enum(listed);
      why = platform::OpenFailure::NotFound;  // listed by the kernel, not yet openable
      for (uint32_t i = 0; i < listed.count; ++i)
        if (listed.items[i] && listed.items[i]->path == path) {
          slot.card = std::make_unique<Card>(*listed.items[i]);
          why = slot.card->attach() ? platform::OpenFailure::None : slot.card->open_failure();
          if (why != platform::OpenFailure::None) slot.card.reset();
        }
      qhidev_release_all(listed);
    }
    if (!slot.card) return std::nullopt;
    return read_status_text(slot.card->link(), slot.card->status_page(0));
  };
  return look;
}

// The card's end in the table's words.
void ManyUpgrade::say_end(Slot& slot, const UpgradeEnd& e) {
  const ReturnWatch& watch = *e.return_watch();
  const VerifyReport& r = e.report();
  // Only a verdict judged from the card's own text says which version it runs.
  const bool judged = watch.judged();
  if (judged) {
    slot.version_after = version_of(watch.version_after());
    if (r.end == VerifiedEnd::Verified) slot.verified = true;
    if (r.end == VerifiedEnd::NotVerified) slot.verified = false;
  }
  if (r.end == VerifiedEnd::Verified) return end(slot, EXIT_OK, "verified", slot.version_before + " -> " + slot.version_after);
  // FPGA logic carries no text to compare: what the card says is the end.
  if (r.end == VerifiedEnd::NoVerdict) return end(slot, EXIT_OK, "ok", r.summary());
  if (r.end == VerifiedEnd::RestartNeeded) return end(slot, EXIT_OK, "restart needed", RESTART_ADVICE);
  return end(slot, EXIT_FAILED, "not verified", judged ? r.summary() : r.card_text);
}

void ManyUpgrade::work(Slot& slot) {
  UpgradeEnd& e = *slot.end;
  UpgradeFront front;  // the live line follows the hooks; the table says the end
  UpgradeHooks hooks;
  hooks.show_alert = [&](const AlertRequest& r) {
    const bool go = confirm(slot, r);
    e.asked(r, go);
    return go;
  };
  hooks.progress = [&](UpgradePhase phase, int percent) {
    slot.stage.store(static_cast<int>(Stage::Transfer));
    slot.phase.store(static_cast<int>(phase));
    slot.percent.store(percent);
  };
  UpgradeWorkflow upgrade(slot.card->upgrade_card(), front, hooks);
  upgrade.upgrade(kind_, path_, image_);
  const UpgradeOutcome& o = upgrade.last();
  e.took(o);

  if (!o.busy.empty()) {
    end(slot, EXIT_BUSY, "busy", o.busy);
  } else if (!o.file_chosen) {
    end(slot, EXIT_FAILED, "failed", "the upgrade did not start");
  } else if (!o.accepted) {
    const bool said_no = slot.declined_why == "declined";
    end(slot, EXIT_IMAGE_REFUSED, said_no ? "declined" : "refused",
        said_no                       ? "answered no"
        : !o.refusal.empty()          ? o.refusal
        : slot.declined_why.empty()   ? "image refused"
                                      : slot.declined_why);
  } else if (!o.transferred) {
    end(slot, EXIT_FAILED, "failed", "the transfer did not run");
  } else if (!o.ok) {
    end(slot, EXIT_FAILED, "failed", "upgrade FAILED! (result " + std::to_string(o.result) + ")");
  } else {
    slot.stage.store(static_cast<int>(Stage::Verifying));
    e.watch({slot.path, slot.vendor_id, slot.product_id}, slot.port, look_for(slot));
    e.wait([this] { return s_.interrupted(); });
    say_end(slot, e);
  }
  const bool written = e.finish(slot.result + (slot.detail.empty() ? "" : ": " + slot.detail), slot.version_after);
  if (!written && e.begun()) slot.history_failure = e.history_failure();
}

void ManyUpgrade::draw(const std::vector<std::unique_ptr<Slot>>& slots) {
  if (!tty_) return;
  std::unique_lock<std::mutex> g(ask_lock_, std::try_to_lock);
  if (!g.owns_lock()) return;  // a question is on the terminal
  if (drawn_ > 0) std::fprintf(stderr, "\033[%dA", drawn_);
  for (const auto& sp : slots) {
    const Slot& s = *sp;
    const Stage stage = static_cast<Stage>(s.stage.load());
    std::string what;
    if (stage == Stage::Waiting) what = "waiting";
    else if (stage == Stage::Verifying) what = "waiting for the card to come back";
    else if (stage == Stage::Done) what = s.result;
    else {
      const int pct = s.percent.load();
      const int filled = pct / 5;
      what = std::string(upgrade_phase_name(static_cast<UpgradePhase>(s.phase.load()))) + " [" +
             std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(20 - filled), ' ') + "] " +
             std::to_string(pct) + " %";
    }
    std::fprintf(stderr, "\r\033[K card %-3u %-12s %-10s %s\n", s.index, s.node.c_str(), s.board.c_str(), what.c_str());
  }
  drawn_ = static_cast<int>(slots.size());
}

int ManyUpgrade::run(std::vector<std::unique_ptr<Slot>>& slots) {
  std::vector<std::thread> workers;
  for (auto& sp : slots) {
    Slot& slot = *sp;
    // A card that could not be opened, or a run declined before it began: its end is said.
    if (!slot.card || slot.stage.load() == static_cast<int>(Stage::Done)) continue;
    workers.emplace_back([this, &slot] { work(slot); });
  }
  bool told = false;
  for (;;) {
    const bool all_done = std::all_of(slots.begin(), slots.end(),
                                      [](const auto& sp) { return sp->stage.load() == static_cast<int>(Stage::Done); });
    draw(slots);
    if (all_done) break;
    // Ctrl-C never cuts a transfer short: a half-written image leaves the card without one.
    if (s_.interrupted() && !told) {
      told = true;
      std::lock_guard<std::mutex> g(ask_lock_);
      drawn_ = 0;
      std::fprintf(stderr, "\nkestrelctl: the transfers go on to their end: stopping them now would leave cards "
                           "without a whole image\n");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(tty_ ? 100 : 20));
  }
  for (auto& t : workers) t.join();

  Output& out = s_.out();
  nlohmann::json cards = nlohmann::json::array();
  int worst = EXIT_OK;
  char line[512];
  std::snprintf(line, sizeof line, "%-5s %-14s %-12s %-16s %s", "card", "node", "board", "result", "detail");
  out.line(line);
  for (const auto& sp : slots) {
    const Slot& s = *sp;
    worst = worse_exit(worst, s.exit);
    std::snprintf(line, sizeof line, "%-5u %-14s %-12s %-16s %s", s.index, s.node.c_str(), s.board.c_str(),
                  s.result.c_str(), s.detail.c_str());
    out.line(line);
    nlohmann::json j = {{"index", s.index}, {"node", s.node},     {"path", s.path}, {"port", s.port}, {"serial", s.serial},
                        {"name", s.name},   {"board", s.board},   {"result", s.result},
                        {"detail", s.detail}, {"exit", s.exit},   {"version_before", s.version_before},
                        {"version_after", s.version_after}};
    j["verified"] = s.verified ? nlohmann::json(*s.verified) : nlohmann::json(nullptr);
    if (!s.check.is_null()) j["check"] = s.check;
    cards.push_back(std::move(j));
  }
  for (const auto& sp : slots)
    if (!sp->history_failure.empty()) {
      out.doc()["history"] = sp->history_failure;
      if (!out.json()) std::fprintf(stderr, "%s\n", sp->history_failure.c_str());
      break;
    }
  out.doc()["file"] = path_;
  out.doc()["cards"] = std::move(cards);
  if (s_.interrupted()) return s_.interrupted_exit();
  return worst;
}

// An FPGA file has no match check: the run is asked about once, naming every card it goes onto.
// Declined (or not asked: no terminal, no --yes), every card ends declined before anything is
// sent, and its history row says so. True when the run goes ahead.
bool decline_unless_confirmed(Session& s, const std::string& path, const ImageFile& image,
                              std::vector<std::unique_ptr<Slot>>& slots) {
  std::string onto;
  for (const auto& slot : slots)
    if (slot->card) onto += (onto.empty() ? "" : ", ") + ("card " + std::to_string(slot->index) + " (" + slot->board + ")");
  if (onto.empty()) return true;  // no card could be opened: nothing to ask about
  std::string why;
  const int rc = confirm_fpga(s, path, image, onto, why);
  if (rc == EXIT_OK) return true;
  for (auto& slot : slots) {
    if (!slot->card) continue;
    slot->exit = rc;
    slot->result = why == "declined" ? "declined" : "refused";
    slot->detail = why == "declined" ? "answered no" : why;
    slot->stage.store(static_cast<int>(Stage::Done));
    if (!slot->end->finish(slot->result + ": " + slot->detail) && slot->end->begun())
      slot->history_failure = slot->end->history_failure();
  }
  return false;
}

}  // namespace

int cmd_upgrade_many(Session& s, const std::string& what, const std::string& path) {
  Output& out = s.out();
  if (what != "firmware" && what != "fpga") return out.fail(EXIT_USAGE, "upgrade takes firmware or fpga");
  const bool fpga = what == "fpga";
  std::string error;
  std::optional<ImageFile> loaded = ImageFile::load(path, &error);
  if (!loaded) return out.fail(EXIT_USAGE, error);
  if (loaded->empty()) return out.fail(EXIT_IMAGE_REFUSED, path + " is empty");
  const auto image = std::make_shared<const ImageFile>(std::move(*loaded));
  if (fpga) {
    if (const int rc = check_fpga_marks(s, path, *image, error); rc != EXIT_OK) return rc;
  } else if (std::string why = upgrade_image_refusal(UpgradePath::None, UPGRADE_KIND_USB, path, image->data());
             !why.empty()) {
    // The boot image is judged once for every card; each card's path limit by its own worker.
    return out.fail(EXIT_IMAGE_REFUSED, why);
  }

  // The cards named, in the order of the card list.
  qhidev_list listed;
  qhidev_enum(listed);
  std::vector<uint32_t> chosen;
  if (const int rc = choose_cards(s, listed, chosen); rc != EXIT_OK) {
    qhidev_release_all(listed);
    return rc;
  }
  std::set<std::string> listed_paths;
  for (uint32_t i = 0; i < listed.count; ++i)
    if (listed.items[i]) listed_paths.insert(listed.items[i]->path);
  std::vector<std::unique_ptr<Slot>> slots;
  for (uint32_t i : chosen) {
    const qhidev& d = *listed.items[i];
    auto slot = std::make_unique<Slot>();
    slot->index = i;
    slot->node = d.node;
    slot->path = d.path;
    slot->name = d.name;
    CardNames names = card_names(platform::backend(), d);
    slot->port = std::move(names.port);
    slot->serial = std::move(names.serial);
    slot->vendor_id = d.attributes.vendor_id;
    slot->product_id = d.attributes.product_id;
    slot->card = std::make_unique<Card>(d);
    const bool attached = slot->card->attach();
    // Another program upgrades this card: the claim kept the attach's reports from it.
    const qhidev* cur = slot->card->link().current();
    const std::shared_ptr<platform::CardClaim> claim = cur && cur->handle ? cur->handle->claim() : nullptr;
    const auto other = claim ? claim->upgrade_elsewhere() : std::nullopt;
    if (!attached || other) {
      slot->card.reset();
      slot->exit = other ? EXIT_BUSY : EXIT_NO_CARD;
      slot->result = other ? "busy" : "no card";
      slot->detail = other ? "card busy: " + other->text() : "cannot be opened";
      slot->stage.store(static_cast<int>(Stage::Done));
    } else {
      slot->board = slot->card->board() ? slot->card->board()->name : "unknown";
      slot->version_before =
          version_of(read_status_text(slot->card->link(), slot->card->status_page(0)).value_or(""));
    }
    slots.push_back(std::move(slot));
  }
  qhidev_release_all(listed);

  // Each attempt is on record before anything reaches its card, and ends however it ends. The
  // rows are begun here, one after the other, and each worker ends its own.
  const history::HistoryPath where = history::resolve_history_path(s.options().history_db);
  std::string history_failure;
  for (auto& slot : slots) {
    if (!slot->card) continue;
    slot->history = history::HistoryStore::open(where.path);
    slot->end = std::make_unique<UpgradeEnd>(slot->history, history::CardIdentity{slot->board, slot->serial, slot->port, slot->node},
                                             fpga ? UPGRADE_KIND_FPGA : UPGRADE_KIND_USB, path, image.get(),
                                             slot->version_before);
    if (history_failure.empty()) history_failure = slot->end->history_failure();
  }
  if (!history_failure.empty()) {
    // One message is enough: the upgrades go on without their record.
    out.doc()["history"] = history_failure;
    if (!out.json()) std::fprintf(stderr, "%s\n", history_failure.c_str());
  }
  const bool go = !fpga || decline_unless_confirmed(s, path, *image, slots);
  if (go && !out.json())
    std::fprintf(stderr, "upgrading %zu card%s with %s\n", slots.size(), slots.size() == 1 ? "" : "s", path.c_str());
  ManyUpgrade many(s, fpga ? UPGRADE_KIND_FPGA : UPGRADE_KIND_USB, path, image, std::move(listed_paths));
  return many.run(slots);
}

int worse_exit(int a, int b) {
  // Failed before no card before refused before busy; anything else (a signal) above all.
  auto severity = [](int code) {
    switch (code) {
      case EXIT_OK: return 0;
      case EXIT_BUSY: return 1;
      case EXIT_IMAGE_REFUSED: return 2;
      case EXIT_NO_CARD: return 3;
      case EXIT_FAILED: return 4;
      default: return 5;
    }
  };
  return severity(b) > severity(a) ? b : a;
}

int choose_cards(Session& s, const qhidev_list& listed, std::vector<uint32_t>& chosen) {
  std::string unknown;
  if (select_cards(listed, s.options().card, chosen, unknown)) return EXIT_OK;
  if (listed.count == 0) return s.out().fail(EXIT_NO_CARD, "no card found");
  const std::string attached = attached_cards_text(platform::backend(), listed);
  // As for one card: a port path that names no card is a mistake in the command line.
  if (looks_like_port_path(unknown))
    return s.out().fail(EXIT_USAGE, "no card on port " + unknown + "; attached: " + attached);
  return s.out().fail(EXIT_NO_CARD, "no card " + unknown + "; attached: " + attached);
}

bool select_cards(const qhidev_list& listed, const std::string& selection, std::vector<uint32_t>& chosen,
                  std::string& unknown) {
  chosen.clear();
  auto add = [&](uint32_t i) {
    if (std::find(chosen.begin(), chosen.end(), i) == chosen.end()) chosen.push_back(i);
  };
  size_t start = 0;
  while (start <= selection.size()) {
    const size_t comma = selection.find(',', start);
    const std::string token = selection.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    start = comma == std::string::npos ? selection.size() + 1 : comma + 1;
    if (token.empty()) continue;
    if (token == "all") {
      for (uint32_t i = 0; i < listed.count; ++i)
        if (listed.items[i]) add(i);
      continue;
    }
    uint32_t index = 0;
    bool found = false;
    if (parse_number(token, index)) {
      found = index < listed.count && listed.items[index];
    } else if (const int at = card_on_port(platform::backend(), listed, token); at >= 0) {
      index = static_cast<uint32_t>(at);
      found = true;
    } else {
      for (uint32_t i = 0; i < listed.count && !found; ++i) {
        const qhidev* d = listed.items[i].get();
        if (d && (d->node == token || d->path == token)) {
          index = i;
          found = true;
        }
      }
    }
    if (!found) {
      unknown = token;
      return false;
    }
    add(index);
  }
  std::sort(chosen.begin(), chosen.end());
  if (chosen.empty()) {
    unknown = "'" + selection + "'";
    return false;
  }
  return true;
}

}  // namespace kestrel::cli
