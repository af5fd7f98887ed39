// The comparisons the up-to-date decision makes against the database.
#pragma once

#include <cstddef>
#include <cstdint>

#include "graph/stringtab.h"

namespace kiln::db {

// Outcome of comparing a target's recipe with its cmd DB entry.
enum cmd_check : int {
  k_cmd_same = 0,
  k_cmd_not_found = 1,  // no entry for the target
  k_cmd_other_dir = 2,  // stored directory differs from the rule's
  k_cmd_other_cmd = 3,  // command count, word count or a word differs
};

// Compares the stored entry of target with the rule's directory and
// commands: n_commands command vectors, each a null-terminated word array,
// markers first. Counts must match and words compare byte by byte.
cmd_check cmd_db_compare(graph::strid target, graph::strid directory,
                         const char* const* const* commands, size_t n_commands);

// cmd_db_compare, printing the reason of a mismatch under -d ("target %s
// not found in cmd DB", "... has different dir ...", "... has different
// cmd ..."). True when the entry matches.
bool cmd_db_check(graph::strid target, graph::strid directory,
                  const char* const* const* commands, size_t n_commands);

// Outcome of comparing a file's time and size with its tssz DB entry.
enum tssz_check : int {
  k_tssz_same = 0,
  k_tssz_not_found = 1,
  k_tssz_other_size = 2,
  k_tssz_other_time = 3,
};

// Compares the stored size and time (seconds and nanoseconds, exactly)
// of a file. For a source the observed values are first stored in the
// entry's new fields and the entry marked updated, so that the next run
// compares against what this run saw.
tssz_check tssz_db_compare(graph::strid file, int64_t sec, int64_t nsec, int64_t size,
                           bool is_source);

// tssz_db_compare, printing the reason of a mismatch under -d ("%s %s not
// found in tssz DB", "... has different size ...", "... has different
// timestamp ..."; the first word is "target" or "source"). True when the
// entry matches.
bool tssz_db_check(graph::strid file, int64_t sec, int64_t nsec, int64_t size, bool is_source);

}  // namespace kiln::db
