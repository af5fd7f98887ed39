// The process-wide state of a build, as one place that can put it back.
//
// Start-up fills tables and counters that live until exit: the string
// table, the rule graph with its deferred dependencies, the wanted list and
// the run queue, the pretend index, the stat and access caches, the
// database with its two tables, the jobserver, the table of running
// children and the loop's counters and signal flags. A test that builds
// more than once in one process must begin each build from nothing, as a
// new process would; reset_build_state() is the one function that knows
// every piece and the order in which they go.
#pragma once

namespace kiln::sched {

// Forgets every piece of build state, dependants before what they refer
// to: the children (which name rules), the loop's counters and signal
// flags, the jobserver (an own FIFO is removed), the wanted list, run queue
// and pretend index, the database (file closed, tables emptied; both are
// keyed by string ids) and the self-pipe, the rule graph, then the string
// table.
// The caches come back empty with the sizes of kiln::cfg, and the string
// table is made again on first use with its sizes; the consideration
// depth of the trace is 0.
//
// Left alone: the settings (kiln::cfg), the fatal exit's hooks, signal
// handlers, and the file-system and process calls, which the caller
// chooses. Nothing is opened or loaded: the caller opens and loads the
// database and sets the self-pipe and jobserver up as start-up does.
void reset_build_state();

}  // namespace kiln::sched
