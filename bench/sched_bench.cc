// Scheduling benchmark: a graph of 1 + 1,000 + 100,000 phony rules with
// empty recipes (a root depending on 1,000 groups of 100 leaves, every
// leaf also listed by a second group so that dependants are shared), then
// preparation, the cycle check and consideration until every rule is
// complete. Nothing is spawned; the figures are the cost of the
// `dep_remain` bookkeeping, the up-to-date decision and completion.
//
// Usage: sched_bench [rounds]; prints the minimum and median of each phase.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "graph/add_rule.h"
#include "graph/arena.h"
#include "graph/config.h"
#include "graph/deferred.h"
#include "graph/rule.h"
#include "graph/stringtab.h"
#include "sched/build_loop.h"
#include "sched/build_state.h"
#include "sched/consider.h"

using namespace kiln;

namespace {

constexpr int k_groups = 1000;
constexpr int k_leaves_per_group = 100;

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

graph::parsed_name name(std::string n) {
  graph::parsed_name p;
  p.name = std::move(n);
  return p;
}

graph::ruleid make_graph() {
  std::vector<graph::parsed_name> groups;
  for (int g = 0; g < k_groups; g++) {
    std::vector<graph::parsed_name> leaves;
    for (int l = 0; l < k_leaves_per_group; l++) {
      int leaf = g * k_leaves_per_group + l;
      leaves.push_back(name("leaf" + std::to_string(leaf)));
      int shared = ((g + 1) % k_groups) * k_leaves_per_group + l;
      leaves.push_back(name("leaf" + std::to_string(shared)));
    }
    graph::add_rule({name("group" + std::to_string(g))}, leaves, nullptr, graph::k_rule_phony,
                    ".", 0, 1, -1);
    groups.push_back(name("group" + std::to_string(g)));
  }
  for (int i = 0; i < k_groups * k_leaves_per_group; i++) {
    graph::add_rule({name("leaf" + std::to_string(i))}, {}, nullptr, graph::k_rule_phony, ".", 0,
                    1, -1);
  }
  return graph::add_rule({name("root")}, groups, nullptr, graph::k_rule_phony, ".", 0, 1, -1);
}

void report(const char* phase, std::vector<double> t) {
  std::sort(t.begin(), t.end());
  printf("%-12s min %.4f s  median %.4f s\n", phase, t.front(), t[t.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 5;
  if (rounds < 1) rounds = 1;
  graph::conf.expected_deps = 8;
  graph::conf.expected_strings = 1 << 17;
  graph::conf.sttable_entries = 1 << 18;
  std::vector<double> t_prepare, t_cycles, t_build;
  for (int r = 0; r < rounds; r++) {
    sched::reset_build_state();
    graph::ruleid root = make_graph();
    graph::resolve_pending_reverse_edges();

    auto t0 = std::chrono::steady_clock::now();
    sched::prepare_all();
    t_prepare.push_back(seconds_since(t0));

    t0 = std::chrono::steady_clock::now();
    sched::make_wanted(root);
    sched::check_wanted_for_cycles(true);
    t_cycles.push_back(seconds_since(t0));

    t0 = std::chrono::steady_clock::now();
    sched::build(false);
    t_build.push_back(seconds_since(t0));
    if (!sched::wanted_empty()) {
      fputs("root not built\n", stderr);
      return 1;
    }
  }
  printf("%d rules, %d dependency entries, %d rounds\n", 1 + k_groups + k_groups * k_leaves_per_group,
         k_groups + 2 * k_groups * k_leaves_per_group, rounds);
  report("prepare", t_prepare);
  report("cycle check", t_cycles);
  report("build", t_build);
  return 0;
}
