// The rule graph: rule records with their targets, dependencies,
// `dep_remain` sets and dependants (`ruleid_by_dep`), the rule array, and
// the reverse edges that wait for their dependency's rule to appear.
//
// Every record lives in the arena and is never freed. A rule is addressed
// by its rule id, a dense index into the rule array; the array grows to
// twice its capacity plus 16 when full.
//
// Per-rule sets are hashed: the dependency buckets each hold two tree
// roots, `kilndep` entries by string id and `dep_remain` entries by rule
// id; the bucket of a key is the top bits of key * 0x9E3779B97F4A7C15
// (base/fib_hash.h), as many as the rule's bucket count needs. A rule starts with the expected-deps
// count (a power of two, fixed when the first rule is made; one unless
// @expecteddeps says otherwise) and doubles it whenever its set holds more
// than twice as many dependencies, so a rule of a few dependencies costs
// one bucket and one of thousands stays shallow.
// The target set has 4 buckets, bits 32-33 of id * 0x17F4A7C15; it holds
// the targets after the first, which is found without it. It is made
// with the second target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "graph/arena.h"
#include "graph/rbtree.h"
#include "graph/stringtab.h"

namespace kiln::front {
struct recipe;
}

namespace kiln::graph {

using ruleid = int32_t;  // -1: not looked up yet, -2: no rule

// Rule flag bits.
constexpr uint32_t k_rule_phony = 0x1;                 // targets are not files
constexpr uint32_t k_rule_maybe = 0x2;                 // may leave its targets untouched
constexpr uint32_t k_rule_rectgt = 0x4;                // has targets inside a @recdep directory
constexpr uint32_t k_rule_detouch = 0x8;               // recursive deps set back after running
constexpr uint32_t k_rule_executed = 0x10;             // finished (ran or found up to date)
constexpr uint32_t k_rule_ran = 0x20;                  // the recipe really ran
constexpr uint32_t k_rule_considered = 0x40;           // consideration has started
constexpr uint32_t k_rule_queued = 0x80;               // queued for execution
constexpr uint32_t k_rule_in_removal_list = 0x100;     // queued for removal by a clean
constexpr uint32_t k_rule_wanted = 0x200;              // on the wanted list
constexpr uint32_t k_rule_has_dep_time = 0x400;        // a dependency time was counted
constexpr uint32_t k_rule_implicit = 0x800;            // made for a target without a rule
constexpr uint32_t k_rule_dist = 0x1000;               // distributed targets
constexpr uint32_t k_rule_iscleanhook = 0x2000;        // run by "CLEAN"
constexpr uint32_t k_rule_isdistcleanhook = 0x4000;    // run by "DISTCLEAN"
constexpr uint32_t k_rule_isbothcleanhook = 0x8000;    // run by "BOTHCLEAN"
constexpr uint32_t k_rule_started = 0x10000;           // a command or touch was spawned
constexpr uint32_t k_rule_reachable = 0x20000;         // reachable from a wanted rule
constexpr uint32_t k_rule_in_consideration = 0x40000;  // guard of the recursive walk

// The three clean-hook kinds.
constexpr uint32_t k_rule_clean_hooks =
    k_rule_iscleanhook | k_rule_isdistcleanhook | k_rule_isbothcleanhook;

// Flags that come from the declaration rather than the build.
constexpr uint32_t k_rule_declared = k_rule_phony | k_rule_maybe | k_rule_rectgt |
                                     k_rule_detouch | k_rule_dist | k_rule_clean_hooks;

// Dependency entry flag bits.
constexpr uint32_t k_dep_recdep = 0x1;           // a directory whose whole tree counts
constexpr uint32_t k_dep_orderonly = 0x2;        // ordering only, never out of date
constexpr uint32_t k_dep_wait = 0x4;             // a barrier in consideration
constexpr uint32_t k_dep_explicit = 0x8;         // written in the rule itself
constexpr uint32_t k_dep_duplicate = 0x10;       // listed before; in the list, not the set
constexpr uint32_t k_dep_missing_allowed = 0x20; // missing file without rule is no error

// Target entry: member of the rule's ordered list and, after the first,
// of its 4-bucket set as part of a `tgt_set_node`.
struct tgt {
  tgt* next = nullptr;
  strid id = -1;       // simplified, prefixed path
  strid written = -1;  // the name as written
  bool is_dist = false;
};

struct tgt_set_node {
  rb_node link;
  tgt t;
};

// Dependency entry: member of the ordered list and, unless a duplicate,
// of the dependency set, as part of a `dep_set_node`. A duplicate has no
// tree links: a tree whose compiler dependency files name each header
// for both targets of a rule has as many duplicates as other entries.
struct kilndep {
  kilndep* next = nullptr;
  strid id = -1;
  strid written = -1;  // -1 when not given
  ruleid rule_id = -1;  // cached: -1 not looked up, -2 no rule
  uint32_t flags = 0;
};

struct dep_set_node {
  rb_node link;
  kilndep dep;
};

// A dependency rule this rule still waits for; linked in a list too, so
// that -d can print the remaining entries.
struct dep_remain : rb_node {
  ruleid rule_id = -1;
  int32_t count = 0;  // times consideration counted it as pending
  dep_remain* prev = nullptr;
  dep_remain* next = nullptr;
};

// One bucket of a rule's dependency sets.
struct dep_bucket {
  rb_node* kilndeps = nullptr;
  rb_node* dep_remains = nullptr;
};

constexpr int k_dependants_per_block = 16;

// Dependants of a rule after its first, 16 rule ids per 80-byte block, in
// insertion order.
struct ruleid_by_dep_entry_block {
  ruleid_by_dep_entry_block* next = nullptr;
  int32_t n_ids = 0;
  ruleid ids[k_dependants_per_block] = {};
};
static_assert(sizeof(ruleid_by_dep_entry_block) == 80);

struct rule {
  uint32_t flags = 0;
  ruleid id = -1;
  strid prefix = -1;  // directory of the declaring Kilnfile, "." for the top
  strid base = -1;    // pattern base of an instance, else -1
  strid stem = -1;    // the text "%" stood for in an instance, else -1
  int32_t scope = 0;  // directory scope the recipe is evaluated in
  int line = -1;      // declaration line, -1 when unknown
  int32_t newest_dep_nsec = 0;
  const front::recipe* recipe = nullptr;  // null: empty recipe

