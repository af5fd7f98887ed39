#include "sched/do_exec.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/diag.h"
#include "base/hooks.h"
#include "base/settings.h"
#include "db/db_checks.h"
#include "exec/spawn.h"
#include "graph/stringtab.h"
#include "sched/build_loop.h"
#include "sched/consider.h"
#include "sched/fscache.h"

namespace kiln::sched {

namespace {

std::unordered_map<graph::strid, pretend_kind> pretend_index;
bool pretend_indexed = false;

// The -R explanation: the reasons for running, printed as one line. Each
// fragment starts with a blank; the text grows to exactly what it needs.
// A fragment given again (the same reason found at a second target) is
// dropped, so that each reason shows once.
struct explanation {
  std::string text;
  std::vector<std::string> fragments;
  void add(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
};

void explanation::add(const char* fmt, ...) {
  if (!cfg.reasons) return;
  va_list ap, again;
  va_start(ap, fmt);
  va_copy(again, ap);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n < 0) {
    va_end(again);
    diag::fatal("trace_add_vprintf failed");
  }
  std::string fragment(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(fragment.data(), fragment.size(), fmt, again);
  va_end(again);
  fragment.resize(static_cast<size_t>(n));
  for (const std::string& f : fragments) {
    if (f == fragment) return;
  }
  text += fragment;
  fragments.push_back(std::move(fragment));
}

exec::file_time mtime(const stat_info& st) { return {st.mtime_sec, st.mtime_nsec}; }

// The timestamp/size comparison against the tssz DB. A dry run compares
// without storing what it saw, so that the database stays as it was.
bool tssz_ok(graph::strid id, const stat_info& st, bool is_source) {
  db::tssz_check r =
      db::tssz_db_compare(id, st.mtime_sec, st.mtime_nsec, st.size, is_source && !cfg.dry_run);
  if (r != db::k_tssz_same && cfg.debug) {
    static const char* const k_reason[] = {"", "not found in", "has different size in",
                                           "has different timestamp in"};
    diag::trace("%s %s %s tssz DB\n", is_source ? "source" : "target", graph::text(id),
                k_reason[r]);
  }
  return r == db::k_tssz_same;
}

bool cmd_ok(const graph::rule* r, graph::strid target) {
  return db::cmd_db_check(target, r->prefix, const_cast<const char* const* const*>(
                                                 reinterpret_cast<char* const* const*>(r->commands)),
                          r->n_commands);
}

void recommend(const graph::rule* r, graph::strid dep) {
  printf("kiln: Recommend making directory dep %s of %s either @orderonly or @recdep.\n",
         graph::text(dep), graph::rule_name(r));
}

void evaluate_recipe(graph::rule* r) {
  if (!up.evaluate_recipe || !r->recipe) return;
  std::string error, details;
  if (up.evaluate_recipe(r, &error, &details) < 0) {
    fflush(stdout);
    if (!details.empty()) {
      fputs("Additional information for error:\n", stderr);
      fputs(details.c_str(), stderr);
    }
    diag::fatal("evaluating shell commands for '%s' (directory: '%s') failed, error: %s",
                graph::rule_name(r), graph::text(r->prefix), error.c_str());
  }
}

// A rule without dependencies runs when a target is missing or its
// command or stored time and size differ.
bool check_no_deps(graph::rule* r, explanation& why) {
  bool has = false;
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
    const stat_info& st = stat_cached(t->id);
    if (st.nonexistent) {
      why.add(" '%s' being nonexistent", graph::text(t->id));
      return true;
    }
    if (!cmd_ok(r, t->id)) {
      if (r->n_commands) why.add(" command database mismatch");
      return true;
    }
    if (tssz_checks_on() && !S_ISDIR(st.mode) && !tssz_ok(t->id, st, false)) {
      why.add(" tsdb mismatch");
      has = true;
    }
  }
  return has;
}

// Newest counted dependency time.
struct newest_time {
  exec::file_time t{};
  bool counted = false;
  void count(exec::file_time x) {
    if (!counted || exec::later(x, t)) t = x;
    counted = true;
  }
};

// Looks at one dependency; true when it alone makes the rule run.
bool check_dep(graph::rule* r, graph::kilndep* d, newest_time& newest, explanation& why) {
  bool has = false;
  graph::ruleid dr = d->rule_id == -1 ? (d->rule_id = graph::ruleid_by_tgt(d->id)) : d->rule_id;
  const char* name = graph::text(d->id);
  pretend_kind pk = pretend_of(d->id);
  if (pk == pretend_new || (pk == pretend_none && graph::is_dry_remade(d->id))) {
    has = true;
    why.add(" '%s'", name);
    if (pk == pretend_new) why.add(" (pretend)");
  }
  if (dr >= 0) {
    if (graph::rule_at(dr)->flags & graph::k_rule_phony) {
      if (cfg.debug) diag::trace("rule %d/%s is phony\n", dr, name);
      why.add(" '%s' (phony)", name);
      return true;
    }
    if (cfg.debug) diag::trace("ruleid %d/%s not phony\n", dr, name);
  } else if (cfg.debug) {
    diag::trace("ruleid for tgt %s not found\n", name);
  }
  if (d->flags & graph::k_dep_recdep) {
    newest.count(exec::newest_tree_time(r, name));
    return has;
  }
  const stat_info& st = stat_cached(d->id);
  if (st.nonexistent) {
    why.add(" '%s' (nonexistent)", name);
    return true;
  }
  bool orderonly = d->flags & graph::k_dep_orderonly;
  bool recommended = false;
  if (S_ISDIR(st.mode) && !orderonly) {
    recommend(r, d->id);
    recommended = true;
  }
  if (!orderonly) {
    if (cfg.debug) {
      diag::trace("dep: %llu %llu\n", static_cast<unsigned long long>(st.mtime_sec),
                  static_cast<unsigned long long>(st.mtime_nsec));
    }
    if (pk == pretend_old) {
      if (cfg.debug) diag::trace("pretend %s is very old\n", name);
    } else {
      newest.count(mtime(st));
    }
    if (tssz_checks_on() && !tssz_ok(d->id, st, true)) {
      why.add(" tsdb mismatch of dependency '%s'", name);
      has = true;
    }
  }
  if (S_ISLNK(st.mode)) {
    struct stat target;
    if (file_system.stat(name, &target) != 0) {
      why.add(" '%s' (nonexistent)", name);
      return true;
    }
    if (S_ISDIR(target.st_mode) && !recommended && !orderonly) recommend(r, d->id);
    exec::file_time t{static_cast<int64_t>(target.st_mtim.tv_sec),
                      static_cast<int64_t>(target.st_mtim.tv_nsec)};
    if (!orderonly && (!newest.counted || exec::later(t, newest.t))) {
      if (pk == pretend_old) {
        if (cfg.debug) diag::trace("pretend %s is very old\n", name);
      } else {
        newest.count(t);
      }
    }
  }
  return has;
}

// The time a dependency counts with in the -R list of newer files, or
// false when it does not count.
bool counted_time(const graph::rule* r, const graph::kilndep* d, exec::file_time* out) {
  const char* name = graph::text(d->id);
  if (pretend_of(d->id) == pretend_old) return false;
  if (d->flags & graph::k_dep_recdep) {
    *out = exec::newest_tree_time(r, name);
    return true;
  }
  if (d->flags & graph::k_dep_orderonly) return false;
  const stat_info& st = stat_cached(d->id);
  if (st.nonexistent) return false;
  *out = mtime(st);
  if (S_ISLNK(st.mode)) {
    struct stat target;
    if (file_system.stat(name, &target) != 0) return false;
    *out = {static_cast<int64_t>(target.st_mtim.tv_sec),
            static_cast<int64_t>(target.st_mtim.tv_nsec)};
  }
  return true;
}

// A rule with dependencies: compares the newest dependency with the
// oldest target. *no_remake is set for a target pretended very old.
bool check_with_deps(graph::rule* r, bool has, bool* no_remake, explanation& why) {
  newest_time newest;
  for (graph::kilndep* d = r->first_dep; d; d = d->next) {
    if (d->flags & graph::k_dep_duplicate) continue;
    if (check_dep(r, d, newest, why)) has = true;
  }
  r->newest_dep_sec = newest.t.sec;
  r->newest_dep_nsec = static_cast<long>(newest.t.nsec);
  if (newest.counted) r->flags |= graph::k_rule_has_dep_time;
  else r->flags &= ~graph::k_rule_has_dep_time;

  exec::file_time oldest{};
  bool have_oldest = false;
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
    if (pretend_of(t->id) == pretend_old) *no_remake = true;
    if (!cmd_ok(r, t->id)) {
      has = true;
      if (r->n_commands) why.add(" command database mismatch");
    }
    if (cfg.debug) diag::trace("statting %s\n", graph::text(t->id));
    const stat_info& st = stat_cached(t->id);
    if (st.nonexistent) {
      if (cfg.debug) diag::trace("immediate has_to_exec\n");
      why.add(" being nonexistent");
      has = true;
    } else if (!tssz_checks_on() || S_ISDIR(st.mode) || tssz_ok(t->id, st, false)) {
      if (cfg.debug) {
        diag::trace("tgt: %llu %llu\n", static_cast<unsigned long long>(st.mtime_sec),
                    static_cast<unsigned long long>(st.mtime_nsec));
      }
      if (!have_oldest || exec::later(oldest, mtime(st))) oldest = mtime(st);
      have_oldest = true;
    } else {
      why.add(" tsdb mismatch");
      has = true;
    }
  }
  if (has || !newest.counted || !exec::later(newest.t, oldest)) return has;
  if (cfg.debug) diag::trace("delayed has_to_exec\n");
  if (cfg.reasons) {
    for (const graph::kilndep* d = r->first_dep; d; d = d->next) {
      exec::file_time t;
      if (d->flags & graph::k_dep_duplicate) continue;
      if (counted_time(r, d, &t) && exec::later(t, oldest)) why.add(" '%s'", graph::text(d->id));
    }
  }
  return true;
}

int complete_now(graph::rule* r) {
  r->flags |= graph::k_rule_queued;
  complete(r->id, false);
  return 1;
}

}  // namespace

