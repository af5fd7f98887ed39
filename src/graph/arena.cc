#include "graph/arena.h"

#include <sys/mman.h>

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

// Arenas are carved from 16 MiB regions, reserved untouched; pages are
// committed only as arenas are bumped. The regions ask for no huge pages:
// where the kernel compacts memory to back them on first touch, a no-op of
// a large tree spent more time in the kernel than in kiln, and unevenly.
constexpr size_t k_region_size = 16u << 20;
char* region_next = nullptr;
char* region_end = nullptr;

bool map_region() {
  void* p = mmap(nullptr, k_region_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  region_next = static_cast<char*>(p);
  region_end = region_next + k_region_size;
  return true;
}

char* map_arena() {
  if (region_next == region_end && !map_region()) return nullptr;
  char* a = region_next;
  region_next += k_arena_size;
  return a;
}

// Starts a fresh arena; the unused tail of the old one is wasted.
void new_arena() {
  char* a = map_arena();
  if (!a) diag::fatal("Can't mmap new arena");
  if (next_free) stats.wasted += static_cast<size_t>(arena_end - next_free);
  next_free = a;
  arena_end = a + k_arena_size;
}

}  // namespace

void arena_init() {
  if (next_free) return;
  char* a = map_arena();
  if (!a) diag::fatal("Can't mmap arena");
  next_free = a;
  arena_end = a + k_arena_size;
}

void* my_malloc(size_t size, size_t align) {
  if (align == 0 || (align & (align - 1)) != 0) diag::internal_error("arena alignment");
  stats.allocations++;
  stats.bytes += size;
  if (size > k_arena_size) {
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
      return reinterpret_cast<void*>(aligned);  // mmap memory starts zeroed
    }
    new_arena();
  }
}

void* my_malloc_arg(size_t size, size_t align) {
  stats.arg_allocations++;
  stats.arg_bytes += size;
  return my_malloc(size, align);
}

char* my_strdup_arg(const char* text, size_t length) {
  char* p = static_cast<char*>(my_malloc_arg(length + 1, 1));
  memcpy(p, text, length);
  p[length] = '\0';
  return p;
}

const arena_stats& arena_statistics() { return stats; }

}  // namespace kiln::graph
