#include "sched/build_loop.h"

#include <sys/time.h>

#include "base/hooks.h"
#include "jobserver/jobserver.h"
#include "sched/build_fixture.h"

namespace kiln::sched::testing {
namespace {

constexpr time_t k_old = 1000000000;

class Build : public BuildTest {
 protected:
  void SetUp() override {
    BuildTest::SetUp();
    write_file("a.c", "int a;\n");
    write_file("b.c", "int b;\n");
    set_mtime("a.c", k_old);
    set_mtime("b.c", k_old);
  }
  void build_project(std::vector<std::string> wanted = {"prog"}) {
    // a.o from a.c, b.o from b.c, prog from both objects.
    run(
        [this] {
          rule({"a.o"}, {"a.c"}, {make_cmd("a.o")});
          rule({"b.o"}, {"b.c"}, {make_cmd("b.o")});
          rule({"prog"}, {"a.o", "b.o"}, {make_cmd("prog")});
        },
        wanted);
  }
};

TEST_F(Build, FirstBuildRunsEverythingSecondNothing) {
  build_project();
  EXPECT_EQ(take_log(), "b.o\na.o\nprog\n");
  ::testing::internal::CaptureStderr();
  build_project();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "kiln: Nothing to be done.\n");
  EXPECT_EQ(take_log(), "");
}

TEST_F(Build, SilentSuppressesNothingToBeDone) {
  build_project();
  take_log();
  cfg.silent = true;
  ::testing::internal::CaptureStderr();
  build_project();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(Build, TouchedSourceRebuildsExactlyItsDependants) {
  build_project();
  take_log();
  set_mtime("b.c", k_old + 100);
  build_project();
  EXPECT_EQ(take_log(), "b.o\nprog\n");
}

TEST_F(Build, ChangedCommandRebuildsWithReason) {
  build_project();
  take_log();
  cfg.reasons = true;
  ::testing::internal::CaptureStdout();
  run(
      [this] {
        rule({"a.o"}, {"a.c"}, {make_cmd("a.o") + " # changed"});
        rule({"b.o"}, {"b.c"}, {make_cmd("b.o")});
        rule({"prog"}, {"a.o", "b.o"}, {make_cmd("prog")});
      },
      {"prog"});
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("update target 'a.o' due to: command database mismatch"), std::string::npos)
      << out;
  EXPECT_EQ(take_log(), "a.o\nprog\n");
}

// -R explains only the rules that are remade, and a reason shared by
// several targets of one rule shows once.
TEST_F(Build, ReasonsOnlyForRemadeRulesEachReasonOnce) {
  auto project = [this](const std::string& pair_cmd) {
    return [this, pair_cmd] {
      rule({"a.o", "a.lst"}, {"a.c"}, {pair_cmd});
      rule({"b.o"}, {"b.c"}, {make_cmd("b.o")});
      rule({"prog"}, {"a.o", "b.o"}, {make_cmd("prog")});
    };
  };
  run(project(make_cmd("a.o") + "; touch a.lst"), {"prog"});
  take_log();
  cfg.reasons = true;
  ::testing::internal::CaptureStdout();
  run(project(make_cmd("a.o") + "; touch a.lst # changed"), {"prog"});
  std::string out = ::testing::internal::GetCapturedStdout();
  std::string reasons;
  for (size_t at = out.find("update target"); at != std::string::npos;
       at = out.find("update target", at + 1)) {
    reasons += out.substr(at, out.find('\n', at) - at) + "\n";
  }
  EXPECT_EQ(reasons,
            "update target 'a.o' due to: command database mismatch\n"
            "update target 'prog' due to: 'a.o'\n")
      << out;
}

TEST_F(Build, SizeChangeWithSameTimeRebuildsOnlyWithTsszChecks) {
  build_project();
  take_log();
  write_file("a.c", "int a = 1;\n");
  set_mtime("a.c", k_old);
  std::string saved = db_text();
  cfg.db_version = db_v1;  // -e: times only
  build_project();
  EXPECT_EQ(take_log(), "");
  cfg.db_version = db_unset;
  set_db_text(saved);  // version 1 keeps no times and sizes
  cfg.reasons = true;
  ::testing::internal::CaptureStdout();
  build_project();
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(" tsdb mismatch of dependency 'a.c'"), std::string::npos) << out;
  EXPECT_EQ(take_log(), "a.o\nprog\n");
}

