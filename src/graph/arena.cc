#include "graph/arena.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/diag.h"

namespace kiln::graph {

namespace {

// The arena being bumped: [next, end). Earlier arenas are simply forgotten;
// their memory stays mapped until exit.
char* next_free = nullptr;
char* arena_end = nullptr;
arena_stats stats;

// Arenas come from malloc in small blocks, so that the holes the parse
// result leaves when it is dropped rule by rule are taken again by the
// graph. Each arena starts with the link to the previous one: the chain
// keeps every arena reachable until exit.
void* last_arena = nullptr;

char* map_arena() {
  auto* a = static_cast<void**>(calloc(1, k_arena_size));
  if (!a) return nullptr;
  *a = last_arena;
  last_arena = a;
  return reinterpret_cast<char*>(a + 1);
}

// Starts a fresh arena; the unused tail of the old one is wasted.
void new_arena() {
  char* a = map_arena();
  if (!a) diag::fatal("Can't mmap new arena");
  if (next_free) stats.wasted += static_cast<size_t>(arena_end - next_free);
  next_free = a;
  arena_end = a + k_arena_size - sizeof(void*);
}

}  // namespace

void arena_init() {
  if (next_free) return;
  char* a = map_arena();
  if (!a) diag::fatal("Can't mmap arena");
  next_free = a;
  arena_end = a + k_arena_size - sizeof(void*);
}

void* my_malloc(size_t size, size_t align) {
  if (align == 0 || (align & (align - 1)) != 0) diag::internal_error("arena alignment");
  stats.allocations++;
  stats.bytes += size;
  if (size > k_arena_size - sizeof(void*)) {
    void* p = calloc(1, size);
    if (!p) {
      printf("too large alloc, out of memory: %zu bytes\n", size);
      diag::internal_error();
    }
    return p;
  }
  if (!next_free) arena_init();
  for (;;) {
    uintptr_t at = reinterpret_cast<uintptr_t>(next_free);
    uintptr_t aligned = (at + align - 1) & ~(uintptr_t)(align - 1);
    size_t pad = aligned - at;
    if (pad + size <= static_cast<size_t>(arena_end - next_free)) {
      stats.wasted += pad;
      next_free += pad + size;
      return reinterpret_cast<void*>(aligned);  // arenas start zeroed
    }
    new_arena();
  }
}

namespace {

// The argument arena: the same bumping, in blocks of its own.
constexpr size_t k_arg_arena_size = 64 * 1024;
void* last_arg_arena = nullptr;
char* arg_base = nullptr;  // the block's first usable byte
char* arg_next = nullptr;
char* arg_end = nullptr;

void new_arg_arena() {
  auto* a = static_cast<void**>(calloc(1, k_arg_arena_size));
  if (!a) diag::fatal("Can't mmap new arena");
  *a = last_arg_arena;
  last_arg_arena = a;
  arg_base = arg_next = reinterpret_cast<char*>(a + 1);
  arg_end = reinterpret_cast<char*>(a) + k_arg_arena_size;
}

}  // namespace

void* my_malloc_arg(size_t size, size_t align) {
  if (align == 0 || (align & (align - 1)) != 0) diag::internal_error("arena alignment");
  stats.arg_allocations++;
  stats.arg_bytes += size;
  if (size > k_arg_arena_size / 2) return my_malloc(size, align);
  for (;;) {
    uintptr_t at = reinterpret_cast<uintptr_t>(arg_next);
    uintptr_t aligned = (at + align - 1) & ~(uintptr_t)(align - 1);
    if (arg_next && aligned + size <= reinterpret_cast<uintptr_t>(arg_end)) {
      arg_next = reinterpret_cast<char*>(aligned + size);
      return reinterpret_cast<void*>(aligned);
    }
    new_arg_arena();
  }
}

arena_mark arg_mark() {
  if (!arg_next) new_arg_arena();
  return {last_arg_arena, static_cast<size_t>(arg_next - arg_base)};
}

bool release_args_to(arena_mark m) {
  if (m.arena != last_arg_arena || !arg_next) return false;
  char* to = arg_base + m.used;
  if (to > arg_next) return false;
  memset(to, 0, static_cast<size_t>(arg_next - to));
  arg_next = to;
  return true;
}

char* my_strdup_arg(const char* text, size_t length) {
  char* p = static_cast<char*>(my_malloc_arg(length + 1, 1));
  memcpy(p, text, length);
  p[length] = '\0';
  return p;
}

const arena_stats& arena_statistics() { return stats; }

}  // namespace kiln::graph