  // Evaluated commands: each a null-terminated word array "I"/"NI",
  // "E"/"NE", "M"/"NM", then argv. Set when the recipe is evaluated.
  char** const* commands = nullptr;
  uint32_t n_commands = 0;
  uint32_t command_index = 0;     // next command to run
  tgt* touch_cursor = nullptr;    // next target to touch (touch mode)

  tgt* first_tgt = nullptr;
  tgt* last_tgt = nullptr;
  rb_node** tgt_set = nullptr;  // the 4 buckets, made with the second target
  uint32_t n_tgts = 0;
  uint32_t n_deps = 0;          // list entries, duplicates included

  kilndep* first_dep = nullptr;
  kilndep* last_dep = nullptr;
  dep_bucket* buckets = nullptr;  // inline after the record until it grows
  uint32_t bucket_mask = 0;       // bucket count - 1
  uint32_t n_dep_set = 0;         // entries in the dependency set (no duplicates)

  uint32_t n_dep_remain = 0;     // entries in the dep_remain set
  uint32_t dep_remain_sum = 0;   // sum of their counts (pending sum)
  dep_remain* dep_remain_list = nullptr;
  kilndep* cursor = nullptr;     // where consideration stopped

  ruleid first_dependant = -1;  // the first dependant, the others in blocks
  bool touch_started = false;   // touch_cursor has been set up
  ruleid_by_dep_entry_block* first_dependants = nullptr;
  ruleid_by_dep_entry_block* last_dependants = nullptr;
  rb_node* dependant_set = nullptr;  // only for rules with several targets

  int64_t newest_dep_sec = 0;