TEST_F(Build, DryRunBuildsNothingAndKeepsTheDatabase) {
  build_project();
  take_log();
  std::string before = db_text();
  ASSERT_FALSE(before.empty());
  set_mtime("a.c", k_old + 50);
  write_file("b.c", "int b = 2;\n");
  set_mtime("b.c", k_old);
  cfg.dry_run = true;
  ::testing::internal::CaptureStdout();
  build_project();
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(take_log(), "");
  // The echo lines show what would run, dependants included.
  EXPECT_NE(out.find("[., a.o] sh -c"), std::string::npos) << out;
  EXPECT_NE(out.find("[., prog] sh -c"), std::string::npos) << out;
  EXPECT_EQ(db_text(), before);
  cfg.dry_run = false;
  build_project();
  EXPECT_EQ(take_log(), "b.o\na.o\nprog\n");
}

TEST_F(Build, UnconditionalRebuildsEverything) {
  build_project();
  take_log();
  cfg.unconditional = true;
  build_project();
  EXPECT_EQ(take_log(), "b.o\na.o\nprog\n");
}

TEST_F(Build, PretendNewAndPretendOld) {
  build_project();
  take_log();
  cfg.pretend = {{"b.c", false, false}};
  build_project();
  EXPECT_EQ(take_log(), "b.o\nprog\n");
  // -o: an out-of-date rule whose target is pretended old completes
  // without running; its dependants still see the real times.
  set_mtime("a.c", k_old + 100);
  cfg.pretend = {{"a.o", false, true}};
  build_project();
  EXPECT_EQ(take_log(), "");
  cfg.pretend.clear();
}

TEST_F(Build, QuestionExitsOneWhenSomethingIsOutOfDate) {
  cfg.question = true;
  EXPECT_EXIT(build_project(), ::testing::ExitedWithCode(1), "");
  cfg.question = false;
  build_project();
  take_log();
  cfg.question = true;
  EXPECT_EXIT(build_project(), ::testing::ExitedWithCode(0), "");
}

TEST_F(Build, FailingCommandReportsAndDeletesItsTargets) {
  use_real_system();  // a failed child is reaped and its target deleted on disk
  auto define = [this] {
    rule({"t"}, {}, {"echo partial > t; false"});
  };
  EXPECT_EXIT(run(define, {"t"}), ::testing::ExitedWithCode(2),
              "kiln: recipe for target 't' in directory '.' failed\n"
              "kiln: failed command was: sh -c echo partial > t; false\n"
              "kiln: \\*\\*\\* Error 1. Exiting.");
  EXPECT_NE(access("t", F_OK), 0);
}

TEST_F(Build, KeepGoingBuildsUnrelatedRulesThenFails) {
  use_real_system();  // the log outlives the death test's process
  auto define = [this] {
    rule({"bad"}, {}, {"false"});
    rule({"top"}, {"bad"}, {make_cmd("top")});
    rule({"good"}, {}, {make_cmd("good")});
    rule({"all"}, {"top", "good"}, {}, graph::k_rule_phony);
  };
  cfg.keep_going = true;
  EXPECT_EXIT(run(define, {"all"}), ::testing::ExitedWithCode(2),
              "Error 1\n(.|\n)*Some of the commands failed");
  EXPECT_EQ(take_log(), "good\n");
}

TEST_F(Build, IgnoredFailuresContinueTheRecipe) {
  auto define = [this] { rule({"t"}, {}, {"false", make_cmd("t")}); };
  cfg.ignore_errors = true;
  run(define, {"t"});
  EXPECT_EQ(take_log(), "t\n");
  cfg.ignore_errors = false;
  auto marked = [this] {
    graph::ruleid id = rule({"u"}, {}, {});
    set_commands(id, {{"I", "E", "NM", "false"}, {"NI", "E", "NM", "sh", "-c", make_cmd("u")}});
  };
  run(marked, {"u"});
  EXPECT_EQ(take_log(), "u\n");
}

