#include "platform/card_claim.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

namespace kestrel::platform {

namespace {

// Another program's transaction is one request and its answer: the card answers or the
// exchange gives up within about a second. Longer than this, it is not a transaction.
constexpr auto kTransactionWait = std::chrono::milliseconds(3000);
constexpr auto kRetry = std::chrono::milliseconds(1);
constexpr const char* kUpgradeMark = "upgrade ";

std::mutex g_claims_mu;
std::map<std::string, std::weak_ptr<CardClaim>>& claims() {
  static std::map<std::string, std::weak_ptr<CardClaim>> m;
  return m;
}

std::string file_name(const std::string& key) {
  std::string name = "kestrel-card-";
  for (char c : key) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    name += plain ? c : '_';
  }
  return name + ".lock";
}

}  // namespace

std::string ClaimHolder::text() const {
  std::string t = "an upgrade is under way";
  if (!program.empty()) t += " (" + program + ", pid " + std::to_string(pid) + ")";
  return t;
}

std::string CardClaim::directory() {
  if (const char* d = std::getenv("KESTREL_LOCK_DIR"); d && *d) return d;
  if (::access("/run/lock", W_OK) == 0) return "/run/lock";
  return "/tmp";
}

std::shared_ptr<CardClaim> CardClaim::of(const std::string& key) {
  std::lock_guard<std::mutex> g(g_claims_mu);
  std::weak_ptr<CardClaim>& slot = claims()[key];
  if (auto c = slot.lock()) return c;
  std::shared_ptr<CardClaim> c(new CardClaim(key));
  slot = c;
  return c;
}

CardClaim::CardClaim(std::string key) : key_(std::move(key)) {}

CardClaim::~CardClaim() {
  if (fd_ >= 0) ::close(fd_);  // closing releases a flock still held
}

bool CardClaim::open_file() {
  if (fd_ >= 0) return true;
  const std::string path = directory() + "/" + file_name(key_);
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd_ < 0) return false;
  // Every user who may use the card takes part, whatever the creator's umask.
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 0666) != 0666) ::fchmod(fd_, 0666);
  return true;
}

std::optional<ClaimHolder> CardClaim::read_holder() {
  char buf[128] = {};
  const ssize_t n = ::pread(fd_, buf, sizeof buf - 1, 0);
  if (n <= 0) return std::nullopt;
  const std::string text(buf, static_cast<size_t>(n));
  if (text.rfind(kUpgradeMark, 0) != 0) return std::nullopt;
  ClaimHolder h;
  const size_t name_at = std::char_traits<char>::length(kUpgradeMark);
  const size_t space = text.find(' ', name_at);
  if (space == std::string::npos) return h;
  h.program = text.substr(name_at, space - name_at);
  h.pid = std::strtol(text.c_str() + space + 1, nullptr, 10);
  return h;
}

void CardClaim::write_mark() {
  // What another program names when it finds the card taken: "upgrade kestrelctl 1234".
  const std::string mark = kUpgradeMark + std::string(program_invocation_short_name) + " " + std::to_string(::getpid()) + "\n";
  if (fd_ >= 0 && ::ftruncate(fd_, 0) == 0 && ::pwrite(fd_, mark.data(), mark.size(), 0) < 0) {
    // Unmarked, the claim still keeps others out; they only cannot name its holder.
  }
}

bool CardClaim::acquire(bool exclusive, ClaimHolder* busy) {
  std::lock_guard<std::mutex> g(mu_);
  if (exclusive_ + transactions_ > 0) {
    // This program holds the card already: count, and mark an upgrade that begins inside.
    if (exclusive && exclusive_ == 0) {
      write_mark();
    }
    ++(exclusive ? exclusive_ : transactions_);
    return true;
  }
  // A lock directory that cannot be used leaves the card unclaimed rather than unusable.
  if (!open_file()) {
    ++(exclusive ? exclusive_ : transactions_);
    return true;
  }
  const auto give_up = std::chrono::steady_clock::now() + kTransactionWait;
  for (;;) {
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      ++(exclusive ? exclusive_ : transactions_);
      return true;
    }
    if (auto h = read_holder()) {
      if (busy) *busy = *h;
      return false;
    }
    if (std::chrono::steady_clock::now() >= give_up) {
      if (busy) *busy = ClaimHolder{};
      return false;
    }
    std::this_thread::sleep_for(kRetry);
  }
  if (exclusive) {
    write_mark();
  } else {
    // A mark left by a program that died mid-upgrade: the lock is free, so the mark is stale.
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_size > 0 && ::ftruncate(fd_, 0) != 0) {}
  }
  ++(exclusive ? exclusive_ : transactions_);
  return true;
}

void CardClaim::release(bool exclusive) {
  std::lock_guard<std::mutex> g(mu_);
  int& n = exclusive ? exclusive_ : transactions_;
  if (n == 0) return;
  --n;
  if (fd_ < 0) return;
  if (exclusive && exclusive_ == 0 && ::ftruncate(fd_, 0) != 0) {}
  if (exclusive_ + transactions_ == 0) ::flock(fd_, LOCK_UN);
}

bool CardClaim::take_exclusive(ClaimHolder* busy) { return acquire(true, busy); }
void CardClaim::release_exclusive() { release(true); }
bool CardClaim::begin_transaction(ClaimHolder* busy) { return acquire(false, busy); }
void CardClaim::end_transaction() { release(false); }

std::optional<ClaimHolder> CardClaim::upgrade_elsewhere() {
  std::lock_guard<std::mutex> g(mu_);
  if (exclusive_ + transactions_ > 0 || !open_file()) return std::nullopt;
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
    ::flock(fd_, LOCK_UN);
    return std::nullopt;
  }
  return read_holder();
}

}  // namespace kestrel::platform
