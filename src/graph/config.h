// What start-up tells the graph before the first rule: the -d switch and
// the sizes its tables begin with. The graph reads no process-wide
// settings; the defaults are those of a run without options or directives.
#pragma once

#include <cstddef>

namespace kiln::graph {

struct config {
  // -d: trace rule additions, duplicate dependencies and dependencies
  // whose rule is unknown.
  bool trace = false;
  // Buckets of a rule's dependency sets to begin with, rounded up to a
  // power of two when the first rule is made; the sets grow.
  size_t expected_deps = 1;
  // Index buckets and entry slots of a string table that its first use
  // creates before stringtab_init runs.
  size_t expected_strings = 8192;
  size_t sttable_entries = 65536;
};

// The configuration in force; start-up fills it from the settings.
inline config conf;

}  // namespace kiln::graph