TEST_F(Build, RecipeThatDoesNotCreateItsTargetFails) {
  auto define = [this] { rule({"t"}, {}, {"true"}); };
  EXPECT_EXIT(run(define, {"t"}), ::testing::ExitedWithCode(2),
              "Target 't' was not created by rule \\(directory: '.'\\).\n"
              "kiln: \\*\\*\\* Hint: use @phonyrule for phony rules.\n"
              "kiln: \\*\\*\\* Hint: use @mayberule for rules that may or may not update target.\n"
              "kiln: \\*\\*\\* Hint: use @rectgtrule for rules that have targets inside @recdep.\n"
              "kiln: \\*\\*\\* Target 't' was not created by rule. Exiting.");
  auto maybe = [this] { rule({"t"}, {}, {"true"}, graph::k_rule_maybe); };
  run(maybe, {"t"});
  auto phony = [this] { rule({"p"}, {}, {"true"}, graph::k_rule_phony); };
  run(phony, {"p"});
}

TEST_F(Build, TargetOlderThanItsDependencyWasNotUpdated) {
  write_file("out", "");
  set_mtime("out", k_old - 10);
  auto define = [this] { rule({"out"}, {"a.c"}, {"true"}); };
  EXPECT_EXIT(run(define, {"out"}), ::testing::ExitedWithCode(2),
              "Target 'out' was not updated by rule");
}

TEST_F(Build, MissingSourceWithoutRuleIsFatal) {
  auto define = [this] { rule({"t"}, {"nothere.c"}, {make_cmd("t")}); };
  EXPECT_EXIT(run(define, {"t"}), ::testing::ExitedWithCode(2),
              "kiln: \\*\\*\\* No nothere.c and rule not found, required by target t. Exiting.");
}

TEST_F(Build, CycleIsReported) {
  auto define = [this] {
    rule({"x"}, {"y"}, {make_cmd("x")});
    rule({"y"}, {"x"}, {make_cmd("y")});
  };
  EXPECT_EXIT(run(define, {"x"}), ::testing::ExitedWithCode(2),
              "kiln: cycle found\n rule in cycle: \\( x \\)\n rule in cycle: \\( y \\)\n"
              "kiln: \\*\\*\\* cycle found, cannot proceed further. Exiting.");
}

TEST_F(Build, WaitHoldsBackLaterDependencies) {
  auto define = [this] {
    rule({"first"}, {}, {"sleep 0.2; " + make_cmd("first")});
    rule({"second"}, {}, {make_cmd("second")});
    rule({"all"}, {"first", "|second"}, {}, graph::k_rule_phony);
  };
  cfg.jobs = 2;
  run(define, {"all"});
  EXPECT_EQ(take_log(), "first\nsecond\n");
}

TEST_F(Build, OrderPairsOrderReachableRulesOnly) {
  auto define = [this] {
    rule({"a"}, {}, {"sleep 0.2; " + make_cmd("a")});
    rule({"b"}, {}, {make_cmd("b")});
    rule({"all"}, {"b", "a"}, {}, graph::k_rule_phony);
  };
  cfg.jobs = 2;
  begin_run();
  define();
  graph::resolve_deferred_deps(0);
  prepare_all();
  make_wanted(graph::ruleid_by_tgt(graph::lookup("all")));
  check_wanted_for_cycles(true);
  apply_order_pairs({{"a", "b"}});
  check_wanted_for_cycles(false);
  build(true);
  db::db_write_back();
  EXPECT_EQ(take_log(), "a\nb\n");

  // With only b wanted, a is not built.
  begin_run();
  define();
  graph::resolve_deferred_deps(0);
  prepare_all();
  make_wanted(graph::ruleid_by_tgt(graph::lookup("b")));
  check_wanted_for_cycles(true);
  apply_order_pairs({{"a", "b"}});
  build(true);
  db::db_write_back();
  EXPECT_EQ(take_log(), "");  // b is up to date from the first build
  EXPECT_TRUE(exists("a"));
}

