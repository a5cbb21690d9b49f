// The host's claim on a card, shared by every Kestrel program on the machine.
//
// Each program numbers its own requests and fetches its answers with GET_REPORT, so two programs
// that talk to one card at once can take each other's answers, and a status poll sent into a
// running upgrade can spoil it. The claim is a lock file per card (flock: the kernel releases it
// when a program dies), held
//   - exclusively for an upgrade, or any other write to the card's flash, from before its first
//     frame to after its unlock: the holder writes "upgrade PROGRAM PID" into the file, and every
//     other program sends nothing while it is there;
//   - for the length of one transaction otherwise, so that two programs' transactions never
//     interleave (a program that finds another's transaction waits for it, briefly).
// Within one program the claim is counted, not locked again: the upgrade's own transactions pass.
//
//   auto claim = CardClaim::of(key);
//   ClaimHolder other;
//   if (!claim->take_exclusive(&other)) say("card busy: " + other.text());
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kestrel::platform {

// Who holds a card for an upgrade.
struct ClaimHolder {
  std::string program;  // "kestrelctl", "kestrel"; empty when not known
  long pid = 0;
  // "an upgrade is under way (kestrelctl, pid 1234)"
  std::string text() const;
};

class CardClaim {
 public:
  // The claim of the card known as `key` (stable while the card is plugged: its hidraw node's
  // device number, or the name a simulated card shares). One object per card in a program.
  static std::shared_ptr<CardClaim> of(const std::string& key);
  // Where the lock files lie: $KESTREL_LOCK_DIR, else /run/lock when it can be written, else /tmp.
  static std::string directory();

  ~CardClaim();
  CardClaim(const CardClaim&) = delete;
  CardClaim& operator=(const CardClaim&) = delete;

  // For an upgrade: never waits for another program's upgrade (false, with its holder in
  // `busy`); waits out another program's transaction.
  bool take_exclusive(ClaimHolder* busy = nullptr);
  void release_exclusive();
  // For one transaction: false, with the holder, while another program upgrades the card (or
  // another program's transaction outlasts the wait: no holder then).
  bool begin_transaction(ClaimHolder* busy = nullptr);
  void end_transaction();

  // Another program's upgrade holds the card now; nullopt when it is free or this program holds
  // it. Sends nothing and never waits: the window asks this on every tick.
  std::optional<ClaimHolder> upgrade_elsewhere();

  const std::string& key() const { return key_; }

 private:
  explicit CardClaim(std::string key);
  bool acquire(bool exclusive, ClaimHolder* busy);
  void release(bool exclusive);
  bool open_file();
  std::optional<ClaimHolder> read_holder();
  void write_mark();

  std::string key_;
  std::mutex mu_;
  int fd_ = -1;
  int exclusive_ = 0;    // this program's upgrades in progress
  int transactions_ = 0; // this program's transactions in progress
};

// One transaction under the claim (a no-op without one). It keeps the claim alive: the device it
// came from may be released meanwhile.
class ClaimedTransaction {
 public:
  explicit ClaimedTransaction(std::shared_ptr<CardClaim> claim, ClaimHolder* busy = nullptr)
      : claim_(std::move(claim)), ok_(!claim_ || claim_->begin_transaction(busy)) {}
  ~ClaimedTransaction() {
    if (claim_ && ok_) claim_->end_transaction();
  }
  ClaimedTransaction(const ClaimedTransaction&) = delete;
  ClaimedTransaction& operator=(const ClaimedTransaction&) = delete;
  bool ok() const { return ok_; }

 private:
  std::shared_ptr<CardClaim> claim_;
  bool ok_;
};

// The claim held exclusively for the scope (an upgrade, a write of the card's flash); a no-op
// without one.
class ExclusiveClaim {
 public:
  explicit ExclusiveClaim(std::shared_ptr<CardClaim> claim, ClaimHolder* busy = nullptr)
      : claim_(std::move(claim)), ok_(!claim_ || claim_->take_exclusive(busy)) {}
  ~ExclusiveClaim() {
    if (claim_ && ok_) claim_->release_exclusive();
  }
  ExclusiveClaim(const ExclusiveClaim&) = delete;
  ExclusiveClaim& operator=(const ExclusiveClaim&) = delete;
  bool ok() const { return ok_; }

 private:
  std::shared_ptr<CardClaim> claim_;
  bool ok_;
};

}  // namespace kestrel::platform
