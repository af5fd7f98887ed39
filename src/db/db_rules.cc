#include "db/db_rules.h"

#include "cli/diag.h"
#include "cli/settings.h"
#include "db/db_tables.h"
#include "graph/rule.h"

namespace kiln::db {

namespace {

int record_targets(const graph::rule* r, command_builder& commands) {
  commands.clear();
  commands.add_commands(r->commands, r->n_commands);
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
    if (cmd_db_insert(t->id, r->prefix, commands) < 0) return -12;
  }
  return 0;
}

void forget_targets(const graph::rule* r) {
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
    if (cfg.debug) diag::trace("removing %s from DB\n", graph::text(t->id));
    cmd_db_remove(t->id);
  }
}

}  // namespace

int update_cmd_db_from_rules() {
  command_builder commands;
  size_t n = graph::rule_count();
  for (size_t i = 0; i < n; i++) {
    const graph::rule* r = graph::rule_at(static_cast<graph::ruleid>(i));
    if (r->flags & graph::k_rule_ran) {
      if (record_targets(r, commands) < 0) return -12;
    } else if (r->flags & graph::k_rule_started) {
      forget_targets(r);
    }
  }
  return 0;
}

}  // namespace kiln::db
