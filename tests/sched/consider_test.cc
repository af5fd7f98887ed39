#include "sched/consider.h"

#include "sched/build_fixture.h"

namespace kiln::sched::testing {
namespace {

class Consider : public BuildTest {
 protected:
  void SetUp() override {
    BuildTest::SetUp();
    begin_run();
  }
  void TearDown() override {
    db::db_write_back();
    BuildTest::TearDown();
  }
  graph::ruleid id_of(const char* target) { return graph::ruleid_by_tgt(graph::lookup(target)); }
  void prepare_graph() {
    graph::resolve_deferred_deps(0);
    prepare_all();
  }
};

TEST_F(Consider, RuleReachedThroughTwoTargetsIsCountedTwiceAndReleasedOnce) {
  rule({"a", "b"}, {}, {"touch a b"});
  rule({"t"}, {"a", "b"}, {"touch t"});
  prepare_graph();
  graph::rule* t = graph::rule_at(id_of("t"));
  EXPECT_EQ(t->n_dep_remain, 1u);
  EXPECT_EQ(consider(id_of("t")), 0);
  EXPECT_EQ(t->dep_remain_sum, 2u);
  EXPECT_EQ(run_queue_size(), 1u);
  EXPECT_EQ(run_queue_pop(), id_of("a"));
  write_file("a", "");
  write_file("b", "");
  complete(id_of("a"), true);
  EXPECT_EQ(t->n_dep_remain, 0u);
  EXPECT_EQ(t->dep_remain_sum, 0u);
  EXPECT_EQ(run_queue_pop(), id_of("t"));
  EXPECT_TRUE(t->flags & graph::k_rule_queued);
}

TEST_F(Consider, TraceLinesAreIndentedByDepth) {
  write_file("x.c", "");
  rule({"x.o"}, {"x.c"}, {"touch x.o"});
  rule({"prog"}, {"x.o"}, {"touch prog"});
  prepare_graph();
  cfg.debug = true;
  ::testing::internal::CaptureStdout();
  consider(id_of("prog"));
  consider(id_of("prog"));
  std::string out = ::testing::internal::GetCapturedStdout();
  cfg.debug = false;
  EXPECT_NE(out.find("considering prog\n considering x.o\n ruleid by target x.c not found\n"
                     "  do_exec x.o\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("rule 0 not executed, executing rule 1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  do_exec: has_to_exec 0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("considering prog\nalready execing prog\n"), std::string::npos) << out;
}

TEST_F(Consider, UpToDateRuleCompletesAtOnceAndAsksForARestart) {
  write_file("x.c", "");
  set_mtime("x.c", 1000000000);
  write_file("x.o", "");
  graph::ruleid id = rule({"x.o"}, {"x.c"}, {});  // empty recipe: never runs
  prepare_graph();
  make_wanted(id);
  EXPECT_EQ(consider(id), 1);
  EXPECT_TRUE(wanted_empty());
  EXPECT_TRUE(graph::rule_at(id)->flags & graph::k_rule_executed);
  EXPECT_FALSE(graph::rule_at(id)->flags & graph::k_rule_ran);
  EXPECT_EQ(run_queue_size(), 0u);
}

TEST_F(Consider, WaitEntryIsConsideredOnlyAfterEarlierDepsFinish) {
  rule({"a"}, {}, {"touch a"});
  rule({"b"}, {}, {"touch b"});
  graph::ruleid all = rule({"all"}, {"a", "|b"}, {}, graph::k_rule_phony);
  prepare_graph();
  consider(all);
  EXPECT_FALSE(graph::rule_at(id_of("b"))->flags & graph::k_rule_considered);
  EXPECT_EQ(run_queue_pop(), id_of("a"));
  write_file("a", "");
  complete(id_of("a"), true);
  EXPECT_TRUE(graph::rule_at(id_of("b"))->flags & graph::k_rule_considered);
  EXPECT_EQ(run_queue_pop(), id_of("b"));
  EXPECT_EQ(run_queue_size(), 0u);
}

TEST_F(Consider, WantedListKeepsOrderAndIgnoresRepeats) {
  graph::ruleid a = rule({"a"}, {}, {});
  graph::ruleid b = rule({"b"}, {}, {});
  graph::ruleid c = rule({"c"}, {}, {});
  make_wanted(b);
  make_wanted(a);
  make_wanted(b);
  make_wanted(c);
  std::vector<graph::ruleid> order;
  for (graph::ruleid w = first_wanted(); w >= 0; w = next_wanted(w)) order.push_back(w);
  EXPECT_EQ(order, (std::vector<graph::ruleid>{b, a, c}));
  remove_wanted(a);
  EXPECT_EQ(next_wanted(b), c);
  remove_wanted(b);
  remove_wanted(c);
  EXPECT_TRUE(wanted_empty());
}

TEST_F(Consider, RunQueueIsAStackThatGrows) {
  for (int i = 0; i < 40; i++) rule({"r" + std::to_string(i)}, {}, {});
  for (int i = 0; i < 40; i++) run_queue_push(i);
  EXPECT_EQ(run_queue_size(), 40u);
  for (int i = 39; i >= 0; i--) EXPECT_EQ(run_queue_pop(), i);
  EXPECT_EQ(run_queue_pop(), -1);
}

TEST_F(Consider, OrderPairWithUnknownNameIsFatal) {
  rule({"a"}, {}, {});
  prepare_graph();
  EXPECT_EXIT(apply_order_pairs({{"a", "nosuch"}}), ::testing::ExitedWithCode(2),
              "@order rule 'nosuch' not found");
}

TEST_F(Consider, ExistingFileWithoutRuleIsAccepted) {
  write_file("plain.h", "");
  graph::ruleid id = rule({"t"}, {"plain.h"}, {"touch t"});
  prepare_graph();
  EXPECT_EQ(consider(id), 0);
  EXPECT_EQ(run_queue_pop(), id);
}

}  // namespace
}  // namespace kiln::sched::testing
