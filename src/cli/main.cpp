// kestrelctl: the command-line front end.
#include <cstdio>
#include <cstring>

#include "log/clock.h"
#include "log/log.h"

int main(int argc, char** argv) {
  using namespace kestrel;
  clock_init();
  log_attach_stream(stdout);
  log_printf(0, " kestrel 2.0.6800 build 2024-12-25 10:01:06 +0800 CST\r\n");
  log_attach_stream(nullptr);
  if (argc > 1 && std::strcmp(argv[1], "--version") != 0) {
    std::fprintf(stderr, "kestrelctl: no card commands yet in this build\n");
    return 2;
  }
  return 0;
}