  void* output = nullptr;  // the executor's output buffer state
};
static_assert(sizeof(rule) == 200);

// Number of rules made so far.
size_t rule_count();

// The rule with this id (0 <= id < rule_count()).
rule* rule_at(ruleid id);

// Bucket count a rule's dependency sets start with.
size_t dep_bucket_count();

// Makes an empty rule with the next rule id. The bucket count is taken
// from conf.expected_deps (rounded up to a power of two) at the first call;
// a rule about to get n_deps dependencies starts with the count its set
// would double to for them.
rule* new_rule(uint32_t flags, strid prefix, strid base, const front::recipe* recipe,
               int32_t scope, int line, size_t n_deps = 0);

// Notes the commands of a rule evaluated without running code, just made
// in the argument arena since `from`: release_commands can give them back
// once the rule is found up to date. One rule is noted at a time.
void note_releasable_commands(const rule* r, arena_mark from);

// Gives back the rule's commands when they were the last noted and
// nothing was allocated after them; the rule then has no commands, and a
// later check evaluates its recipe again. True when given back.
bool release_commands(rule* r);

// Text of the rule's first target, its name in every message.
const char* rule_name(const rule* r);

// Appends a target entry; -17 when the rule already has it.
int add_target(rule* r, strid id, strid written, bool is_dist);

// The rule's target entry for the string, or null.
tgt* find_target(const rule* r, strid id);

// Appends a dependency entry with the given k_dep_* flags. Returns 0 when
// new, 1 when the set already held it (the entry is still appended, marked
// duplicate; -d reports it on standard error).
int add_dep(rule* r, strid id, strid written, uint32_t flags);

// The rule's (first) dependency entry for the string, or null.
kilndep* find_dep(const rule* r, strid id);

// Adds a `dep_remain` entry with count 0 and counts it; -17 when present.
int add_dep_remain(rule* r, ruleid dep_rule);

// The `dep_remain` entry for the dependency rule, or null.
dep_remain* find_dep_remain(const rule* r, ruleid dep_rule);

// Counts the dependency rule as pending once more (its count and the
// pending sum); -2 when the rule has no entry for it.
int count_dep_pending(rule* r, ruleid dep_rule);

// Removes the entry: the entry number drops by one and the pending sum by
// its count. -2 when missing, -84 when its count exceeds the pending sum.
int remove_dep_remain(rule* r, ruleid dep_rule);

// Records that `dependent` depends on the string `dep`. When the string has
// a rule, the dependent joins that rule's dependants (once per rule pair);
// otherwise -2 with only_if_known, else the pair is kept pending.
int record_reverse_edge(strid dep, ruleid dependent, bool only_if_known);

// Replays the pending pairs only-if-known (pairs still without a rule are
// dropped) and empties the list.
void resolve_pending_reverse_edges();

// Number of pairs waiting in the pending list.
size_t pending_reverse_edge_count();

// Calls f(ruleid) for each dependant of the rule, in insertion order.
template <class F>
void for_each_dependant(const rule* r, F f) {
  if (r->first_dependant >= 0) f(r->first_dependant);
  for (const ruleid_by_dep_entry_block* b = r->first_dependants; b; b = b->next) {
    for (int i = 0; i < b->n_ids; i++) f(b->ids[i]);
  }
}

// Counters for the -d memory statistics: count and bytes of each record.
struct graph_stats {
  size_t n_tgt = 0, tgt_bytes = 0;
  size_t n_kilndep = 0, kilndep_bytes = 0;
  size_t n_dep_remain = 0, dep_remain_bytes = 0;
  size_t n_dependant_blocks = 0, dependant_block_bytes = 0;
  size_t n_later_blocks = 0, later_block_bytes = 0;
  size_t n_add_dep_blocks = 0, add_dep_block_bytes = 0;
  size_t n_rule = 0, rule_bytes = 0;
  size_t n_dependant_set = 0, dependant_set_bytes = 0;
};

// The counters; deferred.cc adds the add_dep_entry_block figures.
graph_stats& graph_statistics();

// Prints "  my_malloc all: ..." of the memory statistics.
void print_arena_statistics(FILE* out);

// Prints the memory statistics lines from "  argmem" to "  rule".
void print_graph_statistics(FILE* out);

// Forgets every rule and pending pair (tests only).
void rules_clear();

}  // namespace kiln::graph
