#include "history/process_owner.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <mutex>
#include <sstream>

namespace kestrel::history {

namespace {

struct StatFields {
  bool ok = false;
  char state = '?';
  uint64_t start_ticks = 0;
};

// /proc/<pid>/stat: "pid (comm) state ppid ..." where comm may hold spaces and parentheses, so
// the fields are counted from the last ')'. The start time is field 22.
StatFields read_stat(int64_t pid) {
  StatFields f;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!in || !std::getline(in, line)) return f;
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return f;
  std::istringstream rest(line.substr(close + 1));
  std::string field;
  for (int n = 3; rest >> field; ++n) {
    if (n == 3) f.state = field.empty() ? '?' : field[0];
    if (n == 22) {
      f.start_ticks = std::strtoull(field.c_str(), nullptr, 10);
      f.ok = true;
      break;
    }
  }
  return f;
}

std::string read_boot_id() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  if (in) std::getline(in, id);
  return id;
}

}  // namespace

ProcessOwner self_owner() {
  static std::mutex lock;
  static ProcessOwner cached;
  std::lock_guard<std::mutex> g(lock);
  const int64_t pid = getpid();
  if (cached.pid != pid) {
    cached.pid = pid;
    cached.start_ticks = read_stat(pid).start_ticks;
    cached.boot_id = read_boot_id();
  }
  return cached;
}

bool owner_alive(const ProcessOwner& owner) {
  if (owner.pid <= 0) return false;
  const std::string boot = read_boot_id();
  if (!owner.boot_id.empty() && !boot.empty() && owner.boot_id != boot) return false;
  const StatFields now = read_stat(owner.pid);
  if (now.ok) return owner.start_ticks == now.start_ticks && now.state != 'Z' && now.state != 'X';
  // No /proc: only whether some process has the pid can be told.
  if (owner.start_ticks == 0) return kill(static_cast<pid_t>(owner.pid), 0) == 0 || errno == EPERM;
  return false;
}

}  // namespace kestrel::history
