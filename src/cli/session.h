// One kestrelctl run against one card: the backend (real hidraw or a simulated card), the log
// sinks, the trace, and a CardSession with its card — the same session the desktop window holds.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "card/card_session.h"
#include "cli/output.h"
#include "devlink/reader.h"
#include "platform/hid_backend.h"

namespace kestrel::sim {
class SimBackend;
}

namespace kestrel::cli {

struct GlobalOptions {
  std::string card;        // index into the card list, or a node / interface path
  std::string simulate;    // board name
  bool json = false;
  std::string log_file;
  std::string log_level;   // level mask, hex or decimal
  std::string log_modules; // module mask, hex or decimal
  std::string history_db;  // the upgrade history database; empty: KESTREL_HISTORY, then the XDG state folder
  bool yes = false;
  bool force = false;
  bool trace = false;
  std::string sim_report_log;  // (tests) write the simulated card's received reports here at exit
  std::string sim_hostile;     // (tests) seed: the simulated card lies, stalls, floods and leaves
  uint32_t sim_page_ms = 0;    // (tests) the simulated card takes this long per flash page and
                               // ten times as long per erase block
  std::string sim_after_upgrade;  // (tests) restart | replug | old: what the card does after an
                                  // upgrade (restart by itself; wait for a replug; restart into
                                  // its old firmware)
  uint32_t sim_replug_after_s = 0;  // (tests) a simulated user replugs the card this long after
                                    // being told it needs a restart
  uint32_t sim_refuse_opens = 0;  // (tests) a simulated card back from its restart refuses this
                                  // many read-write opens, as before udev gives the user access
  std::vector<std::string> sim_drop;  // (tests) command codes the simulated card never answers
  std::string sim_shared_claim;  // (tests) the simulated card takes part in the machine's card
                                 // claims under this name, as one card several programs use
};

class Session {
 public:
  Session(const GlobalOptions& opt, Output& out);
  ~Session();

  // Backend, log and trace. 0 or an exit code (with the error already reported).
  int setup();
  // Scans and attaches the chosen card, as the desktop program does at start. 0 or an exit code.
  int attach();
  // Starts the input-report reader (for commands that listen to the card).
  void start_reader();

  CardSession& card_session() { return *card_; }
  // The card chosen (attached once the session has started).
  Card& card() { return card_->card(); }
  qhidev_list& list() { return list_; }
  Output& out() { return out_; }
  const GlobalOptions& options() const { return opt_; }
  sim::SimBackend* sim() const { return sim_.get(); }

  // Runs posted commands and 10 ms ticks until `seconds` pass (0: until interrupted) or a
  // SIGINT or SIGTERM arrives.
  void run_loop(double seconds);
  // The signal (SIGINT, SIGTERM, SIGHUP or SIGQUIT) that asked the run to stop; 0 while none came.
  int stop_signal() const;
  // Reports the stop and answers its exit code, 128 + the signal number (130, 143).
  int interrupted_exit();
  // Delivers the commands the card's reader and logic posted.
  void drain_posted();
  // True once SIGINT, SIGTERM, SIGHUP or SIGQUIT arrived.
  bool interrupted() const;

 private:
  int attach_chosen();

  const GlobalOptions& opt_;
  Output& out_;
  std::unique_ptr<sim::SimBackend> sim_;
  std::unique_ptr<platform::HidBackend> hidraw_;
  std::unique_ptr<platform::HidBackend> trace_;
  std::unique_ptr<platform::HidBackend> claimed_;
  FILE* log_file_ = nullptr;
  qhidev_list list_;
  std::unique_ptr<CardSession> card_;
  ReaderControl reader_;
  std::thread reader_thread_;
};

// A number on the command line: decimal, or hex with 0x. False for anything else.
bool parse_number(const std::string& text, uint32_t& out);
// A number of seconds on the command line (--seconds, --timeout): above 0 and at most
// kMaxSeconds. "" when it is one, else what is wrong with it.
constexpr double kMaxSeconds = 1e9;
std::string check_seconds(const std::string& text);

}  // namespace kestrel::cli
