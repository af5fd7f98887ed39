#include "graph/arena.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/diag.h"

namespace kiln::graph {

void block_arena::new_block() {
  auto* block = static_cast<void**>(zeroed_ ? calloc(1, block_size_) : malloc(block_size_));
  if (!block) diag::fatal("%s", out_of_memory_);
  if (next_) wasted_ += static_cast<size_t>(end_ - next_);
  *block = last_;
  last_ = block;
  base_ = next_ = reinterpret_cast<char*>(block + 1);
  end_ = reinterpret_cast<char*>(block) + block_size_;
}

arena_mark block_arena::mark() {
  if (!next_) new_block();
  return {last_, static_cast<size_t>(next_ - base_)};
}

bool block_arena::release_to(arena_mark m) {
  if (m.arena != last_ || !next_) return false;
  char* to = base_ + m.used;
  if (to > next_) return false;
  if (zeroed_) memset(to, 0, static_cast<size_t>(next_ - to));
  next_ = to;
  return true;
}

namespace {

// Graph records: small blocks, so that the holes the parse result leaves
// when it is dropped rule by rule are taken again by the graph.
block_arena graph_arena(k_arena_size, true, "Can't mmap new arena");
// Evaluated commands, of which the last can be given back.
block_arena arg_arena(64 * 1024, true, "Can't mmap new arena");
arena_stats stats;

void check_alignment(size_t align) {
  if (align == 0 || (align & (align - 1)) != 0) diag::internal_error("arena alignment");
}

}  // namespace

void arena_init() { graph_arena.mark(); }

void* my_malloc(size_t size, size_t align) {
  check_alignment(align);
  stats.allocations++;
  stats.bytes += size;
  if (void* p = graph_arena.take(size, align)) return p;
  void* p = calloc(1, size);
  if (!p) {
    printf("too large alloc, out of memory: %zu bytes\n", size);
    diag::internal_error();
  }
  return p;
}

void* my_malloc_arg(size_t size, size_t align) {
  check_alignment(align);
  stats.arg_allocations++;
  stats.arg_bytes += size;
  if (size > arg_arena.largest() / 2) return my_malloc(size, align);
  return arg_arena.take(size, align);
}

arena_mark arg_mark() { return arg_arena.mark(); }

bool release_args_to(arena_mark m) { return arg_arena.release_to(m); }

char* my_strdup_arg(const char* text, size_t length) {
  char* p = static_cast<char*>(my_malloc_arg(length + 1, 1));
  memcpy(p, text, length);
  p[length] = '\0';
  return p;
}

const arena_stats& arena_statistics() {
  stats.wasted = graph_arena.wasted();
  return stats;
}

}  // namespace kiln::graph
