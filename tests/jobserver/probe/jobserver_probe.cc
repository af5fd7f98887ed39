// A stand-in for a sub-make: joins the jobserver named in MAKEFLAGS the way
// kiln does at start-up, takes one token and gives it back, and reports on
// standard output:
//   joined=<join result> fifo=<0|1> taken=<0|1> makeflags=<gone|left>
// Lives in its own folder so that the unit-test binaries do not link it.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "jobserver/jobserver.h"

namespace {

void on_alarm(int) {}

}  // namespace

int main() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_alarm;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, nullptr);  // no SA_RESTART: the token timer interrupts

  kiln::jobserver::read_makeflags();
  bool gone = getenv("MAKEFLAGS") == nullptr;
  int joined = kiln::jobserver::jobserver_join();
  int taken = joined == 0 ? kiln::jobserver::jobserver_try_acquire() : 0;
  if (taken) kiln::jobserver::jobserver_release();
  printf("joined=%d fifo=%d taken=%d makeflags=%s\n", joined,
         kiln::jobserver::fifo_path().empty() ? 0 : 1, taken, gone ? "gone" : "left");
  return 0;
}