TEST_F(Build, TwoJobsOverlap) {
  auto define = [this] {
    rule({"s1"}, {}, {"sleep 0.5; touch s1"});
    rule({"s2"}, {}, {"sleep 0.5; touch s2"});
    rule({"all"}, {"s1", "s2"}, {}, graph::k_rule_phony);
  };
  cfg.jobs = 2;
  double start = now_seconds();
  run(define, {"all"});
  double took = now_seconds() - start;
  EXPECT_LT(took, 0.95);  // one after the other takes 1 s at least
  EXPECT_EQ(jobserver::tokens_held(), 0u);
}

TEST_F(Build, OneJobRunsOneAtATime) {
  auto define = [this] {
    rule({"s1"}, {}, {"sleep 0.3; touch s1"});
    rule({"s2"}, {}, {"sleep 0.3; touch s2"});
    rule({"all"}, {"s1", "s2"}, {}, graph::k_rule_phony);
  };
  double start = now_seconds();
  run(define, {"all"});
  EXPECT_GE(now_seconds() - start, 0.6);
}

TEST_F(Build, TargetSyncGivesContiguousBlocks) {
  use_real_system();  // output captured from real children
  auto define = [this] {
    rule({"p"}, {}, {"echo p1; sleep 0.2; echo p2", "echo p3; touch p"});
    rule({"q"}, {}, {"sleep 0.1; echo q1; sleep 0.2; echo q2; touch q"});
    rule({"all"}, {"p", "q"}, {}, graph::k_rule_phony);
  };
  cfg.jobs = 2;
  cfg.output_sync = sync_target;
  ::testing::internal::CaptureStdout();
  run(define, {"all"});
  std::string out = ::testing::internal::GetCapturedStdout();
  std::string p_block = "[., p] sh -c echo p1; sleep 0.2; echo p2\np1\np2\n"
                        "[., p] sh -c echo p3; touch p\np3\n";
  std::string q_block = "[., q] sh -c sleep 0.1; echo q1; sleep 0.2; echo q2; touch q\nq1\nq2\n";
  EXPECT_TRUE(out == p_block + q_block || out == q_block + p_block) << out;
}

TEST_F(Build, LineSyncFlushesAfterEveryCommand) {
  use_real_system();  // output captured from real children
  auto define = [this] { rule({"p"}, {}, {"echo one", "echo two; touch p"}); };
  cfg.output_sync = sync_line;
  cfg.cheer = true;
  ::testing::internal::CaptureStdout();
  run(define, {"p"});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "[., p] sh -c echo one\none\n[., p] sh -c echo two; touch p\ntwo\n");
  EXPECT_EQ(finished_commands, 2u);
}

TEST_F(Build, EmptyRecipeCompletesAndReleasesDependants) {
  auto define = [this] {
    rule({"group"}, {"a.c"}, {}, graph::k_rule_maybe);
    rule({"t"}, {"group"}, {make_cmd("t")}, graph::k_rule_maybe);
  };
  run(define, {"t"});
  EXPECT_EQ(take_log(), "t\n");
}

TEST_F(Build, PhonyDependencyRunsEveryTime) {
  auto define = [this] {
    rule({"ph"}, {}, {"true"}, graph::k_rule_phony);
    rule({"t"}, {"ph"}, {make_cmd("t")});
  };
  run(define, {"t"});
  run(define, {"t"});
  EXPECT_EQ(take_log(), "t\nt\n");
}

TEST_F(Build, ReasonsForMissingTargetAndDirectoryRecommendation) {
  make_dir("incdir");
  set_mtime("incdir", k_old);
  auto define = [this] { rule({"t"}, {"incdir"}, {make_cmd("t")}); };
  cfg.reasons = true;
  ::testing::internal::CaptureStdout();
  run(define, {"t"});
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("kiln: Recommend making directory dep incdir of t either @orderonly or "
                     "@recdep.\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("update target 't' due to: tsdb mismatch of dependency 'incdir' "
                     "command database mismatch being nonexistent\n"), std::string::npos) << out;
}

TEST_F(Build, TouchModeTouchesTargetsInsteadOfRunning) {
  cfg.touch = true;
  auto define = [this] { rule({"t1", "t2"}, {"a.c"}, {make_cmd("t1")}); };
  ::testing::internal::CaptureStdout();
  run(define, {"t1"});
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "[., t1] touch t1\n[., t1] touch t2\n");
  EXPECT_EQ(take_log(), "");
  EXPECT_TRUE(exists("t1"));
  EXPECT_TRUE(exists("t2"));
}

