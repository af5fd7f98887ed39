#include "sched/consider.h"

#include <sys/stat.h>

#include <cstdio>

#include "base/diag.h"
#include "base/settings.h"
#include "exec/progress.h"
#include "graph/stringtab.h"
#include "sched/do_exec.h"
#include "sched/fscache.h"

namespace kiln::sched {

namespace {

// Wanted list links by rule id; -1 ends the list.
std::vector<graph::ruleid> wanted_prev, wanted_next;
graph::ruleid wanted_first = -1, wanted_last = -1;

// The run queue: a stack of rule ids. Capacity grows to twice plus 16.
graph::ruleid* queue = nullptr;
size_t queue_size = 0, queue_capacity = 0;

std::vector<uint8_t> prepared;

void fit_wanted(graph::ruleid id) {
  size_t need = static_cast<size_t>(id) + 1;
  if (wanted_prev.size() < need) {
    wanted_prev.resize(need, -1);
    wanted_next.resize(need, -1);
  }
}

// The dependency's rule id, looked up once and cached in the entry.
graph::ruleid dep_rule(graph::kilndep* d) {
  if (d->rule_id == -1) d->rule_id = graph::ruleid_by_tgt(d->id);
  return d->rule_id;
}

// Whether a file without rule exists (following symbolic links). The
// up-to-date decision stats every such source anyway, so its stat-cache
// entry answers for all but symbolic links, which the access cache
// follows; a no-op build then makes one system call per source.
bool source_exists(graph::strid id) {
  const stat_info& st = stat_cached(id);
  if (st.nonexistent) return false;
  if (!S_ISLNK(st.mode)) return true;
  return exists_cached(id);
}

void check_ruleless(const graph::rule* r, const graph::kilndep* d) {
  if (cfg.debug) diag::trace("ruleid by target %s not found\n", graph::text(d->id));
  if (d->flags & graph::k_dep_missing_allowed) return;
  if (!source_exists(d->id)) {
    diag::fatal("No %s and rule not found, required by target %s", graph::text(d->id),
                graph::rule_name(r));
  }
}

// Walks the dependency list from `from`, considering every dependency
// rule and counting the unfinished ones as pending. Stops at a `wait`
// entry while something is pending. Returns the nonzero result of any
// inner consideration (or 0); *pending tells whether one was counted.
int walk_deps(graph::rule* r, graph::kilndep* from, bool* pending) {
  int result = 0;
  for (graph::kilndep* d = from; d; d = d->next) {
    graph::ruleid dr = dep_rule(d);
    if (d->flags & graph::k_dep_duplicate) continue;
    r->cursor = d;
    if (r->dep_remain_sum > 0 && (d->flags & graph::k_dep_wait)) break;
    if (dr < 0) {
      check_ruleless(r, d);
      continue;
    }
    diag::depth++;
    int sub = consider(dr);
    diag::depth--;
    if (sub) result = sub;
    if (!(graph::rule_at(dr)->flags & graph::k_rule_executed)) {
      if (cfg.debug) diag::trace("rule %d not executed, executing rule %d\n", dr, r->id);
      if (graph::count_dep_pending(r, dr) < 0) diag::internal_error("4.1");
      *pending = true;
    }
  }
  return result;
}

int decide(graph::ruleid id) {
  diag::depth++;
  int r = do_exec(id);
  diag::depth--;
  return r;
}

void report_cycle(const std::vector<uint8_t>& on_path) {
  fflush(stdout);
  fputs("kiln: cycle found\n", stderr);
  for (size_t i = 0; i < on_path.size(); i++) {
    if (!on_path[i]) continue;
    fputs(" rule in cycle: (", stderr);
    const graph::rule* r = graph::rule_at(static_cast<graph::ruleid>(i));
    for (const graph::tgt* t = r->first_tgt; t; t = t->next) fprintf(stderr, " %s", graph::text(t->id));
    fputs(" )\n", stderr);
  }
  diag::fatal("cycle found, cannot proceed further");
}

}  // namespace

void make_wanted(graph::ruleid id) {
  graph::rule* r = graph::rule_at(id);
  if (r->flags & graph::k_rule_wanted) return;
  fit_wanted(id);
  r->flags |= graph::k_rule_wanted;
  wanted_prev[id] = wanted_last;
  wanted_next[id] = -1;
  if (wanted_last >= 0) wanted_next[wanted_last] = id;
  else wanted_first = id;
  wanted_last = id;
}

void remove_wanted(graph::ruleid id) {
  graph::rule* r = graph::rule_at(id);
  if (!(r->flags & graph::k_rule_wanted)) return;
  r->flags &= ~graph::k_rule_wanted;
  graph::ruleid p = wanted_prev[id], n = wanted_next[id];
  if (p >= 0) wanted_next[p] = n;
  else wanted_first = n;
  if (n >= 0) wanted_prev[n] = p;
  else wanted_last = p;
  wanted_prev[id] = wanted_next[id] = -1;
}

graph::ruleid first_wanted() { return wanted_first; }

graph::ruleid next_wanted(graph::ruleid id) { return wanted_next[id]; }

bool wanted_empty() { return wanted_first < 0; }

void run_queue_push(graph::ruleid id) {
  if (queue_size == queue_capacity) {
    size_t cap = queue_capacity * 2 + 16;
    auto* grown = static_cast<graph::ruleid*>(realloc(queue, cap * sizeof(graph::ruleid)));
    if (!grown) diag::fatal("out of memory");
    queue = grown;
    queue_capacity = cap;
  }
  queue[queue_size++] = id;
  graph::rule_at(id)->flags |= graph::k_rule_queued;
  exec::progress_rule_queued();
}

graph::ruleid run_queue_pop() { return queue_size ? queue[--queue_size] : -1; }

size_t run_queue_size() { return queue_size; }

void prepare(graph::ruleid id) {
  graph::rule* r = graph::rule_at(id);
  for (graph::kilndep* d = r->first_dep; d; d = d->next) {
    graph::ruleid dr = dep_rule(d);
    if (dr >= 0) graph::add_dep_remain(r, dr);  // -17: already has one
  }
  if (prepared.size() <= static_cast<size_t>(id)) prepared.resize(static_cast<size_t>(id) + 1, 0);
  prepared[id] = 1;
}

void reset_consideration() {
  constexpr uint32_t k_run_marks =
      graph::k_rule_executed | graph::k_rule_considered | graph::k_rule_queued |
      graph::k_rule_wanted | graph::k_rule_has_dep_time | graph::k_rule_reachable |
      graph::k_rule_in_consideration;
  size_t n = graph::rule_count();
  for (size_t i = 0; i < n; i++) {
    graph::rule* r = graph::rule_at(static_cast<graph::ruleid>(i));
    r->flags &= ~k_run_marks;
    r->cursor = nullptr;
    r->command_index = 0;
    r->touch_cursor = nullptr;
    r->touch_started = false;
    r->newest_dep_sec = 0;
    r->newest_dep_nsec = 0;
    // The old entries stay in the arena, unreachable.
    for (size_t b = 0; b <= r->bucket_mask; b++) r->buckets[b].dep_remains = nullptr;
    r->dep_remain_list = nullptr;
    r->n_dep_remain = 0;
    r->dep_remain_sum = 0;
  }
  prepared.clear();
  prepare_all();
}

void prepare_all() {
  size_t n = graph::rule_count();
  for (size_t i = 0; i < n; i++) prepare(static_cast<graph::ruleid>(i));
}

int consider(graph::ruleid id) {
  graph::rule* r = graph::rule_at(id);
  if (cfg.debug) diag::trace("considering %s\n", graph::rule_name(r));
  if (r->flags & graph::k_rule_executed) {
    if (cfg.debug) diag::trace("already execed %s\n", graph::rule_name(r));
    return 0;
  }
  if (r->flags & graph::k_rule_considered) {
    if (cfg.debug) diag::trace("already execing %s\n", graph::rule_name(r));
    return 0;
  }
  r->flags |= graph::k_rule_considered | graph::k_rule_in_consideration;
  bool pending = false;
  int result = walk_deps(r, r->first_dep, &pending);
  if (pending || (r->flags & graph::k_rule_queued)) {
    r->flags &= ~graph::k_rule_in_consideration;
    return result;
  }
  result = decide(id);
  r->flags &= ~graph::k_rule_in_consideration;
  return result;
}

void reconsider(graph::ruleid id, graph::ruleid finished) {
  graph::rule* r = graph::rule_at(id);
  if (cfg.debug) diag::trace("reconsidering %s\n", graph::rule_name(r));
  if (r->flags & graph::k_rule_executed) {
    if (cfg.debug) diag::trace("already execed %s\n", graph::rule_name(r));
    return;
  }
  if (!(r->flags & graph::k_rule_considered) || (r->flags & graph::k_rule_in_consideration)) {
    if (cfg.debug) {
      diag::trace("rule not executing or is under consideration %s\n", graph::rule_name(r));
    }
    graph::remove_dep_remain(r, finished);
    return;
  }
  if (graph::remove_dep_remain(r, finished) < 0) diag::internal_error("4.2");
  size_t remaining = r->n_dep_remain;
  if (cfg.debug && remaining) {
    diag::trace("deps remain: %zu\n", remaining);
    for (const graph::dep_remain* e = r->dep_remain_list; e; e = e->next) {
      diag::trace("  dep_remain: %d / %s\n", e->rule_id, graph::rule_name(graph::rule_at(e->rule_id)));
    }
  }
  r->flags |= graph::k_rule_in_consideration;
  bool pending = false;
  walk_deps(r, r->cursor ? r->cursor : r->first_dep, &pending);
  if (remaining == 0 && !(r->flags & graph::k_rule_queued)) decide(id);
  r->flags &= ~graph::k_rule_in_consideration;
}

void cycle_check(graph::ruleid id, std::vector<uint8_t>& done, std::vector<uint8_t>& on_path,
                 bool mark) {
  if (done[id]) return;
  if (on_path[id]) report_cycle(on_path);
  on_path[id] = 1;
  graph::rule* r = graph::rule_at(id);
  for (graph::kilndep* d = r->first_dep; d; d = d->next) {
    if (d->flags & graph::k_dep_duplicate) continue;
    graph::ruleid dr = dep_rule(d);
    if (dr >= 0) cycle_check(dr, done, on_path, mark);
  }
  on_path[id] = 0;
  done[id] = 1;
  if (mark) r->flags |= graph::k_rule_reachable;
}

void check_wanted_for_cycles(bool mark) {
  for (graph::ruleid w = wanted_first; w >= 0; w = wanted_next[w]) {
    std::vector<uint8_t> done(graph::rule_count(), 0), on_path(graph::rule_count(), 0);
    cycle_check(w, done, on_path, mark);
  }
}

size_t apply_order_pairs(const std::vector<std::pair<std::string, std::string>>& pairs) {
  if (prepared.size() < graph::rule_count()) diag::internal_error("4.3");
  for (uint8_t p : prepared) {
    if (!p) diag::internal_error("4.3");
  }
  for (const auto& [first_name, second_name] : pairs) {
    graph::strid a = graph::lookup(first_name.c_str());
    graph::ruleid ra = a < 0 ? -2 : graph::ruleid_by_tgt(a);
    if (ra < 0) diag::fatal("@order rule '%s' not found", first_name.c_str());
    graph::strid b = graph::lookup(second_name.c_str());
    graph::ruleid rb = b < 0 ? -2 : graph::ruleid_by_tgt(b);
    if (rb < 0) diag::fatal("@order rule '%s' not found", second_name.c_str());
    graph::rule* first = graph::rule_at(ra);
    graph::rule* second = graph::rule_at(rb);
    if (!(first->flags & second->flags & graph::k_rule_reachable)) continue;
    int added = graph::add_dep(second, a, -1, 0);
    if (added < 0) diag::fatal("out of memory");
    second->last_dep->rule_id = ra;
    graph::add_dep_remain(second, ra);
    if (added == 0) graph::record_reverse_edge(a, rb, true);
    if (cfg.debug) diag::trace("added order %s %s\n", first_name.c_str(), second_name.c_str());
  }
  return pairs.size();
}

void consider_reset() {
  wanted_prev.clear();
  wanted_next.clear();
  wanted_first = wanted_last = -1;
  queue_size = 0;
  prepared.clear();
}

}  // namespace kiln::sched
