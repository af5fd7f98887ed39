// The arena allocator ("my_malloc") for graph records.
//
// Allocations are bumped from 16 KiB arenas and never returned: graph
// memory lives until exit. Alignment padding and the unused tail of an arena
// count as wasted. A request larger than an arena goes to malloc directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln::graph {

constexpr size_t k_arena_size = 16 * 1024;

// Creates the first arena; fatal on failure.
void arena_init();

// Returns zeroed memory of the given size; align must be a power of two.
void* my_malloc(size_t size, size_t align = alignof(max_align_t));

// The same for argument-string memory ("argmem"): the evaluated commands
// of recipes. They have an arena of their own, from which the last
// allocations can be given back (see release_args_to).
void* my_malloc_arg(size_t size, size_t align = 1);

// Copies a string into the argument arena; NUL-terminated.
char* my_strdup_arg(const char* text, size_t length);

// A position in a block arena: the block and the bytes used in it.
struct arena_mark {
  const void* arena = nullptr;
  size_t used = 0;
};

// Memory bumped from blocks of one size taken from malloc and kept until
// exit; each block starts with the link to the one before, so that every
// block stays reachable. The graph records, the string table's entries
// and the evaluated commands each have one; all but the string table's
// hand out zeroed memory.
class block_arena {
 public:
  constexpr block_arena(size_t block_size, bool zeroed, const char* out_of_memory)
      : block_size_(block_size), zeroed_(zeroed), out_of_memory_(out_of_memory) {}

  // Memory for a request that fits a block (else null); fatal with the
  // arena's message when malloc fails. The unused tail of a left block
  // and alignment padding count as wasted.
  void* take(size_t size, size_t align) {
    if (size > largest()) return nullptr;
    for (;;) {
      uintptr_t at = reinterpret_cast<uintptr_t>(next_);
      uintptr_t aligned = (at + align - 1) & ~(uintptr_t)(align - 1);
      if (next_ && aligned + size <= reinterpret_cast<uintptr_t>(end_)) {
        wasted_ += aligned - at;
        next_ = reinterpret_cast<char*>(aligned + size);
        return reinterpret_cast<void*>(aligned);
      }
      new_block();
    }
  }
  // The largest request a block takes.
  size_t largest() const { return block_size_ - sizeof(void*); }
  arena_mark mark();
  // Gives back everything taken since the mark (zeroed again in a zeroing
  // arena) when the mark is in the block still being bumped; false
  // (nothing given back) otherwise.
  bool release_to(arena_mark m);
  size_t wasted() const { return wasted_; }

 private:
  void new_block();

  size_t block_size_;
  bool zeroed_;
  const char* out_of_memory_;
  void* last_ = nullptr;
  char* base_ = nullptr;  // the block's first usable byte
  char* next_ = nullptr;
  char* end_ = nullptr;
  size_t wasted_ = 0;
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