void on_sigterm(int) { got_sigterm = 1; }

TEST_F(Build, SigtermIsForwardedAndFatal) {
  use_real_system();
  // The shell becomes the sleep, so that the forwarded signal ends it and
  // no orphan keeps the test's pipes open.
  auto define = [this] { rule({"t"}, {}, {"kill -TERM $PPID; exec sleep 5; touch t"}); };
  EXPECT_EXIT(
      {
        signal(SIGTERM, on_sigterm);
        run(define, {"t"});
      },
      ::testing::ExitedWithCode(2), "Got SIGTERM. Exiting.\n(.|\n)*No children left");
}

TEST_F(Build, RectgtTargetMovesToNewestTimeUnderItsTree) {
  use_real_system();  // the tree is walked and touched on the disk
  make_dir("tree");
  write_file("tree/in", "x");
  set_mtime("tree/in", k_old);
  set_mtime("tree", k_old);
  // The stamp is written first, then another file in the tree.
  auto define = [this] {
    rule({"tree/stamp"}, {"@tree"}, {"touch tree/stamp; sleep 0.05; touch tree/later"},
         graph::k_rule_rectgt);
  };
  run(define, {"tree/stamp"});
  struct stat stamp, later;
  ASSERT_EQ(stat("tree/stamp", &stamp), 0);
  ASSERT_EQ(stat("tree/later", &later), 0);
  EXPECT_EQ(stamp.st_mtim.tv_sec, later.st_mtim.tv_sec);
  EXPECT_EQ(stamp.st_mtim.tv_nsec, later.st_mtim.tv_nsec);
  ::testing::internal::CaptureStderr();
  run(define, {"tree/stamp"});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "kiln: Nothing to be done.\n");
}

TEST_F(Build, DetouchSetsTheRecursiveDependencyBack) {
  use_real_system();  // the tree is walked and touched on the disk
  make_dir("srcdir");
  write_file("srcdir/f", "x");
  set_mtime("srcdir/f", k_old);
  set_mtime("srcdir", k_old);
  // The recipe writes into its own recursive dependency after the target.
  auto define = [this] {
    rule({"out"}, {"@srcdir"}, {make_cmd("out") + "; sleep 0.05; touch srcdir/f"},
         graph::k_rule_detouch);
  };
  run(define, {"out"});
  struct stat out, f;
  ASSERT_EQ(stat("out", &out), 0);
  ASSERT_EQ(stat("srcdir/f", &f), 0);
  EXPECT_EQ(f.st_mtim.tv_sec, out.st_mtim.tv_sec);
  EXPECT_EQ(f.st_mtim.tv_nsec, out.st_mtim.tv_nsec);
  run(define, {"out"});
  EXPECT_EQ(take_log(), "out\n");
}

TEST_F(Build, DebugTraceShowsForkingAndRestarts) {
  write_file("done", "");
  auto define = [this] {
    rule({"done"}, {}, {});
    rule({"t"}, {}, {make_cmd("t")});
  };
  cfg.debug = true;
  ::testing::internal::CaptureStdout();
  begin_run();
  define();
  build_targets({"done", "t"});
  db::db_write_back();
  std::string out = ::testing::internal::GetCapturedStdout();
  cfg.debug = false;
  EXPECT_NE(out.find("goto back\n"), std::string::npos) << out;
  EXPECT_NE(out.find("forking1 child\nstart args:\n  NI E NM sh -c"), std::string::npos) << out;
  EXPECT_NE(out.find("select returned\n"), std::string::npos) << out;
}

TEST_F(Build, OrderOnlyDependencyDoesNotMakeTheTargetOld) {
  make_dir("outdir");
  auto define = [this] { rule({"outdir/t"}, {"~outdir", "a.c"}, {make_cmd("outdir/t")}); };
  run(define, {"outdir/t"});
  take_log();
  set_mtime("outdir", now() + 5);
  ::testing::internal::CaptureStdout();
  run(define, {"outdir/t"});
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("Recommend"), std::string::npos);
  EXPECT_EQ(take_log(), "");
}

}  // namespace
}  // namespace kiln::sched::testing
