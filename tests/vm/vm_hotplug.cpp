// kestrel-vm-hotplug: what the hidraw backend's hotplug monitor reports, for the kernel-level
// test. Prints "ready" once the monitor listens, then one line per notification
// ("arrival /dev/hidraw0", "removal /dev/hidraw0") until it has seen --events of them or
// --seconds have passed.
//
//   kestrel-vm-hotplug [--seconds S] [--events N]
//
// Exit codes: 0 the notifications came, 1 too few came in time, 2 the backend has no monitor.
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/hidraw_backend.h"

int main(int argc, char** argv) {
  double seconds = 10;
  int wanted = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    else if (std::strcmp(argv[i], "--events") == 0) wanted = std::atoi(argv[i + 1]);
  }
  kestrel::platform::HidrawBackend backend;
  const int fd = backend.hotplug_fd();
  if (fd < 0) {
    std::printf("no hotplug monitor\n");
    return 2;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  int seen = 0;
  while (seen < wanted) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    for (const auto& e : backend.drain_hotplug()) {
      std::printf("%s %s\n", e.kind == kestrel::platform::HotplugEvent::Kind::Arrival ? "arrival" : "removal",
                  e.node.c_str());
      ++seen;
    }
    std::fflush(stdout);
  }
  return seen >= wanted ? 0 : 1;
}
