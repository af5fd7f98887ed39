// The order in which rules are looked at and released: the wanted list,
// consideration of a rule and its dependencies with the `dep_remain`
// counting and the `wait` barrier, the run queue, cycle detection and
// @order pairs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "graph/rule.h"

namespace kiln::sched {

// Appends the rule to the wanted list unless it is on it already.
void make_wanted(graph::ruleid id);

// Takes the rule off the wanted list (when on it).
void remove_wanted(graph::ruleid id);

// The first rule of the wanted list, or -1.
graph::ruleid first_wanted();

// The rule after id on the wanted list, or -1.
graph::ruleid next_wanted(graph::ruleid id);

// Whether the wanted list is empty.
bool wanted_empty();

// Pushes a rule on the run queue (a stack; capacity grows to twice plus
// 16) and sets its `queued` flag.
void run_queue_push(graph::ruleid id);

// Pops the most recently queued rule, or -1 when empty.
graph::ruleid run_queue_pop();

// Number of rules in the run queue.
size_t run_queue_size();

// Resolves and caches every dependency's rule id and gives the rule one
// `dep_remain` entry per distinct dependency rule. Once per rule.
void prepare(graph::ruleid id);

// Prepares every rule.
void prepare_all();

// Walks the rule's dependencies, considering each dependency rule, and
// decides the rule when none is pending. 1 when some rule completed
// without running anything (the caller restarts its walk), else 0.
int consider(graph::ruleid id);

// Continues the walk of a rule whose dependency rule `finished` completed,
// and decides the rule once nothing remains.
void reconsider(graph::ruleid id, graph::ruleid finished);

// Depth-first cycle search over dependency rules; fatal with the report
// when a cycle exists. done and on_path hold one byte per rule, zeroed by
// the caller. With mark, every rule visited becomes `reachable`.
void cycle_check(graph::ruleid id, std::vector<uint8_t>& done, std::vector<uint8_t>& on_path,
                 bool mark);

// Runs the cycle check from every wanted rule, fresh arrays each time.
void check_wanted_for_cycles(bool mark);

// Applies @order pairs (first is built before second when both are
// reachable); returns the number of pairs. Needs every rule prepared.
size_t apply_order_pairs(const std::vector<std::pair<std::string, std::string>>& pairs);

// Sets every rule back to its prepared state before any consideration:
// run-time marks (but `ran` and `started`, which the database needs),
// cursors and times cleared, each `dep_remain` set rebuilt. A clean's hook
// build uses it before the build of named targets, whose rules the hooks
// may have built and the clean removed again. The wanted list and the
// run queue must be empty.
void reset_consideration();

// Forgets the wanted list, the run queue and the prepared state (tests).
void consider_reset();

}  // namespace kiln::sched
