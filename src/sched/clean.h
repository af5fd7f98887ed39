// Cleaning: -c removes what the rules build, -b the distribution targets,
// both together everything. The clean hooks of the affected directories
// run first, as ordinary rules through the build loop; then the targets of
// every rule in the clean area are removed, the files inside a directory
// before the directory.
#pragma once

#include <string>
#include <vector>

#include "graph/rule.h"

namespace kiln::sched {

// Runs the hooks and removes the targets of the rules in `directory` (a
// simplified path; "." is the whole tree) and below it.
void clean(const std::string& directory, bool clean, bool distclean);

// Resolves the deferred dependencies and prepares every rule, once; the
// clean needs it before its hooks run, start-up before the build.
void finish_graph();

// The rules in removal order, as the clean would remove them (for tests).
std::vector<graph::ruleid> removal_order(const std::string& directory);

}  // namespace kiln::sched
