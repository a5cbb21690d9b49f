// Which process ran a history row, told apart from a later process that got the same pid: the
// pid, the process's start time in clock ticks since boot, and the boot's id. A row whose owner
// is no longer alive was interrupted (killed, crashed, or the machine lost power).
#pragma once

#include <cstdint>
#include <string>

namespace kestrel::history {

struct ProcessOwner {
  int64_t pid = 0;           // 0: not recorded
  uint64_t start_ticks = 0;  // field 22 of /proc/<pid>/stat; 0 when /proc cannot be read
  std::string boot_id;       // /proc/sys/kernel/random/boot_id; empty when it cannot be read
};

// This process (read again after a fork).
ProcessOwner self_owner();
// True while `owner` runs: same boot, the pid exists with the same start time and is not a
// zombie. A row without a pid (written before owners were recorded) is never alive.
bool owner_alive(const ProcessOwner& owner);

}  // namespace kestrel::history
