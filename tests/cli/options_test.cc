#include "cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/settings.h"
#include "cli/startup.h"

namespace kiln::cli {
namespace {

// Runs option processing over the words, with fresh settings.
struct options_run {
  int outcome = 0;
  int first_target = -1;
  std::string err;
};

options_run run(std::vector<std::string> words, const char* program = "kiln") {
  cfg = settings();
  mode_from_program_name(program);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.insert(argv.begin(), const_cast<char*>(program));
  argv.push_back(nullptr);
  options_run r;
  testing::internal::CaptureStderr();
  r.outcome = process_options(static_cast<int>(argv.size()) - 1, argv.data(), &r.first_target);
  r.err = testing::internal::GetCapturedStderr();
  return r;
}

TEST(Options, ProcessedInOrderUpToTheFirstTarget) {
  options_run r = run({"-a", "-j", "3", "-k", "all", "-j", "5"});
  EXPECT_EQ(r.outcome, options_continue);
  EXPECT_EQ(r.first_target, 5);  // argv[5] is "all"
  EXPECT_EQ(cfg.jobs, 3);
  EXPECT_TRUE(cfg.keep_going);
  EXPECT_EQ(cfg.mode, mode_all);
}

TEST(Options, JobCountBounds) {
  EXPECT_EQ(run({"-a", "-j", "1000"}).outcome, options_continue);
  EXPECT_EQ(cfg.jobs, 1000);
  EXPECT_EQ(run({"-a", "-j", "1001"}).outcome, 2);
  EXPECT_EQ(run({"-a", "-j", "0"}).outcome, 2);
  EXPECT_EQ(run({"-a", "-j", "a"}).outcome, options_continue);
  EXPECT_GE(cfg.jobs, 1);
  EXPECT_LE(cfg.jobs, 384);
}

TEST(Options, HugeJobCountsDoNotWrapIntoRange) {
  EXPECT_EQ(run({"-a", "-j", "4294967297"}).outcome, 2);
  EXPECT_EQ(run({"-a", "-j", "-4294967295"}).outcome, 2);
  EXPECT_EQ(run({"-a", "-j", "12abc"}).outcome, options_continue);  // the leading number
  EXPECT_EQ(cfg.jobs, 12);
}

TEST(Options, LoadAverage) {
  EXPECT_EQ(run({"-a", "-l", "2.5"}).outcome, options_continue);
  EXPECT_DOUBLE_EQ(cfg.load_limit, 2.5);
  options_run r = run({"-a", "-l", "2.5x"});
  EXPECT_EQ(r.outcome, 2);
  EXPECT_EQ(r.err, "kiln: invalid load average limit: 2.5x\n");
  EXPECT_EQ(run({"-a", "-l", ""}).outcome, 2);
  EXPECT_EQ(run({"-a", "-l", "nan"}).outcome, 2);
  EXPECT_EQ(run({"-a", "-l", "a"}).outcome, options_continue);
  EXPECT_GE(cfg.load_limit, 1.0);
}

TEST(Options, OutputSyncByFirstLetter) {
  const struct {
    const char* arg;
    int mode;
  } cases[] = {{"none", sync_none}, {"line", sync_line}, {"t", sync_target}, {"recurse", sync_recurse}};
  for (const auto& c : cases) {
    EXPECT_EQ(run({"-a", "-O", c.arg}).outcome, options_continue) << c.arg;
    EXPECT_EQ(cfg.output_sync, c.mode) << c.arg;
  }
  options_run r = run({"-a", "-O", "x"});
  EXPECT_EQ(r.outcome, 2);
  EXPECT_EQ(r.err.substr(0, 7), "Usage:\n");
}

TEST(Options, CombinationChecksAfterTheOptions) {
  EXPECT_EQ(run({"-q", "-c", "-a"}).outcome, 2);
  EXPECT_EQ(run({"-a", "-b", "-q"}).outcome, 2);
  EXPECT_EQ(run({"-c", "-b", "-a"}).outcome, options_continue);
  EXPECT_EQ(run({"-j", "2"}).outcome, 2);        // neither mode nor -f
  EXPECT_EQ(run({"-t", "-f", "K"}).outcome, 2);  // both
  EXPECT_EQ(run({"-h", "-a"}).outcome, 2);
  EXPECT_EQ(run({"-Z", "-a"}).outcome, 2);
  EXPECT_EQ(run({"-a", "-j"}).outcome, 2);  // missing argument
}

TEST(Options, StrictlyInOrder) {
  // An error before -v wins; -v before an error ends processing first.
  EXPECT_EQ(run({"-j", "0", "-v"}).outcome, 2);
  testing::internal::CaptureStdout();
  EXPECT_EQ(run({"-v", "-j", "0"}).outcome, 0);
  EXPECT_EQ(run({"-G", "-Z"}).outcome, 0);
  testing::internal::GetCapturedStdout();
  // Options after the first target are target names.
  options_run r = run({"-t", "x", "-j", "0"});
  EXPECT_EQ(r.outcome, options_continue);
  EXPECT_EQ(r.first_target, 2);
  EXPECT_EQ(cfg.jobs, 1);
}

TEST(Options, ChdirFailure) {
  options_run r = run({"-C", "/nonexistent/kiln-dir", "-a"});
  EXPECT_EQ(r.outcome, 2);
  EXPECT_EQ(r.err, "kiln: failed to chdir to /nonexistent/kiln-dir\n");
}

TEST(Options, ModesFromNamesAndConflicts) {
  EXPECT_EQ(run({"-t"}, "/usr/bin/klnt").outcome, options_continue);
  EXPECT_TRUE(cfg.short_name_start);
  EXPECT_EQ(cfg.mode, mode_this);
  options_run r = run({"-p"}, "klna");
  EXPECT_EQ(r.outcome, 2);
  EXPECT_EQ(r.err.substr(0, 22), "Ambiguous mode\nUsage:\n");
  EXPECT_EQ(run({"-f", "K"}, "klnp").outcome, 2);
  EXPECT_EQ(run({"-f", "K"}).outcome, options_continue);
  EXPECT_EQ(cfg.description_file, "K");
}

TEST(Options, PretendListIsNewestFirst) {
  run({"-a", "-W", "a", "-X", "b", "-o", "c", "-r", "d"});
  std::vector<std::string> names;
  std::vector<bool> old, invocation;
  for (const pretend_entry& p : cfg.pretend) {
    names.push_back(p.name);
    old.push_back(p.very_old);
    invocation.push_back(p.relative_to_invocation);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"d", "c", "b", "a"}));
  EXPECT_EQ(old, (std::vector<bool>{true, true, false, false}));
  EXPECT_EQ(invocation, (std::vector<bool>{true, false, true, false}));
}

TEST(Options, ProcessorCountLimits) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(processor_count(0), 1);
  EXPECT_EQ(processor_count(500), 384);
  EXPECT_EQ(processor_count(8), 8);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "kiln: can't detect CPU count, assuming 1.\nkiln: capping CPU count at 384.\n");
}

}  // namespace
}  // namespace kiln::cli
