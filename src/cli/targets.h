// The second half of start-up: from the parsed rules to the build and the
// exit. Each function is one step of main's sequence.
#pragma once

#include <vector>

#include "graph/rule.h"

namespace kiln::cli {

// The rule built when no target is named, or -1.
extern graph::ruleid default_rule;

// The rules the command line asked for, in command-line order.
extern std::vector<graph::ruleid> requested_rules;

// Step 20: turns the parsed rules into rules, in file order, and chooses
// the default rule.
void make_rules();

// Step 21: fatal "no applicable rules" without a default rule and targets.
void require_applicable_rule(int n_targets);

// Step 22: drops the parse result, loads the database (its entries reuse
// the memory the parse result gave back) and reads the compiler dependency
// files named by @cdepincludes.
void read_dependency_files();

// Step 23: the self-pipe, then the parent's jobserver or an own one.
void start_jobserver();

// Step 24: the build-time signal handlers.
void install_build_handlers();

// Step 25: the wanted rules: the named ones (all checked first) or the
// default rule; a clean without targets ends the run here.
void select_targets(int n_targets, char** names);

// Step 26: deferred dependencies resolved, every rule prepared.
void prepare_graph();

// Step 27: cycle detection and the @order pairs.
void check_cycles();

// Step 28: the build loop.
void run_build();

// Step 30: the database write-back; nonzero on failure.
int write_back_database();

// Step 31: removes the jobserver FIFO this process created.
void remove_jobserver_fifo();

}  // namespace kiln::cli
