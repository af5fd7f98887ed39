#include "cli/diag.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/settings.h"

namespace kiln {

settings cfg;

namespace diag {

int depth = 0;
fatal_hooks hooks;

void vfatal(const char* fmt, va_list ap) {
  if (hooks.remove_fifo) hooks.remove_fifo();
  std::string full = "kiln: *** ";
  full += fmt;
  full += ". Exiting.\n";
  fflush(stdout);
  vfprintf(stderr, full.c_str(), ap);
  fflush(stderr);
  if (hooks.reap_children) hooks.reap_children();
  if (hooks.write_back_db && hooks.write_back_db() != 0) {
    fputs("kiln: Cannot write kiln database\n", stderr);
  }
  fflush(stdout);
  fflush(stderr);
  exit(2);
}

void fatal(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vfatal(fmt, ap);
}

void internal_error() {
  fflush(stdout);
  fflush(stderr);
  signal(SIGABRT, SIG_DFL);
  if (hooks.release_engine) hooks.release_engine();
  abort();
}

void internal_error(const char* marker) {
  puts(marker);
  internal_error();
}

static void crash_handler(int) { internal_error(); }

void install_crash_handlers() {
  static const int signals[] = {SIGSEGV, SIGFPE,  SIGILL,  SIGQUIT, SIGSYS,
                                SIGXCPU, SIGXFSZ, SIGABRT, SIGBUS};
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = crash_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : signals) sigaction(sig, &sa, nullptr);
}

void trace_indent() {
  for (int i = 0; i < depth; i++) putchar(' ');
}

void trace(const char* fmt, ...) {
  trace_indent();
  va_list ap;
  va_start(ap, fmt);
  vprintf(fmt, ap);
  va_end(ap);
}

}  // namespace diag
}  // namespace kiln
