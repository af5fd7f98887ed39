// Completion of a rule: the check that its targets were made, the time
// adjustments of `rectgt` and `detouch` rules, the timestamp/size records
// for the database, re-reading regenerated dependency files and the
// reconsideration of every dependant.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

#include "base/diag.h"
#include "base/settings.h"
#include "db/cdepincludes.h"
#include "db/db_tables.h"
#include "exec/spawn.h"
#include "graph/stringtab.h"
#include "sched/build_loop.h"
#include "sched/consider.h"
#include "sched/do_exec.h"
#include "sched/fscache.h"

namespace kiln::sched {

namespace {

exec::file_time mtime(const struct stat& st) {
  return {static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

void record(graph::strid id, exec::file_time t, int64_t size) {
  if (db::tssz_db_record(id, t.sec, t.nsec, size) < 0) diag::fatal("out of memory");
}

// A `detouch` rule sets its recursive dependencies back to the oldest
// target time, so that they do not look newer than what was built.
void complete_detouch(graph::rule* r) {
  exec::file_time oldest{};
  bool have = false;
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
    const char* name = graph::text(t->id);
    struct stat own, followed;
    if (lstat(name, &own) != 0) diag::fatal("Can't lstat %s", name);
    if (stat(name, &followed) != 0) diag::fatal("Can't stat %s", name);
    record(t->id, mtime(followed), followed.st_size);
    exec::file_time older = exec::later(mtime(own), mtime(followed)) ? mtime(followed) : mtime(own);
    if (!have || exec::later(oldest, older)) oldest = older;
    have = true;
  }
  for (const graph::kilndep* d = r->first_dep; d; d = d->next) {
    if ((d->flags & graph::k_dep_duplicate) || !(d->flags & graph::k_dep_recdep)) continue;
    exec::touch_tree(graph::text(d->id), oldest);
  }
}

// A `rectgt` rule moves its targets forward to the newest time under its
// recursive dependencies (which may include its own outputs' siblings).
void complete_rectgt(graph::rule* r) {
  exec::file_time newest{r->newest_dep_sec, r->newest_dep_nsec};
  for (const graph::kilndep* d = r->first_dep; d; d = d->next) {
    if ((d->flags & graph::k_dep_duplicate) || !(d->flags & graph::k_dep_recdep)) continue;
    exec::file_time t = exec::newest_tree_time(r, graph::text(d->id));
    if (exec::later(t, newest)) newest = t;
  }
  r->newest_dep_sec = newest.sec;
  r->newest_dep_nsec = static_cast<long>(newest.nsec);
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
    const char* name = graph::text(t->id);
    struct stat st;
    if (stat(name, &st) != 0) diag::fatal("Can't stat %s", name);
    if (exec::later(newest, mtime(st))) {
      struct timespec ts[2];
      ts[0].tv_sec = static_cast<time_t>(newest.sec);
      ts[0].tv_nsec = static_cast<long>(newest.nsec);
      ts[1] = ts[0];
      int ok = utimensat(AT_FDCWD, name, ts, 0) == 0;
      if (cfg.debug) diag::trace("utime %s succeeded? %d\n", name, ok);
      if (stat(name, &st) != 0) diag::fatal("Can't stat %s", name);
    } else if (cfg.debug) {
      diag::trace("utime %s won't move clock backwards!\n", name);
    }
    record(t->id, mtime(st), st.st_size);
  }
}

[[noreturn]] void target_failure(const graph::rule* r, const char* name, const char* what) {
  fflush(stdout);
  fprintf(stderr, "kiln: *** Target '%s' was not %s by rule (directory: '%s').\n", name, what,
          graph::text(r->prefix));
  fputs("kiln: *** Hint: use @phonyrule for phony rules.\n", stderr);
  fputs("kiln: *** Hint: use @mayberule for rules that may or may not update target.\n", stderr);
  fputs("kiln: *** Hint: use @rectgtrule for rules that have targets inside @recdep.\n", stderr);
  diag::fatal("Target '%s' was not %s by rule", name, what);
}

// An ordinary rule must have created its targets, and made them at least
// as new as its newest dependency.
void complete_files(graph::rule* r, bool ran) {
  if (has_old_pretended_target(r)) return;
  bool maybe = r->flags & graph::k_rule_maybe;
  exec::file_time newest{r->newest_dep_sec, r->newest_dep_nsec};
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
    const char* name = graph::text(t->id);
    exec::file_time tt;
    int64_t size;
    bool exists;
    if (ran) {
      struct stat st {};
      exists = file_system.lstat(name, &st) == 0;
      tt = mtime(st);
      size = st.st_size;
    } else {
      const stat_info& si = stat_cached(t->id);
      exists = !si.nonexistent;
      tt = {si.mtime_sec, si.mtime_nsec};
      size = si.size;
    }
    if (!exists) {
      if (maybe) continue;
      target_failure(r, name, "created");
    }
    if (!maybe && (r->flags & graph::k_rule_has_dep_time) && exec::later(newest, tt)) {
      target_failure(r, name, "updated");
    }
    record(t->id, tt, size);
  }
}

void record_sources(const graph::rule* r) {
  for (const graph::kilndep* d = r->first_dep; d; d = d->next) {
    if (d->flags & graph::k_dep_duplicate) continue;
    const stat_info& si = stat_cached(d->id);
    if (si.nonexistent) continue;
    record(d->id, {si.mtime_sec, si.mtime_nsec}, si.size);
  }
}


}  // namespace

void complete(graph::ruleid id, bool ran) {
  graph::rule* r = graph::rule_at(id);
  if (r->flags & graph::k_rule_executed) diag::internal_error("16");
  if (!(r->flags & graph::k_rule_considered)) diag::internal_error("17");
  remove_wanted(id);
  r->flags |= graph::k_rule_executed;
  // A dry run leaves the database exactly as it was: nothing counts as
  // ran, and a rule that only pretended to start loses no entries.
  if (cfg.dry_run) {
    r->flags &= ~graph::k_rule_started;
  } else if (ran) {
    r->flags |= graph::k_rule_ran;
  }
  bool is_file_rule = !(r->flags & (graph::k_rule_phony | graph::k_rule_implicit));
  if (!cfg.dry_run) {
    if (r->flags & graph::k_rule_detouch) {
      complete_detouch(r);
    } else if ((r->flags & graph::k_rule_rectgt) && (r->flags & graph::k_rule_has_dep_time)) {
      complete_rectgt(r);
    } else if (is_file_rule) {
      complete_files(r, ran);
    }
    if (is_file_rule) record_sources(r);
  }
  // Only a rule that ran (or moved its targets' times) can have changed
  // its targets; the cache entries of the others stay valid, so that the
  // rules above them do not stat the same files again.
  bool changed = ran || (r->flags & (graph::k_rule_detouch | graph::k_rule_rectgt));
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
    if (changed) invalidate(t->id);
    // Under -n only a rule that would have run stands for a remade target;
    // one completed without a run leaves its dependants to their own times.
    if (cfg.dry_run && ran) graph::set_dry_remade(t->id);
    // A dependency file is read again only when its rule rewrote it: what
    // an untouched one lists was read at start-up and its dependencies
    // are this rule's own, recorded above.
    if (ran && !cfg.dry_run && !cfg.touch && graph::is_cdep_file(t->id)) {
      db::reread_cdep_file(t->id, r->prefix, file_stamp_cached);
    }
  }
  diag::depth++;
  graph::for_each_dependant(r, [&](graph::ruleid dep) { reconsider(dep, id); });
  diag::depth--;
}

}  // namespace kiln::sched
