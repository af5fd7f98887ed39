// The build loop: considers the wanted rules, starts queued rules as
// children within the job and load limits, waits for their output and
// their exit, runs each recipe's commands one after another and completes
// rules, reconsidering their dependants.
#pragma once

#include "graph/rule.h"

namespace kiln::sched {

// The self-pipe the SIGCHLD and signal handlers write to (-1 for none).
// Its read end is watched by the loop; children close both ends.
void set_self_pipe(int read_fd, int write_fd);

// Runs until the wanted list is empty. announce enables "kiln: Nothing
// to be done.". Exits itself for -q and through the fatal path on errors.
void build(bool announce);

// Completes a rule: checks its targets, records times and sizes,
// re-reads regenerated dependency files and reconsiders its dependants.
// ran tells whether its recipe really ran.
void complete(graph::ruleid id, bool ran);

// The fatal exit's wait for every running child: output flushed, tokens
// given back, targets of failed commands deleted.
void reap_children_on_fatal();

// Installs reap_children_on_fatal as the fatal exit's reaping step.
void install_reap_hook();

// Successfully finished commands (for the -H exclamation).
extern unsigned long finished_commands;

// Forgets the loop's state (tests).
void build_loop_reset();

}  // namespace kiln::sched
