// Joins the jobserver of the make that runs it, takes one token and gives
// it back, and says what happened on standard output.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/makeflags.h"
#include "jobserver/jobserver.h"

int main() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = [](int) {};
  sigaction(SIGALRM, &sa, nullptr);
  const char* flags = getenv("MAKEFLAGS");
  kiln::cli::makeflags_values v = kiln::cli::parse_makeflags(flags ? flags : "");
  int joined = kiln::jobserver::jobserver_join(v.has_fds, v.fds, v.has_auth, v.auth);
  int taken = joined == 0 ? kiln::jobserver::jobserver_try_acquire() : 0;
  if (taken) kiln::jobserver::jobserver_release();
  printf("joined=%d taken=%d\n", joined, taken);
  return 0;
}
