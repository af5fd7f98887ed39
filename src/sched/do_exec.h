// The up-to-date decision: whether a rule whose dependency rules have all
// finished must run. It compares file times, the cmd DB and the tssz DB,
// honours phony rules, recursive directory dependencies, the pretend list
// (-W/-X/-o/-r), dry-run marks and -B, and either queues the rule or
// completes it at once.
#pragma once

#include "graph/rule.h"

namespace kiln::sched {

// Decides the rule: 1 when it was completed without running, 0 when it
// was queued (or was queued already).
int do_exec(graph::ruleid id);

// How a name stands on the pretend list.
enum pretend_kind : int { pretend_none = 0, pretend_new = 1, pretend_old = 2 };

// The pretend entry for a string (the list of kiln::cfg, indexed once).
pretend_kind pretend_of(graph::strid id);

// Whether some target of the rule is pretended very old.
bool has_old_pretended_target(const graph::rule* r);

// Whether the timestamp/size checks are on (database version 2).
bool tssz_checks_on();

// Forgets the pretend index (tests).
void do_exec_reset();

}  // namespace kiln::sched
