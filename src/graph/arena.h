// The arena allocator ("my_malloc") for graph records.
//
// Allocations are bumped from 16 KiB arenas and never returned: graph
// memory lives until exit. Alignment padding and the unused tail of an arena
// count as wasted. A request larger than an arena goes to malloc directly.
#pragma once

#include <cstddef>

namespace kiln::graph {

constexpr size_t k_arena_size = 16 * 1024;

// Creates the first arena; fatal "Can't mmap arena" on failure.
void arena_init();

// Returns zeroed memory of the given size; align must be a power of two.
void* my_malloc(size_t size, size_t align = alignof(max_align_t));

// The same for argument-string memory ("argmem"): the evaluated commands
// of recipes. They have an arena of their own, from which the last
// allocations can be given back (see release_args_to).
void* my_malloc_arg(size_t size, size_t align = 1);

// Copies a string into the argument arena; NUL-terminated.
char* my_strdup_arg(const char* text, size_t length);

// A position in the argument arena.
struct arena_mark {
  const void* arena = nullptr;
  size_t used = 0;
};

// The argument arena's present top.
arena_mark arg_mark();

// Gives back, zeroed, everything allocated in the argument arena since
// the mark, when the mark is in the arena still being bumped; false (and
// nothing given back) otherwise.
bool release_args_to(arena_mark m);

struct arena_stats {
  size_t allocations = 0;
  size_t bytes = 0;
  size_t wasted = 0;
  size_t arg_allocations = 0;
  size_t arg_bytes = 0;
};

// Counters for the -d memory statistics.
const arena_stats& arena_statistics();

}  // namespace kiln::graph
