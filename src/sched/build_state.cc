#include "sched/build_state.h"

#include "base/diag.h"
#include "base/settings.h"
#include "db/database.h"
#include "exec/spawn.h"
#include "graph/deferred.h"
#include "graph/rule.h"
#include "graph/stringtab.h"
#include "jobserver/jobserver.h"
#include "sched/build_loop.h"
#include "sched/consider.h"
#include "sched/do_exec.h"
#include "sched/fscache.h"

namespace kiln::sched {

void reset_build_state() {
  exec::spawn_reset();
  exec::children_made = 0;
  build_loop_reset();
  jobserver::jobserver_reset();
  consider_reset();
  do_exec_reset();
  db::db_reset();
  set_self_pipe(-1, -1);  // after the database: children inherit neither
  graph::deferred_clear();
  graph::rules_clear();
  graph::stringtab_clear();
  fscache_init(cfg.stat_hash_size, cfg.stat_cache_size, cfg.access_hash_size,
               cfg.access_cache_size);
  diag::depth = 0;
}

}  // namespace kiln::sched
