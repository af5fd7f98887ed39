#include "graph/deferred.h"

#include "graph_fixture.h"

namespace kiln::graph {
namespace {

class Deferred : public GraphTest {};

TEST_F(Deferred, DeponlyForTargetWithoutRuleMakesImplicitRule) {
  simple_rule({"prog"}, {"gen/out.h"}, ".");
  add_deponly(names({"out.h"}), names({"../conf.h", "tmpl.in"}), false, "gen");
  EXPECT_EQ(deferred_count(), 3u);
  EXPECT_EQ(rule_of("gen/out.h"), -2);
  resolve_deferred_deps(4);
  EXPECT_EQ(deferred_count(), 0u);
  ruleid r = rule_of("gen/out.h");
  ASSERT_GE(r, 0);
  rule* rr = rule_at(r);
  EXPECT_EQ(rr->flags, k_rule_implicit);
  EXPECT_EQ(rr->recipe, nullptr);
  EXPECT_STREQ(text(rr->prefix), ".");
  EXPECT_EQ(rr->scope, 4);
  EXPECT_EQ(dep_texts(r), (std::vector<std::string>{"conf.h", "gen/tmpl.in"}));
  for (kilndep* d = rr->first_dep; d; d = d->next) EXPECT_EQ(d->flags, 0u);  // not explicit
  // prog's pending edge to gen/out.h now resolves to the implicit rule.
  resolve_pending_reverse_edges();
  EXPECT_EQ(dependants(r), std::vector<ruleid>{rule_of("prog")});
}

TEST_F(Deferred, DeponlyAddsToExistingRuleAndMakesItPhony) {
  ruleid all = simple_rule({"all"}, {"a"});
  ruleid a = simple_rule({"a"}, {});
  add_deponly(names({"all"}), names({"b", "a"}), true, ".");
  simple_rule({"b"}, {});
  resolve_deferred_deps(0);
  resolve_pending_reverse_edges();  // all -> a was named before a had a rule
  EXPECT_TRUE(rule_at(all)->flags & k_rule_phony);
  EXPECT_EQ(dep_texts(all), (std::vector<std::string>{"a", "b", "a"}));
  EXPECT_TRUE(rule_at(all)->last_dep->flags & k_dep_duplicate);
  EXPECT_EQ(dependants(a), std::vector<ruleid>{all});
  EXPECT_EQ(dependants(rule_of("b")), std::vector<ruleid>{all});
}

// Attributes written on a dependency-only declaration reach the rule, and
// a clean-hook declaration extends the hook's pseudo-target.
TEST_F(Deferred, DeponlyKeepsDependencyAttributesAndHookTargets) {
  ruleid lib = simple_rule({"lib.a"}, {"a.o"});
  std::vector<parsed_name> deps = names({"gen", "stamp", "tools"});
  deps[0].flags = k_name_recdep;
  deps[1].flags = k_name_orderonly;
  deps[2].flags = k_name_wait | k_name_orderonly;
  add_deponly(names({"lib.a"}), deps, false, ".");
  add_deponly(names({"CLEAN"}), names({"tmp"}), true, "sub", true);
  resolve_deferred_deps(0);
  const kilndep* d = rule_at(lib)->first_dep->next;
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->flags, k_dep_recdep);
  EXPECT_EQ(d->next->flags, k_dep_orderonly);
  EXPECT_EQ(d->next->next->flags, k_dep_wait | k_dep_orderonly);
  ruleid hook = rule_of("sub/CLEAN///");
  ASSERT_GE(hook, 0);
  EXPECT_EQ(dep_texts(hook), std::vector<std::string>{"sub/tmp"});
  EXPECT_TRUE(rule_at(hook)->flags & k_rule_phony);
}

TEST_F(Deferred, DependencyGroupsFromCompilerFiles) {
  simple_rule({"x.o"}, {"x.c"});
  strid tg[] = {intern("x.o"), intern("y.o")};
  strid dp[] = {intern("x.h"), intern("sys.h")};
  // As a compiler dependency file adds them: each target, then each
  // (target, dependency) pair.
  for (strid t : tg) defer_dep(t, -1, 0);
  for (strid t : tg) {
    for (strid d : dp) defer_dep(t, d, k_defer_missing_allowed);
  }
  EXPECT_EQ(deferred_count(), 6u);
  resolve_deferred_deps(0);
  ruleid x = rule_of("x.o");
  ruleid y = rule_of("y.o");
  ASSERT_GE(y, 0);
  EXPECT_EQ(rule_at(y)->flags, k_rule_implicit);
  EXPECT_EQ(dep_texts(x), (std::vector<std::string>{"x.c", "x.h", "sys.h"}));
  EXPECT_EQ(dep_texts(y), (std::vector<std::string>{"x.h", "sys.h"}));
  EXPECT_EQ(rule_at(x)->last_dep->flags, k_dep_missing_allowed);
  EXPECT_EQ(rule_at(x)->first_dep->flags, k_dep_explicit);
}

TEST_F(Deferred, OmittingLinesForDependenciesWithoutRule) {
  conf.trace = true;
  simple_rule({"t"}, {});
  defer_dep(intern("t"), intern("plain.h"), 0);
  defer_dep(intern("u"), intern("other.h"), k_defer_phony);  // no (u, -1) entry
  testing::internal::CaptureStdout();
  resolve_deferred_deps(0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "Omitting-2 ruleid_by_dep for dep plain.h of rule t\n"
            "Omitting-1 ruleid_by_dep for dep other.h of rule u\n");
  ruleid u = rule_of("u");
  ASSERT_GE(u, 0);
  EXPECT_EQ(rule_at(u)->flags, k_rule_implicit | k_rule_phony);
}

TEST_F(Deferred, ManyEntriesSpanBlocks) {
  ruleid all = simple_rule({"all"}, {});
  strid t = lookup("all");
  for (int i = 0; i < 1000; i++) {
    std::string d = "f" + std::to_string(i);
    defer_dep(t, intern(d.c_str()), 0);
  }
  EXPECT_EQ(graph_statistics().n_add_dep_blocks, 3u);  // 340 per block
  EXPECT_EQ(graph_statistics().add_dep_block_bytes, 3u * 4096);
  resolve_deferred_deps(0);
  EXPECT_EQ(rule_at(all)->n_deps, 1000u);
  EXPECT_EQ(dep_texts(all)[999], "f999");
}

class RunTimeDeps : public GraphTest {};

TEST_F(RunTimeDeps, AddsDependencyRemainEntryAndReverseEdge) {
  ruleid t = simple_rule({"sub/t"}, {});
  ruleid d = simple_rule({"sub/d"}, {});
  EXPECT_EQ(add_deps_at_run_time("sub", {"t"}, {"d", "./d"}, k_dep_orderonly | k_dep_explicit), 0);
  rule* r = rule_at(t);
  EXPECT_EQ(dep_texts(t), (std::vector<std::string>{"sub/d", "sub/d"}));
  EXPECT_EQ(r->first_dep->flags, k_dep_orderonly);
  EXPECT_EQ(r->first_dep->rule_id, d);
  EXPECT_EQ(r->n_dep_remain, 1u);
  EXPECT_NE(find_dep_remain(r, d), nullptr);
  EXPECT_EQ(dependants(d), std::vector<ruleid>{t});
}

TEST_F(RunTimeDeps, FinishedDependencyGetsNoRemainEntry) {
  ruleid t = simple_rule({"t"}, {});
  ruleid d = simple_rule({"d"}, {});
  rule_at(d)->flags |= k_rule_executed;
  EXPECT_EQ(add_deps_at_run_time(".", {"t"}, {"d"}, 0), 0);
  EXPECT_EQ(rule_at(t)->n_dep_remain, 0u);
  EXPECT_EQ(rule_at(t)->n_deps, 1u);
}

TEST_F(RunTimeDeps, RefusalsAndMessages) {
  ruleid t = simple_rule({"t"}, {});
  simple_rule({"d"}, {});
  intern("nofile");
  testing::internal::CaptureStderr();
  EXPECT_EQ(add_deps_at_run_time(".", {"missing"}, {"d"}, 0), -2);
  EXPECT_EQ(add_deps_at_run_time(".", {"nofile"}, {"d"}, 0), -2);
  EXPECT_EQ(add_deps_at_run_time(".", {"t"}, {"d", "nowhere"}, 0), -2);  // adds nothing
  rule_at(t)->flags |= k_rule_queued;
  EXPECT_EQ(add_deps_at_run_time(".", {"t"}, {"d"}, 0), -22);
  rule_at(t)->flags |= k_rule_executed;
  EXPECT_EQ(add_deps_at_run_time(".", {"./t"}, {"d"}, 0), -22);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "kiln: target missing not found while adding dep\n"
            "kiln: target nofile not found while adding dep\n"
            "kiln: dep nowhere not found while adding dep\n"
            "kiln: target t already queued while adding dep\n"
            "kiln: target t already executed while adding dep\n");
  EXPECT_EQ(rule_at(t)->n_deps, 0u);
  EXPECT_EQ(lookup("missing"), -1);  // lookups do not intern
}

}  // namespace
}  // namespace kiln::graph
