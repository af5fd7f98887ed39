#include "base/diag.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/hooks.h"
#include "base/settings.h"

namespace kiln {

settings cfg;

namespace diag {

int depth = 0;

// The steps of the fatal exit in their order. A fatal error raised while
// the exit is under way (a hook that fails fatally) prints its own line and
// continues with the steps not yet begun, so that the exit neither recurses
// nor skips the database write-back when only the reaping failed.
enum fatal_stage { stage_idle, stage_fifo, stage_reap, stage_write_back };
static fatal_stage g_stage = stage_idle;

void vfatal(const char* fmt, va_list ap) {
  if (g_stage == stage_idle) {
    g_stage = stage_fifo;
    if (up.remove_fifo) up.remove_fifo();
  }
  std::string full = "kiln: *** ";
  full += fmt;
  full += ". Exiting.\n";
  fflush(stdout);
  vfprintf(stderr, full.c_str(), ap);
  fflush(stderr);
  if (g_stage < stage_reap) {
    g_stage = stage_reap;
    if (up.reap_children) up.reap_children();
  }
  if (g_stage < stage_write_back) {
    g_stage = stage_write_back;
    if (up.write_back_db && up.write_back_db() != 0) {
      fputs("kiln: Cannot write kiln database\n", stderr);
    }
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
  if (up.release_engine) up.release_engine();
  abort();
}

void internal_error(const char* marker) {
  puts(marker);
  internal_error();
}

// The marker of a crash signal names the signal ("signal 11").
static void crash_handler(int sig) {
  char marker[32];
  snprintf(marker, sizeof marker, "signal %d", sig);
  internal_error(marker);
}

// The crash handlers run here, so that a stack overflow still ends in the
// internal-error abort instead of a second fault on the full stack.
static char crash_stack[64 * 1024];

void install_crash_handlers() {
  static const int signals[] = {SIGSEGV, SIGFPE,  SIGILL,  SIGQUIT, SIGSYS,
                                SIGXCPU, SIGXFSZ, SIGABRT, SIGBUS};
  stack_t ss;
  memset(&ss, 0, sizeof ss);
  ss.ss_sp = crash_stack;
  ss.ss_size = sizeof crash_stack;
  bool on_own_stack = sigaltstack(&ss, nullptr) == 0;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = crash_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART | (on_own_stack ? SA_ONSTACK : 0);
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
