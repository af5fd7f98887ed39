#include "graph/rule.h"

#include <cstddef>
#include <cstdlib>
#include <new>

#include "base/diag.h"
#include "base/fib_hash.h"
#include "base/result_codes.h"
#include "graph/arena.h"
#include "graph/config.h"

namespace kiln::graph {

namespace {

constexpr uint64_t k_tgt_mult = 0x17F4A7C15ull;
constexpr int k_later_pairs_per_block = 510;
constexpr uint32_t k_max_dep_bucket_mask = (1u << 20) - 1;

// The rule array; capacity grows to twice plus 16.
rule** rules = nullptr;
size_t n_rules = 0;
size_t rules_capacity = 0;
size_t bucket_count = 0;  // a rule's initial count, fixed at the first rule

graph_stats stats;

// A dependency named before its rule exists: (dependency string, dependent).
struct later_pair {
  strid dep;
  ruleid dependent;
};

// Pending reverse edges, 510 pairs per 4096-byte block, in arrival order.
struct ruleid_by_dep_entry_block_later {
  ruleid_by_dep_entry_block_later* next = nullptr;
  int32_t n_pairs = 0;
  later_pair pairs[k_later_pairs_per_block];
};
static_assert(sizeof(ruleid_by_dep_entry_block_later) == 4096);

ruleid_by_dep_entry_block_later* later_first = nullptr;
ruleid_by_dep_entry_block_later* later_last = nullptr;
size_t n_later = 0;

// Set of dependants of a rule with several targets, so that a rule that
// depends on two of its targets is reconsidered once per completion.
struct dependant_node : rb_node {
  ruleid id = -1;
};

inline dep_bucket& dep_bucket_of(const rule* r, uint64_t key) {
  return r->buckets[fib_bucket(static_cast<uint32_t>(key), size_t{r->bucket_mask} + 1)];
}

inline size_t tgt_bucket_of(strid id) {
  return static_cast<size_t>(((static_cast<uint64_t>(static_cast<uint32_t>(id)) * k_tgt_mult) >> 32) & 3);
}

inline int compare_ids(int32_t a, int32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

inline uint64_t key_of(int32_t v) { return static_cast<uint32_t>(v); }

// The entry of a dependency-set node, and the node of an entry that is
// no duplicate.
inline kilndep* set_dep(const rb_node* n) {
  return &reinterpret_cast<dep_set_node*>(const_cast<rb_node*>(n))->dep;
}
inline dep_set_node* set_node_of(kilndep* d) {
  return reinterpret_cast<dep_set_node*>(reinterpret_cast<char*>(d) - offsetof(dep_set_node, dep));
}

// Doubles the rule's buckets and re-inserts both sets, walking the
// dependency list (duplicates are in no set) and the `dep_remain` list.
// The old array stays in the arena, unused.
void grow_dep_buckets(rule* r) {
  size_t n = (static_cast<size_t>(r->bucket_mask) + 1) * 2;
  r->buckets = static_cast<dep_bucket*>(my_malloc(n * sizeof(dep_bucket), alignof(dep_bucket)));
  r->bucket_mask = static_cast<uint32_t>(n - 1);
  stats.rule_bytes += n * sizeof(dep_bucket);
  for (kilndep* d = r->first_dep; d; d = d->next) {
    if (d->flags & k_dep_duplicate) continue;
    rb_insert_unique(&dep_bucket_of(r, key_of(d->id)).kilndeps, &set_node_of(d)->link,
                     [&](const rb_node* x) { return compare_ids(d->id, set_dep(x)->id); });
  }
  for (dep_remain* e = r->dep_remain_list; e; e = e->next) {
    rb_insert_unique(&dep_bucket_of(r, key_of(e->rule_id)).dep_remains, e, [&](const rb_node* x) {
      return compare_ids(e->rule_id, static_cast<const dep_remain*>(x)->rule_id);
    });
  }
}

template <class T>
T* arena_new() {
  return new (my_malloc(sizeof(T), alignof(T))) T();
}

void grow_rule_array() {
  size_t cap = rules_capacity * 2 + 16;
  rule** a = static_cast<rule**>(realloc(rules, cap * sizeof(rule*)));
  if (!a) diag::fatal("out of memory");
  rules = a;
  rules_capacity = cap;
}

void fix_bucket_count() {
  size_t n = 1;
  while (n < conf.expected_deps) n <<= 1;
  bucket_count = n;
}

// Keeps the first dependant in the rule, appends the others to its
// blocks of 16.
void append_dependant(rule* r, ruleid dependent) {
  if (r->first_dependant < 0) {
    r->first_dependant = dependent;
    return;
  }
  ruleid_by_dep_entry_block* b = r->last_dependants;
  if (!b || b->n_ids == k_dependants_per_block) {
    b = arena_new<ruleid_by_dep_entry_block>();
    stats.n_dependant_blocks++;
    stats.dependant_block_bytes += sizeof(*b);
    if (r->last_dependants)
      r->last_dependants->next = b;
    else
      r->first_dependants = b;
    r->last_dependants = b;
  }
  b->ids[b->n_ids++] = dependent;
}

// True when the dependant was not yet recorded for a rule with several
// targets (and records it); always true for single-target rules.
bool first_edge_for_pair(rule* r, ruleid dependent) {
  if (r->n_tgts < 2) return true;
  rb_place at = rb_locate(r->dependant_set, [&](const rb_node* n) {
    return compare_ids(dependent, static_cast<const dependant_node*>(n)->id);
  });
  if (at.found) return false;
  dependant_node* node = arena_new<dependant_node>();
  node->id = dependent;
  rb_link(&r->dependant_set, at.parent, at.left, node);
  stats.n_dependant_set++;
  stats.dependant_set_bytes += sizeof(dependant_node);
  return true;
}

void append_later(strid dep, ruleid dependent) {
  ruleid_by_dep_entry_block_later* b = later_last;
  if (!b || b->n_pairs == k_later_pairs_per_block) {
    // From the heap, not the arena: the blocks are freed once resolved.
    b = static_cast<ruleid_by_dep_entry_block_later*>(malloc(sizeof(ruleid_by_dep_entry_block_later)));
    if (!b) diag::fatal("out of memory");
    b->next = nullptr;
    b->n_pairs = 0;
    stats.n_later_blocks++;
    stats.later_block_bytes += sizeof(*b);
    if (later_last)
      later_last->next = b;
    else
      later_first = b;
    later_last = b;
  }
  b->pairs[b->n_pairs++] = later_pair{dep, dependent};
  n_later++;
}

}  // namespace

size_t rule_count() { return n_rules; }

rule* rule_at(ruleid id) { return rules[id]; }

size_t dep_bucket_count() {
  if (bucket_count == 0) fix_bucket_count();
  return bucket_count;
}

rule* new_rule(uint32_t flags, strid prefix, strid base, const front::recipe* recipe,
               int32_t scope, int line, size_t n_deps) {
  if (bucket_count == 0) fix_bucket_count();
  if (n_rules >= 0x7fffffff) diag::fatal("too many rules");
  if (n_rules == rules_capacity) grow_rule_array();
  size_t n_buckets = bucket_count;
  while (n_deps > 2 * n_buckets && n_buckets - 1 < k_max_dep_bucket_mask) n_buckets *= 2;
  size_t bytes = sizeof(rule) + n_buckets * sizeof(dep_bucket);
  void* mem = my_malloc(bytes, alignof(rule));
  rule* r = new (mem) rule();
  r->buckets = reinterpret_cast<dep_bucket*>(r + 1);  // zeroed by the arena
  r->bucket_mask = static_cast<uint32_t>(n_buckets - 1);
  r->flags = flags;
  r->id = static_cast<ruleid>(n_rules);
  r->prefix = prefix;
  r->base = base;
  r->recipe = recipe;
  r->scope = scope;
  r->line = line;
  rules[n_rules++] = r;
  stats.n_rule++;
  stats.rule_bytes += bytes;
  return r;
}

namespace {

const rule* releasable_rule = nullptr;
arena_mark releasable_from;
arena_mark releasable_end;

}  // namespace

void note_releasable_commands(const rule* r, arena_mark from) {
  releasable_rule = r;
  releasable_from = from;
  releasable_end = arg_mark();
}

bool release_commands(rule* r) {
  if (r != releasable_rule) return false;
  releasable_rule = nullptr;
  arena_mark top = arg_mark();
  if (top.arena != releasable_end.arena || top.used != releasable_end.used) return false;
  if (!release_args_to(releasable_from)) return false;
  r->commands = nullptr;
  r->n_commands = 0;
  return true;
}

const char* rule_name(const rule* r) { return r->first_tgt ? text(r->first_tgt->id) : "(none)"; }

namespace {

inline tgt* set_tgt(const rb_node* n) {
  return &reinterpret_cast<tgt_set_node*>(const_cast<rb_node*>(n))->t;
}

inline int compare_tgt(strid id, const rb_node* n) { return compare_ids(id, set_tgt(n)->id); }

}  // namespace

int add_target(rule* r, strid id, strid written, bool is_dist) {
  tgt* t;
  if (!r->first_tgt) {
    t = arena_new<tgt>();
    stats.tgt_bytes += sizeof(tgt);
  } else {
    if (r->first_tgt->id == id) return base::rc_exists;
    if (!r->tgt_set) {
      r->tgt_set = static_cast<rb_node**>(my_malloc(4 * sizeof(rb_node*), alignof(rb_node*)));
      stats.rule_bytes += 4 * sizeof(rb_node*);
    }
    rb_node** root = &r->tgt_set[tgt_bucket_of(id)];
    rb_place at = rb_locate(*root, [&](const rb_node* n) { return compare_tgt(id, n); });
    if (at.found) return base::rc_exists;
    tgt_set_node* node = arena_new<tgt_set_node>();
    rb_link(root, at.parent, at.left, &node->link);
    t = &node->t;
    stats.tgt_bytes += sizeof(tgt_set_node);
  }
  t->id = id;
  t->written = written;
  t->is_dist = is_dist;
  if (r->last_tgt)
    r->last_tgt->next = t;
  else
    r->first_tgt = t;
  r->last_tgt = t;
  r->n_tgts++;
  stats.n_tgt++;
  return 0;
}

tgt* find_target(const rule* r, strid id) {
  if (r->first_tgt && r->first_tgt->id == id) return r->first_tgt;
  if (!r->tgt_set) return nullptr;
  rb_node* n = rb_find(r->tgt_set[tgt_bucket_of(id)], [&](const rb_node* x) { return compare_tgt(id, x); });
  return n ? set_tgt(n) : nullptr;
}

int add_dep(rule* r, strid id, strid written, uint32_t flags) {
  rb_node** root = &dep_bucket_of(r, key_of(id)).kilndeps;
  rb_place at = rb_locate(*root, [&](const rb_node* n) { return compare_ids(id, set_dep(n)->id); });
  bool old = at.found != nullptr;
  kilndep* d;
  if (old) {
    d = arena_new<kilndep>();
    if (conf.trace) fprintf(stderr, "kiln: duplicate dep %s: %s detected\n", rule_name(r), text(id));
  } else {
    dep_set_node* node = arena_new<dep_set_node>();
    rb_link(root, at.parent, at.left, &node->link);
    d = &node->dep;
  }
  d->id = id;
  d->written = written;
  d->flags = (flags & ~k_dep_duplicate) | (old ? k_dep_duplicate : 0);
  if (r->last_dep)
    r->last_dep->next = d;
  else
    r->first_dep = d;
  r->last_dep = d;
  r->n_deps++;
  stats.n_kilndep++;
  stats.kilndep_bytes += old ? sizeof(kilndep) : sizeof(dep_set_node);
  if (old) return 1;
  if (++r->n_dep_set > 2 * (static_cast<size_t>(r->bucket_mask) + 1) &&
      r->bucket_mask < k_max_dep_bucket_mask) {
    grow_dep_buckets(r);
  }
  return 0;
}

kilndep* find_dep(const rule* r, strid id) {
  rb_node* n = rb_find(dep_bucket_of(r, key_of(id)).kilndeps,
                       [&](const rb_node* x) { return compare_ids(id, set_dep(x)->id); });
  return n ? set_dep(n) : nullptr;
}

dep_remain* find_dep_remain(const rule* r, ruleid dep_rule) {
  rb_node* n = rb_find(dep_bucket_of(r, key_of(dep_rule)).dep_remains,
                       [&](const rb_node* x) {
                         return compare_ids(dep_rule, static_cast<const dep_remain*>(x)->rule_id);
                       });
  return static_cast<dep_remain*>(n);
}

int add_dep_remain(rule* r, ruleid dep_rule) {
  rb_node** root = &dep_bucket_of(r, key_of(dep_rule)).dep_remains;
  rb_place at = rb_locate(*root, [&](const rb_node* n) {
    return compare_ids(dep_rule, static_cast<const dep_remain*>(n)->rule_id);
  });
  if (at.found) return base::rc_exists;
  dep_remain* e = arena_new<dep_remain>();
  e->rule_id = dep_rule;
  rb_link(root, at.parent, at.left, e);
  e->next = r->dep_remain_list;
  if (e->next) e->next->prev = e;
  r->dep_remain_list = e;
  r->n_dep_remain++;
  stats.n_dep_remain++;
  stats.dep_remain_bytes += sizeof(dep_remain);
  return 0;
}

int count_dep_pending(rule* r, ruleid dep_rule) {
  dep_remain* e = find_dep_remain(r, dep_rule);
  if (!e) return base::rc_not_found;
  e->count++;
  r->dep_remain_sum++;
  return 0;
}

int remove_dep_remain(rule* r, ruleid dep_rule) {
  dep_remain* e = find_dep_remain(r, dep_rule);
  if (!e) return base::rc_not_found;
  if (static_cast<uint32_t>(e->count) > r->dep_remain_sum) return base::rc_out_of_bounds;
  rb_erase(&dep_bucket_of(r, key_of(dep_rule)).dep_remains, e);
  if (e->prev)
    e->prev->next = e->next;
  else
    r->dep_remain_list = e->next;
  if (e->next) e->next->prev = e->prev;
  r->n_dep_remain--;
  r->dep_remain_sum -= static_cast<uint32_t>(e->count);
  return 0;
}

int record_reverse_edge(strid dep, ruleid dependent, bool only_if_known) {
  ruleid owner = ruleid_by_tgt(dep);
  if (owner < 0) {
    if (only_if_known) return base::rc_not_found;
    append_later(dep, dependent);
    return 0;
  }
  rule* r = rules[owner];
  if (first_edge_for_pair(r, dependent)) append_dependant(r, dependent);
  return 0;
}

void resolve_pending_reverse_edges() {
  ruleid_by_dep_entry_block_later* b = later_first;
  later_first = later_last = nullptr;
  n_later = 0;
  while (b) {
    for (int i = 0; i < b->n_pairs; i++) {
      record_reverse_edge(b->pairs[i].dep, b->pairs[i].dependent, true);
    }
    ruleid_by_dep_entry_block_later* next = b->next;
    free(b);
    b = next;
  }
}

namespace {

void free_later_blocks() {
  while (later_first) {
    ruleid_by_dep_entry_block_later* next = later_first->next;
    free(later_first);
    later_first = next;
  }
}

}  // namespace

size_t pending_reverse_edge_count() { return n_later; }

graph_stats& graph_statistics() { return stats; }

void print_arena_statistics(FILE* out) {
  const arena_stats& a = arena_statistics();
  fprintf(out, "  my_malloc all: %zu %zu (+ wasted %zu)\n", a.allocations, a.bytes, a.wasted);
}

void print_graph_statistics(FILE* out) {
  const arena_stats& a = arena_statistics();
  const stringtab_stats& s = stringtab_statistics();
  fprintf(out, "  argmem: %zu %zu\n", a.arg_allocations, a.arg_bytes);
  fprintf(out, "  stringtab: %zu %zu + %zu + %zu + %zu\n", s.entries, s.entry_bytes, s.text_bytes,
          s.sttable_bytes, s.index_bytes);
  fprintf(out, "  ruleid_by_tgt_entry: %zu %zu\n", s.ruleid_by_tgt_entries,
          s.ruleid_by_tgt_entries * sizeof(int32_t));
  fprintf(out, "  tgt: %zu %zu\n", stats.n_tgt, stats.tgt_bytes);
  fprintf(out, "  kilndep: %zu %zu\n", stats.n_kilndep, stats.kilndep_bytes);
  fprintf(out, "  dep_remain: %zu %zu\n", stats.n_dep_remain, stats.dep_remain_bytes);
  fprintf(out, "  ruleid_by_dep_entry_block: %zu %zu\n", stats.n_dependant_blocks,
          stats.dependant_block_bytes);
  fprintf(out, "  ruleid_by_dep_entry_block_later: %zu %zu\n", stats.n_later_blocks,
          stats.later_block_bytes);
  fprintf(out, "  add_dep_entry_block: %zu %zu\n", stats.n_add_dep_blocks, stats.add_dep_block_bytes);
  fprintf(out, "  rule: %zu %zu\n", stats.n_rule, stats.rule_bytes);
}

void rules_clear() {
  free(rules);
  rules = nullptr;
  n_rules = rules_capacity = 0;
  bucket_count = 0;
  free_later_blocks();
  later_first = later_last = nullptr;
  n_later = 0;
  stats = graph_stats();
}

}  // namespace kiln::graph
