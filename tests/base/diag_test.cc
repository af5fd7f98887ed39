#include "base/diag.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "base/hooks.h"

namespace kiln::diag {
namespace {

// The hooks below run inside the death-test child and report on standard
// error, where the death-test matcher can see them.
void say_fifo() { fputs("[fifo]", stderr); }
void say_reap() { fputs("[reap]", stderr); }
int say_write_ok() {
  fputs("[write]", stderr);
  return 0;
}
int say_write_fails() {
  fputs("[write]", stderr);
  return 1;
}
void reap_fails_fatally() {
  fputs("[reap]", stderr);
  fatal("Lost child %d", 7);
}
int write_fails_fatally() {
  fputs("[write]", stderr);
  fatal("Write broke");
}
void say_release() { fputs("[release]", stderr); }

TEST(FatalDeathTest, PrintsTheMessageAndExitsTwo) {
  up = hooks();
  EXPECT_EXIT(fatal("rule '%s' not found", "x.o"), testing::ExitedWithCode(2),
              "^kiln: \\*\\*\\* rule 'x.o' not found\\. Exiting\\.\n$");
}

TEST(FatalDeathTest, RunsItsStepsInOrder) {
  up = hooks();
  up.remove_fifo = say_fifo;
  up.reap_children = say_reap;
  up.write_back_db = say_write_ok;
  EXPECT_EXIT(fatal("Got SIGINT"), testing::ExitedWithCode(2),
              "^\\[fifo\\]kiln: \\*\\*\\* Got SIGINT\\. Exiting\\.\n\\[reap\\]\\[write\\]$");
}

TEST(FatalDeathTest, ReportsAFailedWriteBackAndStillExitsTwo) {
  up = hooks();
  up.write_back_db = say_write_fails;
  EXPECT_EXIT(fatal("Parsing failed"), testing::ExitedWithCode(2),
              "Exiting\\.\n\\[write\\]kiln: Cannot write kiln database\n$");
}

TEST(FatalDeathTest, AFatalErrorWhileReapingStillWritesTheDatabase) {
  up = hooks();
  up.reap_children = reap_fails_fatally;
  up.write_back_db = say_write_ok;
  EXPECT_EXIT(fatal("Got SIGTERM"), testing::ExitedWithCode(2),
              "^kiln: \\*\\*\\* Got SIGTERM\\. Exiting\\.\n\\[reap\\]"
              "kiln: \\*\\*\\* Lost child 7\\. Exiting\\.\n\\[write\\]$");
}

TEST(FatalDeathTest, AFatalErrorWhileWritingDoesNotRecurse) {
  up = hooks();
  up.write_back_db = write_fails_fatally;
  EXPECT_EXIT(fatal("Parsing failed"), testing::ExitedWithCode(2),
              "Parsing failed\\. Exiting\\.\n\\[write\\]kiln: \\*\\*\\* Write broke\\. "
              "Exiting\\.\n$");
}

TEST(InternalErrorDeathTest, AbortsAfterReleasingTheEngine) {
  up = hooks();
  up.release_engine = say_release;
  EXPECT_EXIT(internal_error("31.1"), testing::KilledBySignal(SIGABRT), "\\[release\\]");
}

TEST(InternalErrorDeathTest, CrashSignalsBecomeAborts) {
  up = hooks();
  up.release_engine = say_release;
  EXPECT_EXIT(
      {
        install_crash_handlers();
        raise(SIGSEGV);
      },
      testing::KilledBySignal(SIGABRT), "\\[release\\]");
}

// Recurses until the C stack is exhausted; the volatile frame and bound
// keep the compiler from turning the recursion into a loop.
volatile int g_recursion_bound = 1 << 30;

int overflow_stack(int n) {
  volatile char frame[512];
  frame[0] = static_cast<char>(n);
  if (n >= g_recursion_bound) return 0;
  return overflow_stack(n + 1) + frame[0];
}

// The handlers run on a stack of their own: with the C stack exhausted
// they still reach the internal-error abort.
TEST(InternalErrorDeathTest, StackOverflowBecomesAnAbort) {
  up = hooks();
  up.release_engine = say_release;
  EXPECT_EXIT(
      {
        install_crash_handlers();
        overflow_stack(0);
      },
      testing::KilledBySignal(SIGABRT), "\\[release\\]");
}

TEST(Trace, IndentsOneSpacePerDepth) {
  testing::internal::CaptureStdout();
  depth = 0;
  trace("top %d\n", 1);
  depth = 3;
  trace("deep %s\n", "x");
  trace_indent();
  depth = 0;
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "top 1\n   deep x\n   ");
}

}  // namespace
}  // namespace kiln::diag