bool tssz_checks_on() { return cfg.db_version != db_v1; }

pretend_kind pretend_of(graph::strid id) {
  if (cfg.pretend.empty()) return pretend_none;
  if (!pretend_indexed) {
    // The list is newest first; the first entry for a name wins.
    for (const pretend_entry& e : cfg.pretend) {
      graph::strid s = graph::intern(e.name.c_str(), e.name.size());
      pretend_index.emplace(s, e.very_old ? pretend_old : pretend_new);
    }
    pretend_indexed = true;
  }
  auto it = pretend_index.find(id);
  return it == pretend_index.end() ? pretend_none : it->second;
}

bool has_old_pretended_target(const graph::rule* r) {
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
    if (pretend_of(t->id) == pretend_old) return true;
  }
  return false;
}

int do_exec(graph::ruleid id) {
  graph::rule* r = graph::rule_at(id);
  if (cfg.debug) diag::trace("do_exec %s\n", graph::rule_name(r));
  explanation why;
  why.add("update target '%s' due to:", graph::rule_name(r));
  if (r->flags & graph::k_rule_queued) {
    if (cfg.debug) diag::trace("do_exec: is queued already\n");
    return 0;
  }
  bool has = cfg.unconditional;
  if (has) why.add(" unconditional build of everything");
  bool no_remake = false;
  evaluate_recipe(r);
  if (r->flags & (graph::k_rule_phony | graph::k_rule_implicit)) {
    why.add(" being phony");
    has = true;
  } else if (!r->first_dep) {
    if (check_no_deps(r, why)) has = true;
  } else {
    has = check_with_deps(r, has, &no_remake, why);
  }
  // Only a rule that is remade explains itself.
  if (cfg.reasons && has && r->n_commands && !no_remake) {
    printf("%s\n", why.text.c_str());
  }
  if (!has) {
    if (cfg.debug) diag::trace("do_exec: mark_executed %s has_to_exec %d\n", graph::rule_name(r), 0);
    // Up to date: its commands are not needed any more.
    graph::release_commands(r);
    return complete_now(r);
  }
  if (no_remake) {
    if (cfg.debug) {
      diag::trace("do_exec: has_to_exec but seen no remake, setting !has_to_exec %d\n", id);
    }
    return complete_now(r);
  }
  if (r->n_commands == 0 || (cfg.touch && (r->flags & graph::k_rule_phony))) {
    if (cfg.debug) diag::trace("do_exec: mark_executed %s has_to_exec %d\n", graph::rule_name(r), 1);
    return complete_now(r);
  }
  if (cfg.debug) diag::trace("do_exec: has_to_exec %d\n", id);
  run_queue_push(id);
  return 0;
}

void do_exec_reset() {
  pretend_index.clear();
  pretend_indexed = false;
}

}  // namespace kiln::sched
