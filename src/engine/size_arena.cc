// The process-wide size-class arena: free lists per class, blocks carved
// from 131072-byte chunks, malloc for requests above 32768 bytes.
//
// Growth policy: chunks are never returned; the list of chunks (kept so
// that every chunk stays reachable) doubles when full. arena_total counts
// every byte obtained from malloc: chunks and large blocks alike, the
// latter subtracted again when freed.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "engine/size_arena.h"

namespace kiln::engine {

namespace {

struct free_block {
  free_block* next;
};

struct arena_state {
  free_block* free_lists[k_arena_classes] = {};
  size_t free_counts[k_arena_classes] = {};
  char* chunk_next = nullptr;  // next unused byte of the current chunk
  size_t chunk_left = 0;       // bytes left in the current chunk
  void** chunks = nullptr;     // every chunk obtained
  size_t n_chunks = 0;
  size_t chunk_capacity = 0;
  size_t total = 0;
};

arena_state g_arena;

constexpr size_t k_small_limit = 2048;
constexpr int k_small_classes = 8;

void new_chunk() {
  auto& a = g_arena;
  if (a.n_chunks == a.chunk_capacity) {
    size_t capacity = a.chunk_capacity ? 2 * a.chunk_capacity : 64;
    void* list = realloc(a.chunks, capacity * sizeof(void*));
    if (!list) abort();
    a.chunks = static_cast<void**>(list);
    a.chunk_capacity = capacity;
  }
  void* chunk = malloc(k_arena_chunk);
  if (!chunk) abort();
  a.chunks[a.n_chunks++] = chunk;
  a.chunk_next = static_cast<char*>(chunk);
  a.chunk_left = k_arena_chunk;
  a.total += k_arena_chunk;
}

}  // namespace

int arena_class_of(size_t size) {
  if (size == 0) size = 1;
  if (size <= k_small_limit) return std::bit_width((size + 15) / 16 - 1);
  return k_small_classes + std::bit_width((size - 1) / 4096);
}

size_t arena_class_size(int class_index) {
  if (class_index < k_small_classes) return size_t(16) << class_index;
  return size_t(4096) << (class_index - k_small_classes);
}

void* arena_alloc(size_t size) {
  auto& a = g_arena;
  if (size > k_arena_max_class_size) {
    void* block = malloc(size);
    if (block) a.total += size;
    return block;
  }
  int c = arena_class_of(size);
  if (free_block* b = a.free_lists[c]) {
    a.free_lists[c] = b->next;
    a.free_counts[c]--;
    return b;
  }
  size_t block_size = arena_class_size(c);
  if (a.chunk_left < block_size) new_chunk();  // the rest of the old chunk is abandoned
  void* block = a.chunk_next;
  a.chunk_next += block_size;
  a.chunk_left -= block_size;
  return block;
}

void arena_free(void* block, size_t size) {
  if (!block) return;
  auto& a = g_arena;
  if (size > k_arena_max_class_size) {
    free(block);
    a.total -= size;
    return;
  }
  int c = arena_class_of(size);
  auto* b = static_cast<free_block*>(block);
  b->next = a.free_lists[c];
  a.free_lists[c] = b;
  a.free_counts[c]++;
}

void* arena_resize(void* block, size_t old_size, size_t new_size) {
  void* moved = arena_alloc(new_size);
  if (!moved) return nullptr;
  memcpy(moved, block, old_size < new_size ? old_size : new_size);
  arena_free(block, old_size);
  return moved;
}

size_t arena_free_count(int class_index) { return g_arena.free_counts[class_index]; }

size_t arena_total_bytes() { return g_arena.total; }

}  // namespace kiln::engine
