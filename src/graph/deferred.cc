#include "graph/deferred.h"

#include <cstdlib>
#include <utility>

#include "base/diag.h"
#include "base/result_codes.h"
#include "graph/arena.h"
#include "graph/config.h"

namespace kiln::graph {

namespace {

constexpr int k_add_deps_per_block = 340;

struct add_dep_entry {
  strid target;
  strid dep;  // -1: only that the target exists
  uint32_t flags;
};

// Deferred entries, 340 per 4096-byte block, in arrival order. The blocks
// are malloc'd and freed once resolved: unlike the graph's records they
// are not needed after start-up.
struct add_dep_entry_block {
  add_dep_entry_block* next = nullptr;
  int32_t n_entries = 0;
  add_dep_entry entries[k_add_deps_per_block];
};
static_assert(sizeof(add_dep_entry_block) <= 4096);

add_dep_entry_block* first_block = nullptr;
add_dep_entry_block* last_block = nullptr;
size_t n_deferred = 0;

template <class F>
void for_each_deferred(add_dep_entry_block* b, F f) {
  for (; b; b = b->next) {
    for (int i = 0; i < b->n_entries; i++) f(b->entries[i]);
  }
}

void free_blocks(add_dep_entry_block* b) {
  while (b) {
    add_dep_entry_block* next = b->next;
    free(b);
    b = next;
  }
}

// Adds the deferred dependency to the rule; a new one records its reverse
// edge when the dependency's rule is known, else -d tells it was omitted.
void add_deferred_dep(rule* r, const add_dep_entry& e, const char* omitting) {
  uint32_t flags = (e.flags & k_defer_missing_allowed) ? k_dep_missing_allowed : 0;
  if (e.flags & k_defer_recdep) flags |= k_dep_recdep;
  if (e.flags & k_defer_orderonly) flags |= k_dep_orderonly;
  if (e.flags & k_defer_wait) flags |= k_dep_wait;
  if (add_dep(r, e.dep, -1, flags) != 0) return;
  if (record_reverse_edge(e.dep, r->id, true) < 0 && conf.trace) {
    diag::trace("Omitting-%s ruleid_by_dep for dep %s of rule %s\n", omitting, text(e.dep),
                rule_name(r));
  }
}

}  // namespace

void defer_dep(strid target, strid dep, uint32_t flags) {
  add_dep_entry_block* b = last_block;
  if (!b || b->n_entries == k_add_deps_per_block) {
    b = static_cast<add_dep_entry_block*>(calloc(1, 4096));
    if (!b) diag::fatal("out of memory");
    graph_stats& s = graph_statistics();
    s.n_add_dep_blocks++;
    s.add_dep_block_bytes += 4096;
    if (last_block)
      last_block->next = b;
    else
      first_block = b;
    last_block = b;
  }
  b->entries[b->n_entries++] = add_dep_entry{target, dep, flags};
  n_deferred++;
}

void add_deponly(const std::vector<parsed_name>& targets, const std::vector<parsed_name>& deps,
                 bool phony, std::string_view prefix, bool hook_targets) {
  uint32_t flags = phony ? k_defer_phony : 0;
  std::vector<strid> tids, dids;
  std::vector<uint32_t> dflags;
  tids.reserve(targets.size());
  dids.reserve(deps.size());
  for (const parsed_name& t : targets) {
    std::string path = prefixed_path(prefix, t.name);
    if (hook_targets) path += "///";
    tids.push_back(intern(path.c_str(), path.size()));
  }
  for (const parsed_name& d : deps) {
    std::string path = prefixed_path(prefix, d.name);
    dids.push_back(intern(path.c_str(), path.size()));
    uint32_t f = flags;
    if (d.flags & k_name_recdep) f |= k_defer_recdep;
    if (d.flags & k_name_orderonly) f |= k_defer_orderonly;
    if (d.flags & k_name_wait) f |= k_defer_wait;
    dflags.push_back(f);
  }
  for (strid t : tids) defer_dep(t, -1, flags);
  for (strid t : tids) {
    for (size_t j = 0; j < dids.size(); j++) defer_dep(t, dids[j], dflags[j]);
  }
}

size_t deferred_count() { return n_deferred; }

ruleid make_implicit_rule(strid target, int32_t scope) {
  rule* r = new_rule(k_rule_implicit, intern("."), -1, nullptr, scope, -1);
  add_target(r, target, target, false);
  set_ruleid_by_tgt(target, r->id, nullptr, -1);
  return r->id;
}

void resolve_deferred_deps(int32_t scope) {
  add_dep_entry_block* blocks = first_block;
  first_block = last_block = nullptr;
  n_deferred = 0;
  for_each_deferred(blocks, [&](const add_dep_entry& e) {
    if (e.dep < 0 && ruleid_by_tgt(e.target) < 0) make_implicit_rule(e.target, scope);
  });
  strid last_target = -1;
  ruleid last_rule = -2;
  for_each_deferred(blocks, [&](const add_dep_entry& e) {
    if (e.target != last_target || last_rule < 0) {
      last_target = e.target;
      last_rule = ruleid_by_tgt(e.target);
    }
    bool made = false;
    if (last_rule < 0) {
      last_rule = make_implicit_rule(e.target, scope);
      made = true;
    }
    rule* r = rule_at(last_rule);
    if (e.flags & k_defer_phony) r->flags |= k_rule_phony;
    if (e.dep >= 0) add_deferred_dep(r, e, made ? "1" : "2");
  });
  free_blocks(blocks);
}

int add_deps_at_run_time(std::string_view directory, const std::vector<std::string>& targets,
                         const std::vector<std::string>& deps, uint32_t dep_flags) {
  dep_flags &= k_dep_recdep | k_dep_orderonly | k_dep_wait;
  for (const std::string& t : targets) {
    std::string tpath = prefixed_path(directory, t);
    strid tid = lookup(tpath.c_str(), tpath.size());
    ruleid rid = tid < 0 ? -2 : ruleid_by_tgt(tid);
    if (rid < 0) {
      fprintf(stderr, "kiln: target %s not found while adding dep\n", tpath.c_str());
      return base::rc_not_found;
    }
    rule* r = rule_at(rid);
    if (r->flags & k_rule_executed) {
      fprintf(stderr, "kiln: target %s already executed while adding dep\n", tpath.c_str());
      return base::rc_invalid;
    }
    if (r->flags & k_rule_queued) {
      fprintf(stderr, "kiln: target %s already queued while adding dep\n", tpath.c_str());
      return base::rc_invalid;
    }
    // Every dependency is resolved before the target is changed.
    std::vector<std::pair<strid, ruleid>> found;
    found.reserve(deps.size());
    for (const std::string& d : deps) {
      std::string dpath = prefixed_path(directory, d);
      strid did = lookup(dpath.c_str(), dpath.size());
      ruleid drid = did < 0 ? -2 : ruleid_by_tgt(did);
      if (drid < 0) {
        fprintf(stderr, "kiln: dep %s not found while adding dep\n", dpath.c_str());
        return base::rc_not_found;
      }
      found.emplace_back(did, drid);
    }
    for (size_t i = 0; i < deps.size(); i++) {
      auto [did, drid] = found[i];
      bool is_new = add_dep(r, did, intern(deps[i].c_str(), deps[i].size()), dep_flags) == 0;
      if (is_new) r->last_dep->rule_id = drid;
      // A finished dependency rule will never release an entry added now.
      if (!(rule_at(drid)->flags & k_rule_executed)) add_dep_remain(r, drid);
      if (is_new) record_reverse_edge(did, rid, true);
    }
  }
  return 0;
}

void deferred_clear() {
  free_blocks(first_block);
  first_block = last_block = nullptr;
  n_deferred = 0;
}

}  // namespace kiln::graph
