// Stat ahead: the lstat calls of a build's file names, made on a second
// thread while start-up goes on, so that the stat cache fills from their
// results instead of waiting for the system one call at a time.
//
// The thread stats every target of a non-phony rule and every dependency
// of the rule graph as it stands when it starts, in rule order. A stat
// cache miss takes the name's result when it is ready and otherwise calls
// lstat itself (the thread then skips the name), so the cache holds
// exactly what it would hold without the thread. The memory of the
// results goes back in steps, as soon as a run of them is settled.
// Results are only good while nothing has changed the files: the
// invalidation of a name drops its result, and the start of the first
// command or touch drops them all (a recipe may write files it does not
// declare).
#pragma once

#include "graph/stringtab.h"
#include "sched/fscache.h"

namespace kiln::sched {

// Starts the thread when there is more than one processor, the build uses
// the system's file calls and the graph names enough files; else nothing.
void stat_ahead_start();

// The result for a name: true with *info filled when the thread has one,
// false when the caller must call lstat itself. A result is taken once.
bool stat_ahead_take(graph::strid id, stat_info* info);

// Drops the result of one name (it was invalidated).
void stat_ahead_forget(graph::strid id);

// Stops the thread, waits for it and drops every result.
void stat_ahead_stop();

}  // namespace kiln::sched
