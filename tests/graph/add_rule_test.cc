#include "graph/add_rule.h"

#include "graph_fixture.h"

namespace kiln::graph {
namespace {

using ::testing::ExitedWithCode;

class AddRule : public GraphTest {};

TEST_F(AddRule, JoinsPrefixSimplifiesAndKeepsWrittenNames) {
  ruleid r = simple_rule({"x.o", "/abs/y", "../up"}, {"./x.c", "inc//x.h", "/usr/z.h"}, "sub/dir");
  EXPECT_EQ(target_texts(r), (std::vector<std::string>{"sub/dir/x.o", "/abs/y", "sub/up"}));
  EXPECT_EQ(dep_texts(r), (std::vector<std::string>{"sub/dir/x.c", "sub/dir/inc/x.h", "/usr/z.h"}));
  EXPECT_STREQ(text(rule_at(r)->first_tgt->written), "x.o");
  EXPECT_STREQ(text(rule_at(r)->first_dep->written), "./x.c");
  EXPECT_STREQ(text(rule_at(r)->prefix), "sub/dir");
  EXPECT_EQ(rule_of("sub/dir/x.o"), r);
  EXPECT_EQ(rule_of("/abs/y"), r);
  EXPECT_STREQ(rule_name(rule_at(r)), "sub/dir/x.o");
  for (kilndep* d = rule_at(r)->first_dep; d; d = d->next) EXPECT_EQ(d->flags, k_dep_explicit);
}

TEST_F(AddRule, RuleIdsAreDenseAndFlagsAreDeclaredOnly) {
  EXPECT_EQ(simple_rule({"a"}, {}), 0);
  ruleid b = add_rule(names({"b"}), {}, nullptr, k_rule_phony | k_rule_executed, ".", 3, 7, -1);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(rule_at(b)->flags, k_rule_phony);
  EXPECT_EQ(rule_at(b)->scope, 3);
  EXPECT_EQ(rule_at(b)->line, 7);
  EXPECT_EQ(rule_at(b)->base, -1);
  EXPECT_EQ(rule_count(), 2u);
}

TEST_F(AddRule, DependencyFlagsAndDistTargets) {
  std::vector<parsed_name> deps = {name("d1", k_name_recdep), name("d2", k_name_orderonly),
                                   name("d3", k_name_wait)};
  std::vector<parsed_name> tgts = {name("t1"), name("t2", k_name_dist)};
  ruleid r = add_rule(tgts, deps, nullptr, 0, ".", 0, 1, -1);
  kilndep* d = rule_at(r)->first_dep;
  EXPECT_EQ(d->flags, k_dep_recdep | k_dep_explicit);
  EXPECT_EQ(d->next->flags, k_dep_orderonly | k_dep_explicit);
  EXPECT_EQ(d->next->next->flags, k_dep_wait | k_dep_explicit);
  EXPECT_FALSE(rule_at(r)->first_tgt->is_dist);
  EXPECT_TRUE(rule_at(r)->first_tgt->next->is_dist);
  ruleid s = add_rule(names({"u"}), {}, nullptr, k_rule_dist, ".", 0, 2, -1);
  EXPECT_TRUE(rule_at(s)->first_tgt->is_dist);
}

TEST_F(AddRule, CleanHookTargetsGetThreeSlashes) {
  ruleid r = add_rule(names({"CLEAN"}), {}, nullptr, k_rule_phony | k_rule_iscleanhook, "sub", 0,
                      1, -1);
  EXPECT_EQ(target_texts(r), std::vector<std::string>{"sub/CLEAN///"});
  // A name that already ends in slashes ends up the same.
  ruleid s = add_rule(names({"DISTCLEAN///"}), {}, nullptr, k_rule_phony | k_rule_isdistcleanhook,
                      "sub", 0, 2, -1);
  EXPECT_EQ(target_texts(s), std::vector<std::string>{"sub/DISTCLEAN///"});
  EXPECT_EQ(lookup("sub/CLEAN"), -1);
}

TEST_F(AddRule, FatalMessages) {
  EXPECT_EXIT(simple_rule({}, {}), ExitedWithCode(2),
              "kiln: \\*\\*\\* Rules must have at least 1 target\\. Exiting\\.");
  EXPECT_EXIT(simple_rule({"a", "b"}, {}, ".", k_rule_phony), ExitedWithCode(2),
              "Phony rules must not have multiple targets");
  EXPECT_EXIT(simple_rule({"a", "./a"}, {}, ".", 0, 12), ExitedWithCode(2),
              "Target a already exists in rule at prefix \\. line 12\\. Exiting");
  EXPECT_EXIT(simple_rule({"a", "b/../a"}, {}, ".", 0, -1), ExitedWithCode(2),
              "Target a already exists in rule\\. Exiting");
}

TEST_F(AddRule, SameTargetFromTopAndSubdirectoryIsFatal) {
  simple_rule({"sub/x"}, {}, ".", 0, 4);
  EXPECT_EXIT(simple_rule({"x"}, {}, "sub", 0, 9), ExitedWithCode(2),
              "ruleid by tgt sub/x already exists in rule at prefix sub line 9\\. Exiting");
}

TEST_F(AddRule, DuplicateDependencyKeepsTwoListEntriesOneSetEntry) {
  conf.trace = true;
  testing::internal::CaptureStderr();
  ruleid r = simple_rule({"t"}, {"a", "b", "./a"});
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "kiln: duplicate dep t: a detected\n");
  EXPECT_EQ(dep_texts(r), (std::vector<std::string>{"a", "b", "a"}));
  kilndep* third = rule_at(r)->first_dep->next->next;
  EXPECT_TRUE(third->flags & k_dep_duplicate);
  EXPECT_FALSE(rule_at(r)->first_dep->flags & k_dep_duplicate);
  EXPECT_EQ(find_dep(rule_at(r), lookup("a")), rule_at(r)->first_dep);
  // One reverse edge only: the pending list holds a and b once each.
  EXPECT_EQ(pending_reverse_edge_count(), 2u);
}

TEST_F(AddRule, DebugTraceAnnouncesRule) {
  conf.trace = true;
  testing::internal::CaptureStdout();
  simple_rule({"x.o"}, {}, "src");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Rule x.o (src): add_rule\n");
}

class PatternRule : public GraphTest {
 protected:
  parsed_rule pattern(std::vector<parsed_name> targets, std::vector<parsed_name> deps,
                      std::vector<std::string> bases) {
    parsed_rule pr;
    pr.targets = std::move(targets);
    pr.deps = std::move(deps);
    pr.bases = std::move(bases);
    pr.flags = k_parsed_pattern | k_parsed_maybe;
    pr.prefix = "lib";
    pr.line = 5;
    pr.scope = 2;
    return pr;
  }
};

TEST_F(PatternRule, ExpandsOncePerBase) {
  parsed_rule pr = pattern({name("%.o", k_name_pattern), name("%.d", k_name_pattern)},
                           {name("%.c", k_name_dep_pattern), name("common.h", k_name_dep_pattern),
                            name("plain%"), split("gen/", ".inc", k_name_orderonly)},
                           {"a.o", "b.o"});
  ruleid first = add_parsed_rule(pr);
  ASSERT_EQ(rule_count(), 2u);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(target_texts(0), (std::vector<std::string>{"lib/a.o", "lib/a.d"}));
  EXPECT_EQ(dep_texts(0),
            (std::vector<std::string>{"lib/a.c", "lib/common.h", "lib/plain%", "lib/gen/a.inc"}));
  EXPECT_EQ(target_texts(1), (std::vector<std::string>{"lib/b.o", "lib/b.d"}));
  rule* r = rule_at(1);
  EXPECT_STREQ(text(r->base), "b.o");
  EXPECT_STREQ(text(r->stem), "b");
  EXPECT_EQ(r->flags, k_rule_maybe);
  EXPECT_EQ(r->scope, 2);
  EXPECT_EQ(r->line, 5);
  EXPECT_EQ(r->last_dep->flags, k_dep_orderonly | k_dep_explicit);
}

TEST_F(PatternRule, SplitPatternsAroundTheStem) {
  parsed_rule pr = pattern({split("obj/", ".o"), split("obj/", ".lst")}, {split("src/", ".c")},
                           {"obj/x%y.o"});
  add_parsed_rule(pr);
  EXPECT_EQ(target_texts(0), (std::vector<std::string>{"lib/obj/x%y.o", "lib/obj/x%y.lst"}));
  EXPECT_EQ(dep_texts(0), std::vector<std::string>{"lib/src/x%y.c"});
}

TEST_F(PatternRule, ErrorMessages) {
  EXPECT_EXIT(add_parsed_rule(pattern({name("%.o", k_name_pattern)}, {}, {"dir/a.c"})),
              ExitedWithCode(2), "Target %\\.o didn't match base dir/a\\.c\\. Exiting");
  EXPECT_EXIT(add_parsed_rule(pattern({name("%%.o", k_name_pattern)}, {}, {"a.o"})),
              ExitedWithCode(2), "Target %%\\.o must have exactly one % sign");
  EXPECT_EXIT(add_parsed_rule(pattern({name("a.o", k_name_pattern)}, {}, {"a.o"})),
              ExitedWithCode(2), "Target a\\.o must have exactly one % sign");
  EXPECT_EXIT(add_parsed_rule(pattern({split("x", ".o")}, {}, {"a.o"})), ExitedWithCode(2),
              "Target x%\\.o didn't match base a\\.o");
  // The base must hold prefix and suffix without overlapping.
  EXPECT_EXIT(add_parsed_rule(pattern({name("ab%ba", k_name_pattern)}, {}, {"aba"})),
              ExitedWithCode(2), "Target ab%ba didn't match base aba");
  EXPECT_EXIT(add_parsed_rule(pattern({name("%.o", k_name_pattern), name("extra")}, {}, {"a.o"})),
              ExitedWithCode(2), "Target extra must have exactly one % sign");
  EXPECT_EXIT(add_parsed_rule(pattern({name("%.o", k_name_pattern), name("%%", k_name_pattern)},
                                      {}, {"a.o"})),
              ExitedWithCode(2), "Target %% must have exactly one % sign");
  EXPECT_EXIT(add_parsed_rule(pattern({name("%.o", k_name_pattern)},
                                      {name("%/%.c", k_name_dep_pattern)}, {"a.o"})),
              ExitedWithCode(2), "Dep %/%\\.c must have exactly zero or one % signs");
}

TEST_F(PatternRule, CleanHookPatternIsInternalError) {
  parsed_rule pr = pattern({name("%.o", k_name_pattern)}, {}, {"a.o"});
  pr.flags |= k_parsed_iscleanhook;
  EXPECT_DEATH(add_parsed_rule(pr), "");
}

TEST_F(AddRule, ParsedFlagsMapToRuleFlags) {
  EXPECT_EQ(rule_flags_from_parsed(k_parsed_phony | k_parsed_rectgt | k_parsed_detouch |
                                   k_parsed_maybe | k_parsed_dist | k_parsed_deponly |
                                   k_parsed_pattern),
            k_rule_phony | k_rule_rectgt | k_rule_detouch | k_rule_maybe | k_rule_dist);
  EXPECT_EQ(rule_flags_from_parsed(k_parsed_iscleanhook | k_parsed_isdistcleanhook |
                                   k_parsed_isbothcleanhook),
            k_rule_clean_hooks);
}

}  // namespace
}  // namespace kiln::graph
