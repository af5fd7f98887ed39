#include "graph/rule.h"

#include <cstdio>
#include <cstring>

#include "graph_fixture.h"

namespace kiln::graph {
namespace {

class RuleRecord : public GraphTest {};

TEST_F(RuleRecord, RuleArrayGrowsAndKeepsRecords) {
  std::vector<rule*> made;
  for (int i = 0; i < 300; i++) {
    std::string t = "t" + std::to_string(i);
    made.push_back(rule_at(simple_rule({t.c_str()}, {})));
  }
  ASSERT_EQ(rule_count(), 300u);
  for (int i = 0; i < 300; i++) {
    EXPECT_EQ(rule_at(i), made[i]);
    EXPECT_EQ(rule_at(i)->id, i);
  }
  EXPECT_EQ(graph_statistics().n_rule, 300u);
}

// The commands of a rule found up to date go back to the argument arena
// only while they are its last allocation and were noted for that rule;
// the memory comes back zeroed and is handed out again.
TEST_F(RuleRecord, OnlyTheLastNotedCommandsAreGivenBack) {
  rule* a = new_rule(0, intern("."), -1, nullptr, 0, 1);
  rule* b = new_rule(0, intern("."), -1, nullptr, 0, 2);
  auto evaluate = [](rule* r) {
    arena_mark from = arg_mark();
    char* word = my_strdup_arg("cc", 2);
    r->commands = reinterpret_cast<char***>(my_malloc_arg(sizeof(char**), alignof(char**)));
    r->n_commands = 1;
    note_releasable_commands(r, from);
    return word;
  };
  char* word = evaluate(a);
  EXPECT_FALSE(release_commands(b));  // not the noted rule
  EXPECT_TRUE(release_commands(a));
  EXPECT_EQ(a->commands, nullptr);
  EXPECT_EQ(a->n_commands, 0u);
  EXPECT_EQ(word[0], 0);
  EXPECT_EQ(evaluate(b), word);  // the same memory again
  my_strdup_arg("later", 5);
  EXPECT_FALSE(release_commands(b));  // something came after its commands
  EXPECT_NE(b->commands, nullptr);
  EXPECT_FALSE(release_commands(b));  // noted once only
}

TEST_F(RuleRecord, BucketCountRoundsUpToPowerOfTwo) {
  conf.expected_deps = 5;
  rule* r = new_rule(0, intern("."), -1, nullptr, 0, 1);
  EXPECT_EQ(dep_bucket_count(), 8u);
  // Many dependencies spread over the buckets and are all found.
  for (int i = 0; i < 500; i++) {
    std::string d = "d" + std::to_string(i);
    ASSERT_EQ(add_dep(r, intern(d.c_str()), -1, 0), 0);
  }
  for (int i = 0; i < 500; i++) {
    std::string d = "d" + std::to_string(i);
    kilndep* k = find_dep(r, lookup(d.c_str()));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->id, lookup(d.c_str()));
  }
  EXPECT_EQ(find_dep(r, intern("absent")), nullptr);
  EXPECT_EQ(r->n_deps, 500u);
  EXPECT_EQ(r->bucket_mask + 1, 256u);  // 8 doubled while over two per bucket
}

// A rule told its dependency count starts with the buckets growing would
// reach, and still grows past them.
TEST_F(RuleRecord, PresizedBucketsMatchGrowth) {
  conf.expected_deps = 5;
  EXPECT_EQ(new_rule(0, intern("."), -1, nullptr, 0, 1, 16)->bucket_mask + 1, 8u);
  EXPECT_EQ(new_rule(0, intern("."), -1, nullptr, 0, 1, 17)->bucket_mask + 1, 16u);
  rule* r = new_rule(0, intern("."), -1, nullptr, 0, 1, 500);
  EXPECT_EQ(r->bucket_mask + 1, 256u);
  for (int i = 0; i < 600; i++) {
    std::string d = "d" + std::to_string(i);
    ASSERT_EQ(add_dep(r, intern(d.c_str()), -1, 0), 0);
  }
  EXPECT_EQ(r->bucket_mask + 1, 512u);
  for (int i = 0; i < 600; i++) {
    std::string d = "d" + std::to_string(i);
    ASSERT_NE(find_dep(r, lookup(d.c_str())), nullptr);
  }
}

TEST_F(RuleRecord, GrowingSetsKeepDuplicatesOutAndPendingEntriesFindable) {
  rule* r = new_rule(0, intern("."), -1, nullptr, 0, 1);
  rule* dep_rules[40];
  for (int i = 0; i < 40; i++) {
    dep_rules[i] = new_rule(0, intern("."), -1, nullptr, 0, 1);
    ASSERT_EQ(add_dep_remain(r, dep_rules[i]->id), 0);
  }
  for (int i = 0; i < 300; i++) {
    std::string d = "d" + std::to_string(i % 150);  // each name twice
    ASSERT_EQ(add_dep(r, intern(d.c_str()), -1, 0), i < 150 ? 0 : 1);
  }
  EXPECT_EQ(r->n_dep_set, 150u);
  EXPECT_EQ(r->bucket_mask + 1, 128u);
  for (int i = 0; i < 40; i++) {
    EXPECT_NE(find_dep_remain(r, dep_rules[i]->id), nullptr);
    EXPECT_EQ(add_dep_remain(r, dep_rules[i]->id), -17);
  }
  EXPECT_EQ(remove_dep_remain(r, dep_rules[7]->id), 0);
  EXPECT_EQ(find_dep_remain(r, dep_rules[7]->id), nullptr);
  // The duplicate entries stay in the list, out of the set.
  EXPECT_FALSE(find_dep(r, lookup("d3"))->flags & k_dep_duplicate);
}

TEST_F(RuleRecord, TargetSet) {
  rule* r = new_rule(0, intern("."), -1, nullptr, 0, 1);
  for (int i = 0; i < 40; i++) {
    std::string t = "t" + std::to_string(i);
    ASSERT_EQ(add_target(r, intern(t.c_str()), -1, false), 0);
  }
  EXPECT_EQ(add_target(r, lookup("t7"), -1, false), -17);
  EXPECT_EQ(r->n_tgts, 40u);
  EXPECT_NE(find_target(r, lookup("t39")), nullptr);
  EXPECT_EQ(find_target(r, intern("t40")), nullptr);
  EXPECT_STREQ(rule_name(r), "t0");
}

// A one-target rule has no set yet; the first target must stay findable and
// unique before and after the second target makes the set.
TEST_F(RuleRecord, FirstTargetKeptAcrossTheMakingOfTheSet) {
  rule* r = new_rule(0, intern("."), -1, nullptr, 0, 1);
  ASSERT_EQ(add_target(r, intern("a"), -1, false), 0);
  EXPECT_EQ(find_target(r, lookup("a")), r->first_tgt);
  EXPECT_EQ(find_target(r, intern("b")), nullptr);
  EXPECT_EQ(add_target(r, lookup("a"), -1, false), -17);
  ASSERT_EQ(add_target(r, lookup("b"), -1, false), 0);
  EXPECT_EQ(add_target(r, lookup("a"), -1, false), -17);
  EXPECT_EQ(add_target(r, lookup("b"), -1, false), -17);
  EXPECT_EQ(find_target(r, lookup("a")), r->first_tgt);
  EXPECT_EQ(find_target(r, lookup("b")), r->last_tgt);
  EXPECT_EQ(r->n_tgts, 2u);
}

TEST_F(RuleRecord, DepRemainCountsAndRemoval) {
  rule* r = new_rule(0, intern("."), -1, nullptr, 0, 1);
  EXPECT_EQ(add_dep_remain(r, 3), 0);
  EXPECT_EQ(add_dep_remain(r, 11), 0);
  EXPECT_EQ(add_dep_remain(r, 3), -17);
  EXPECT_EQ(r->n_dep_remain, 2u);
  EXPECT_EQ(count_dep_pending(r, 3), 0);
  EXPECT_EQ(count_dep_pending(r, 3), 0);
  EXPECT_EQ(count_dep_pending(r, 11), 0);
  EXPECT_EQ(count_dep_pending(r, 12), -2);
  EXPECT_EQ(r->dep_remain_sum, 3u);
  EXPECT_EQ(find_dep_remain(r, 3)->count, 2);
  EXPECT_EQ(remove_dep_remain(r, 3), 0);
  EXPECT_EQ(r->n_dep_remain, 1u);
  EXPECT_EQ(r->dep_remain_sum, 1u);
  EXPECT_EQ(remove_dep_remain(r, 3), -2);
  EXPECT_EQ(r->dep_remain_list->rule_id, 11);
  EXPECT_EQ(r->dep_remain_list->next, nullptr);
  // A count above the pending sum is refused and leaves the entry.
  r->dep_remain_sum = 0;
  EXPECT_EQ(remove_dep_remain(r, 11), -84);
  EXPECT_NE(find_dep_remain(r, 11), nullptr);
  // Re-adding after removal works.
  EXPECT_EQ(add_dep_remain(r, 3), 0);
  EXPECT_EQ(find_dep_remain(r, 3)->count, 0);
}

TEST_F(RuleRecord, DepRemainListUnlinksFromAnyPosition) {
  rule* r = new_rule(0, intern("."), -1, nullptr, 0, 1);
  for (int i = 0; i < 100; i++) ASSERT_EQ(add_dep_remain(r, i), 0);
  for (int i = 0; i < 100; i += 3) ASSERT_EQ(remove_dep_remain(r, i), 0);
  size_t n = 0;
  for (dep_remain* e = r->dep_remain_list; e; e = e->next) {
    EXPECT_NE(e->rule_id % 3, 0);
    if (e->next) {
      EXPECT_EQ(e->next->prev, e);
    }
    n++;
  }
  EXPECT_EQ(n, r->n_dep_remain);
  EXPECT_EQ(n, 66u);
}

class ReverseEdges : public GraphTest {};

TEST_F(ReverseEdges, KnownDependencyRecordsAtOnce) {
  ruleid lib = simple_rule({"lib.a"}, {});
  ruleid app = simple_rule({"app"}, {"lib.a"});
  ruleid test = simple_rule({"test"}, {"lib.a", "app"});
  EXPECT_EQ(dependants(lib), (std::vector<ruleid>{app, test}));
  EXPECT_EQ(dependants(app), std::vector<ruleid>{test});
  EXPECT_EQ(pending_reverse_edge_count(), 0u);
}

TEST_F(ReverseEdges, PendingUntilResolvedAndDroppedWhenStillUnknown) {
  ruleid app = simple_rule({"app"}, {"main.o", "main.c"});
  EXPECT_EQ(pending_reverse_edge_count(), 2u);
  ruleid obj = simple_rule({"main.o"}, {"main.c"});
  EXPECT_TRUE(dependants(obj).empty());
  resolve_pending_reverse_edges();
  EXPECT_EQ(pending_reverse_edge_count(), 0u);
  EXPECT_EQ(dependants(obj), std::vector<ruleid>{app});
  // main.c has no rule: its pairs are dropped.
  EXPECT_EQ(record_reverse_edge(lookup("main.c"), app, true), -2);
  EXPECT_EQ(pending_reverse_edge_count(), 0u);
}

TEST_F(ReverseEdges, ManyDependantsFillBlocksInOrder) {
  ruleid base = simple_rule({"base.h"}, {});
  std::vector<ruleid> expect;
  for (int i = 0; i < 100; i++) {
    std::string t = "o" + std::to_string(i);
    expect.push_back(simple_rule({t.c_str()}, {"base.h"}));
  }
  EXPECT_EQ(dependants(base), expect);
  EXPECT_EQ(graph_statistics().n_dependant_blocks, 7u);  // ceil(100 / 16)
  EXPECT_EQ(graph_statistics().dependant_block_bytes, 7u * 80);
}

TEST_F(ReverseEdges, PendingListSpansBlocks) {
  for (int i = 0; i < 1200; i++) {
    std::string t = "t" + std::to_string(i);
    simple_rule({t.c_str()}, {"gen.h"});
  }
  EXPECT_EQ(pending_reverse_edge_count(), 1200u);
  EXPECT_EQ(graph_statistics().n_later_blocks, 3u);  // 510 pairs per block
  ruleid gen = simple_rule({"gen.h"}, {});
  resolve_pending_reverse_edges();
  std::vector<ruleid> deps = dependants(gen);
  ASSERT_EQ(deps.size(), 1200u);
  for (int i = 0; i < 1200; i++) EXPECT_EQ(deps[i], i);
}

TEST_F(ReverseEdges, RuleWithTwoTargetsGetsDependantOnce) {
  // Through the pending list and directly.
  ruleid early = simple_rule({"early"}, {"y.tab.c", "y.tab.h"});
  ruleid yacc = simple_rule({"y.tab.c", "y.tab.h"}, {});
  ruleid late = simple_rule({"late"}, {"y.tab.h", "y.tab.c"});
  resolve_pending_reverse_edges();
  EXPECT_EQ(dependants(yacc), (std::vector<ruleid>{late, early}));
}

TEST_F(RuleRecord, StatisticsLines) {
  simple_rule({"a"}, {"b", "c"});
  char buf[2048] = {};
  FILE* f = fmemopen(buf, sizeof(buf) - 1, "w");
  print_graph_statistics(f);
  print_arena_statistics(f);
  fclose(f);
  std::string out(buf);
  EXPECT_NE(out.find("  argmem: "), std::string::npos);
  EXPECT_NE(out.find("  stringtab: 4 "), std::string::npos);  // ".", a, b, c
  EXPECT_NE(out.find("  ruleid_by_tgt_entry: 1 4\n"), std::string::npos);
  EXPECT_NE(out.find("  tgt: 1 "), std::string::npos);
  EXPECT_NE(out.find("  kilndep: 2 "), std::string::npos);
  EXPECT_NE(out.find("  ruleid_by_dep_entry_block_later: 1 4096\n"), std::string::npos);
  EXPECT_NE(out.find("  add_dep_entry_block: 0 0\n"), std::string::npos);
  EXPECT_NE(out.find("  rule: 1 "), std::string::npos);
  EXPECT_NE(out.find("  my_malloc all: "), std::string::npos);
  EXPECT_LT(out.find("  argmem"), out.find("  stringtab"));
  EXPECT_LT(out.find("  add_dep_entry_block"), out.find("  rule:"));
}

}  // namespace
}  // namespace kiln::graph
