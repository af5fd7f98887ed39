#include "sched/do_exec.h"

#include "base/hooks.h"
#include "sched/build_fixture.h"

namespace kiln::sched::testing {
namespace {

constexpr time_t k_old = 1000000000;

// Decides single rules without running anything: a rule that must run
// ends up in the run queue.
class DoExec : public BuildTest {
 protected:
  void SetUp() override {
    BuildTest::SetUp();
    begin_run();
  }
  void TearDown() override {
    db::db_write_back();
    BuildTest::TearDown();
  }
  // Whether deciding the rule queued it.
  bool must_run(graph::ruleid id) {
    graph::resolve_deferred_deps(0);
    prepare_all();
    consider(id);
    return run_queue_size() > 0;
  }
};

TEST_F(DoExec, EqualTimesAreUpToDate) {
  cfg.db_version = db_v1;
  write_file("in", "");
  write_file("out", "");
  set_mtime("in", k_old, 123);
  set_mtime("out", k_old, 123);
  graph::ruleid id = rule({"out"}, {"in"}, {});
  EXPECT_FALSE(must_run(id));
  EXPECT_TRUE(graph::rule_at(id)->flags & graph::k_rule_executed);
}

TEST_F(DoExec, OneNanosecondNewerDependencyRuns) {
  cfg.db_version = db_v1;
  write_file("in", "");
  write_file("out", "");
  set_mtime("in", k_old, 124);
  set_mtime("out", k_old, 123);
  graph::ruleid id = rule({"out"}, {"in"}, {"touch out"});
  graph::rule_at(id)->n_commands = 1;
  EXPECT_TRUE(must_run(id));
  EXPECT_TRUE(graph::rule_at(id)->flags & graph::k_rule_queued);
}

TEST_F(DoExec, SymbolicLinkCountsWithTheTimeOfItsFile) {
  cfg.db_version = db_v1;
  write_file("real", "");
  write_file("out", "");
  make_symlink("real", "link");
  set_link_mtime("link", k_old);
  set_mtime("out", k_old + 10);
  set_mtime("real", k_old + 20);
  graph::ruleid id = rule({"out"}, {"link"}, {"touch out"});
  EXPECT_TRUE(must_run(id));
  EXPECT_EQ(graph::rule_at(id)->newest_dep_sec, k_old + 20);
}

TEST_F(DoExec, DanglingLinkWithoutRuleIsAMissingFile) {
  make_symlink("nowhere", "link");
  graph::ruleid id = rule({"out"}, {"link"}, {"touch out"});
  EXPECT_EXIT(must_run(id), ::testing::ExitedWithCode(2),
              "No link and rule not found, required by target out");
}

TEST_F(DoExec, RecursiveDependencyUsesTheNewestFileBelow) {
  use_real_system();  // the tree is walked on the disk
  cfg.db_version = db_v1;
  make_dir("d");
  make_dir("d/e");
  write_file("d/e/deep", "");
  write_file("out", "");
  set_mtime("d/e/deep", k_old + 30);
  set_mtime("d/e", k_old);
  set_mtime("d", k_old);
  set_mtime("out", k_old + 20);
  graph::ruleid id = rule({"out"}, {"@d"}, {"touch out"});
  EXPECT_TRUE(must_run(id));
  EXPECT_EQ(graph::rule_at(id)->newest_dep_sec, k_old + 30);
}

TEST_F(DoExec, UnconditionalAndPhonyReasons) {
  cfg.unconditional = true;
  cfg.reasons = true;
  graph::ruleid id = rule({"p"}, {}, {"true"}, graph::k_rule_phony);
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(must_run(id));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "update target 'p' due to: unconditional build of everything being phony\n");
}

TEST_F(DoExec, PhonyRuleInTouchModeCompletesWithoutRunning) {
  cfg.touch = true;
  graph::ruleid id = rule({"p"}, {}, {"true"}, graph::k_rule_phony);
  EXPECT_FALSE(must_run(id));
  EXPECT_TRUE(graph::rule_at(id)->flags & graph::k_rule_executed);
}

int failing_evaluator(graph::rule*, std::string* error, std::string* details) {
  *error = "type mismatch";
  *details = "  at line 3\n";
  return -22;
}

TEST_F(DoExec, RecipeEvaluationFailureIsFatal) {
  static const int fake_recipe = 0;
  graph::ruleid id = rule({"t"}, {}, {});
  graph::rule_at(id)->recipe = reinterpret_cast<const front::recipe*>(&fake_recipe);
  up.evaluate_recipe = failing_evaluator;
  EXPECT_EXIT(must_run(id), ::testing::ExitedWithCode(2),
              "Additional information for error:\n  at line 3\n"
              "kiln: \\*\\*\\* evaluating shell commands for 't' \\(directory: '.'\\) failed, "
              "error: type mismatch. Exiting.");
  up.evaluate_recipe = nullptr;
}

}  // namespace
}  // namespace kiln::sched::testing
