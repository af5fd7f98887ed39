#include "cli/startup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/settings.h"
#include "jobserver/makeflags.h"

namespace kiln::cli {
namespace {

TEST(Startup, LastComponents) {
  EXPECT_EQ(last_components("/a/b/c", 2), "b/c");
  EXPECT_EQ(last_components("/a/b/c", 0), ".");
  EXPECT_EQ(last_components("/a/b/c", 3), "a/b/c");
  EXPECT_EQ(last_components("/a", 1), "a");
}

// Directory names longer than the first 1025-byte buffer are read whole.
TEST(Startup, CurrentDirectoryBeyondTheFirstBuffer) {
  char templ[] = "/tmp/kiln-cwd-XXXXXX";
  ASSERT_NE(mkdtemp(templ), nullptr);
  std::string saved = current_directory();
  std::string expected = templ;
  ASSERT_EQ(chdir(templ), 0);
  std::string component(100, 'd');
  for (int i = 0; i < 15; i++) {
    ASSERT_EQ(mkdir(component.c_str(), 0700), 0);
    ASSERT_EQ(chdir(component.c_str()), 0);
    expected += "/" + component;
  }
  ASSERT_GT(expected.size(), 1025u);
  std::string real = current_directory();
  ASSERT_EQ(chdir(saved.c_str()), 0);
  std::string rm = "rm -rf " + std::string(templ);
  ASSERT_EQ(system(rm.c_str()), 0);
  // /tmp may itself be a link; compare the part below it.
  EXPECT_EQ(real.substr(real.size() - (expected.size() - 4)), expected.substr(4));
}

struct forward_case {
  int mode;
  std::string forward;
  std::string printed;
};

TEST(Startup, ForwardPathPerMode) {
  dirs = directories();
  dirs.invocation = "/r/a/b/c";
  dirs.project = "/r/a";
  dirs.top_levels = 3;      // /r
  dirs.project_levels = 2;  // /r/a
  const forward_case cases[] = {
      {mode_this, "a/b/c", "kiln: Forward path: a/b/c\n"},
      {mode_project, "a", "kiln: Forward path: a\n"},
      {mode_all, ".", ""},
      {mode_none, ".", ""},
  };
  for (const forward_case& c : cases) {
    cfg = settings();
    cfg.mode = c.mode;
    testing::internal::CaptureStdout();
    compute_forward_path();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.mode;
    EXPECT_EQ(dirs.forward, c.forward) << c.mode;
    EXPECT_EQ(dirs.below_top, "a/b/c") << c.mode;
  }
  cfg = settings();
  cfg.mode = mode_this;
  cfg.silent = true;
  testing::internal::CaptureStdout();
  compute_forward_path();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Startup, PretendNamesJoinTheirDirectory) {
  cfg = settings();
  dirs = directories();
  dirs.forward = "src";
  dirs.below_top = "src/sub";
  // Newest first, as option processing builds the list.
  cfg.pretend = {{"./lib//y.o", false, true}, {"../x.h", true, false}};
  resolve_pretend_list();
  const pretend_entry& mode_dir = cfg.pretend[0];
  const pretend_entry& invocation = cfg.pretend[1];
  EXPECT_EQ(mode_dir.name, "src/lib/y.o");
  EXPECT_TRUE(mode_dir.very_old);
  EXPECT_EQ(invocation.name, "src/x.h");
  EXPECT_FALSE(invocation.relative_to_invocation);
  cfg.pretend.clear();
}

TEST(StartupDeathTest, OverlongPretendNameIsFatal) {
  cfg = settings();
  dirs = directories();
  dirs.forward = ".";
  cfg.pretend = {{std::string(5000, 'p'), false, false}};
  EXPECT_EXIT(resolve_pretend_list(), testing::ExitedWithCode(2),
              "^kiln: \\*\\*\\* too long pathname to pretend: \\./p+\\. Exiting\\.\n$");
  cfg.pretend.clear();
}

TEST(Makeflags, CommandLineOutputSyncWins) {
  cfg = settings();
  cfg.output_sync = sync_none;  // as if -O n was given
  apply_makeflags_output_sync(jobserver::parse_makeflags("-Orecurse"));
  EXPECT_EQ(cfg.output_sync, sync_none);
  EXPECT_TRUE(cfg.parent_syncs_output);

  cfg = settings();
  apply_makeflags_output_sync(jobserver::parse_makeflags("-O n"));
  EXPECT_EQ(cfg.output_sync, sync_none);
  EXPECT_FALSE(cfg.parent_syncs_output);

  cfg = settings();
  apply_makeflags_output_sync(jobserver::inherited_flags());
  EXPECT_EQ(cfg.output_sync, sync_unset);
}

// The Kilnfile's database version and output sync yield to the command
// line; every table size it gives reaches the settings, and the sizes it
// leaves out keep their defaults.
// The string index starts large enough for the parsed names, never below
// the configured size.
TEST(Startup, StringIndexStartsAtTheSizeTheParsedNamesNeed) {
  front::rule_list parsed;
  parsed.rules.resize(1000);
  for (graph::parsed_rule& pr : parsed.rules) pr.deps.resize(99);  // 99,000 names
  EXPECT_EQ(string_index_size(parsed, 8192), 32768u);
  EXPECT_EQ(string_index_size(parsed, 65536), 65536u);
  EXPECT_EQ(string_index_size(front::rule_list{}, 8192), 8192u);
}

TEST(Startup, DirectivesYieldToOptionsAndSetEveryGivenSize) {
  front::directive_values d;
  d.db_version = db_v2;
  d.output_sync = sync_target;
  d.expected_deps = 2;
  d.expected_strings = 4;
  d.stat_cache_size = 8;
  d.access_cache_size = 16;
  d.stat_hash_size = 32;
  d.access_hash_size = 64;
  d.db_hash_size = 128;
  d.tsdb_hash_size = 256;
  cfg = settings();
  cfg.db_version = db_v1;  // -e
  apply_directives(d);
  EXPECT_EQ(cfg.db_version, db_v1);
  EXPECT_EQ(cfg.output_sync, sync_target);
  const size_t given[] = {cfg.expected_deps,   cfg.expected_strings, cfg.stat_cache_size,
                          cfg.access_cache_size, cfg.stat_hash_size, cfg.access_hash_size,
                          cfg.db_hash_size,    cfg.tsdb_hash_size};
  for (size_t i = 0; i < 8; i++) EXPECT_EQ(given[i], size_t{2} << i) << i;

  cfg = settings();
  cfg.output_sync = sync_line;  // -O l
  apply_directives(front::directive_values());
  EXPECT_EQ(cfg.output_sync, sync_line);
  EXPECT_EQ(cfg.db_version, db_unset);
  EXPECT_EQ(cfg.expected_strings, settings().expected_strings);
  EXPECT_EQ(cfg.db_hash_size, settings().db_hash_size);
  cfg = settings();
}

TEST(Startup, RecursionCheckSetsOwnPid) {
  cfg = settings();
  setenv("KILNPID", "1", 1);
  check_recursion();
  EXPECT_TRUE(cfg.kilnpid_present);
  EXPECT_EQ(atol(getenv("KILNPID")), static_cast<long>(getpid()));
  // A value that wraps onto the parent's pid as an int is no match.
  std::string wrapped = std::to_string(4294967296L + getppid());
  setenv("KILNPID", wrapped.c_str(), 1);
  check_recursion();
  EXPECT_EQ(atol(getenv("KILNPID")), static_cast<long>(getpid()));
  cfg = settings();
  unsetenv("KILNPID");
  check_recursion();
  EXPECT_FALSE(cfg.kilnpid_present);
  EXPECT_EQ(atol(getenv("KILNPID")), static_cast<long>(getpid()));
  unsetenv("KILNPID");
}

TEST(StartupDeathTest, RecursionBelowTheParentIsRefused) {
  // The death-test child's parent is this process.
  setenv("KILNPID", std::to_string(getpid()).c_str(), 1);
  EXPECT_EXIT(check_recursion(), testing::ExitedWithCode(2),
              "^(kiln: [^\n]+\n){8}\nkiln: \\*\\*\\* Recursion misuse detected\\.\n"
              "kiln: \\*\\*\\* Kiln is designed to be used non-recursively\\.\n"
              "kiln: \\*\\*\\* Exiting\\.\n$");
  unsetenv("KILNPID");
}

// Runs detect_stdout_pipe with standard output on the given descriptor.
bool detect_with_stdout(int fd) {
  cfg = settings();
  fflush(stdout);
  int saved = dup(1);
  dup2(fd, 1);
  detect_stdout_pipe();
  dup2(saved, 1);
  close(saved);
  return cfg.stdout_is_pipe;
}

TEST(Startup, StdoutPipeDetection) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_TRUE(detect_with_stdout(p[1]));
  close(p[0]);
  close(p[1]);
  int file = open("/dev/null", O_WRONLY);
  ASSERT_GE(file, 0);
  EXPECT_FALSE(detect_with_stdout(file));
  close(file);
}

}  // namespace
}  // namespace kiln::cli
