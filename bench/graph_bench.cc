// Rule graph benchmark: interns 1,000,000 distinct paths shaped like a
// source tree, then adds 100,000 rules of 10 dependencies each through Add
// rule (joining, simplifying and interning every name), resolves the
// pending reverse edges and prints the elapsed time of each phase.
//
// Usage: graph_bench [rounds [expected-strings]]
// Each round starts from empty tables (the arena memory of earlier rounds is
// not reused). expected-strings is the string table's bucket count (a power
// of two; default the built-in 8192, as @expectedstrings would set it).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <algorithm>

#include "base/settings.h"
#include "graph/add_rule.h"
#include "graph/arena.h"
#include "graph/rule.h"
#include "graph/stringtab.h"

using namespace kiln::graph;

namespace {

constexpr int k_paths = 1000000;
constexpr int k_rules = 100000;
constexpr int k_deps = 10;

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// "dir123/sub4/file5678.o" and friends: 1000 directories, 10 sub-directories
// each, 100 files per sub-directory, one suffix. Returns the length.
int path_name(int i, char* buf, size_t size) {
  static const char* const suffixes[] = {".o", ".c", ".h", ".d"};
  return snprintf(buf, size, "dir%d/sub%d/file%d%s", i / 1000, (i / 100) % 10, i,
                  suffixes[(i / 250000) % 4]);
}

struct round_times {
  double intern_s, rules_s, resolve_s;
};

round_times one_round() {
  stringtab_clear();
  rules_clear();
  stringtab_init(kiln::cfg.expected_strings, kiln::cfg.sttable_entries);
  // The names are made in one block first so that only interning is timed.
  round_times t{};
  {
    std::vector<char> names(static_cast<size_t>(k_paths) * 32);
    std::vector<int> lengths(k_paths);
    for (int i = 0; i < k_paths; i++) lengths[i] = path_name(i, &names[i * 32ul], 32);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < k_paths; i++) intern(&names[i * 32ul], lengths[i]);
    t.intern_s = seconds_since(t0);
  }
  if (stringtab_size() != static_cast<size_t>(k_paths)) {
    fprintf(stderr, "interning lost strings\n");
    exit(1);
  }

  // Rule i builds objN.o in its directory from its source and nine
  // headers spread over the tree; prefix is the rule's directory. The
  // parsed records are made in batches outside the clock, so that only Add
  // rule is timed and the input does not swell the peak memory.
  struct parsed {
    std::string prefix;
    std::vector<parsed_name> targets, deps;
  };
  constexpr int k_batch = 1000;
  std::vector<parsed> input(k_batch);
  for (parsed& p : input) {
    p.targets.resize(1);
    p.deps.resize(k_deps);
  }
  t.rules_s = 0;
  for (int start = 0; start < k_rules; start += k_batch) {
    for (int i = start; i < start + k_batch; i++) {
      char buf[64];
      parsed& p = input[i - start];
      snprintf(buf, sizeof(buf), "dir%d/sub%d", i / 100, i % 10);
      p.prefix = buf;
      snprintf(buf, sizeof(buf), "obj%d.o", i);
      p.targets[0].name = buf;
      snprintf(buf, sizeof(buf), "src%d.c", i);
      p.deps[0].name = buf;
      for (int d = 1; d < k_deps; d++) {
        int h = (i * 7 + d * 131) % 5000;
        snprintf(buf, sizeof(buf), "../../inc%d/hdr%d.h", h / 100, h);
        p.deps[d].name = buf;
      }
    }
    auto t0 = std::chrono::steady_clock::now();
    for (int i = start; i < start + k_batch; i++) {
      const parsed& p = input[i - start];
      add_rule(p.targets, p.deps, nullptr, 0, p.prefix, 0, i + 1, -1);
    }
    t.rules_s += seconds_since(t0);
  }
  auto t0 = std::chrono::steady_clock::now();
  resolve_pending_reverse_edges();
  t.resolve_s = seconds_since(t0);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 1;
  if (rounds < 1) rounds = 1;
  if (argc > 2) kiln::cfg.expected_strings = strtoul(argv[2], nullptr, 0);
  arena_init();
  std::vector<double> totals;
  for (int r = 0; r < rounds; r++) {
    round_times t = one_round();
    double total = t.intern_s + t.rules_s + t.resolve_s;
    totals.push_back(total);
    printf("round %d: intern %d paths %.3f s, add %d rules x %d deps %.3f s, resolve %.3f s, total %.3f s\n",
           r + 1, k_paths, t.intern_s, k_rules, k_deps, t.rules_s, t.resolve_s, total);
  }
  std::sort(totals.begin(), totals.end());
  printf("total: min %.3f s, median %.3f s (%d rounds); strings %zu, rules %zu\n", totals[0],
         totals[totals.size() / 2], rounds, stringtab_size(), rule_count());
  printf("Memory use statistics:\n");
  print_arena_statistics(stdout);
  print_graph_statistics(stdout);
  return 0;
}
