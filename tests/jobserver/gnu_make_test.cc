// kiln as a sub-make of GNU make: the probe, run by a "+" recipe, joins
// make's jobserver the way kiln does and takes a token from it.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "jobserver/test_support.h"

namespace kiln::jobserver {
namespace {

using testing_support::run_shell;
using testing_support::scratch_dir;

bool have_make() { return run_shell("make --version").starts_with("GNU Make"); }

// Writes a Makefile whose only recipe runs the probe (with prefix) and runs
// make with the given options in that directory.
std::string run_make(const std::string& prefix, const std::string& options) {
  scratch_dir dir;
  std::ofstream(dir.path() + "/Makefile") << "all:\n\t" << prefix << JOBSERVER_PROBE << "\n";
  return run_shell("make -s " + options + " -C " + dir.path());
}

TEST(GnuMake, RecursiveRecipeJoinsAndTakesAToken) {
  if (!have_make()) GTEST_SKIP() << "no GNU make";
  std::string out = run_make("+", "-j4");
  // The descriptor form is announced, the FIFO form is silent.
  bool by_fds = out == "kiln: Jobserver available\njoined=0 fifo=0 taken=1 makeflags=gone\n";
  bool by_fifo = out == "joined=0 fifo=1 taken=1 makeflags=gone\n";
  EXPECT_TRUE(by_fds || by_fifo) << out;
}

TEST(GnuMake, FifoStyleJoinsSilently) {
  if (!have_make()) GTEST_SKIP() << "no GNU make";
  if (run_shell("make --jobserver-style=fifo -s -f /dev/null -j2 all").find("unrecognized") !=
      std::string::npos) {
    GTEST_SKIP() << "this make has no FIFO jobserver";
  }
  EXPECT_EQ(run_make("+", "-j4 --jobserver-style=fifo"), "joined=0 fifo=1 taken=1 makeflags=gone\n");
}

TEST(GnuMake, SerialMakeOffersNoJobserver) {
  if (!have_make()) GTEST_SKIP() << "no GNU make";
  EXPECT_EQ(run_make("+", ""), "joined=-2 fifo=0 taken=0 makeflags=gone\n");
}

}  // namespace
}  // namespace kiln::jobserver
