// The allocator hooks: object memory with its byte limit and collection
// triggers (malloc-backed or arena-backed), and the realloc hook of the
// engine's own vectors.
//
// Accounting: bytes_in_use is the sum of the sizes requested for live
// object blocks and object vectors. Callers always pass the exact size they
// requested when resizing or releasing. A request of size 0 counts as 1.
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "engine/heap.h"
#include "engine/size_arena.h"

namespace kiln::engine {

namespace {

// Collects when a trigger holds: strong growth in objects or bytes since
// the last collection, a request that would cross the limit, or a full GC
// block. growth is the net number of bytes the request adds.
void maybe_collect(engine* e, size_t growth) {
  if (!e->gc_permitted) return;
  const alloc_state& a = e->alloc;
  size_t objects = e->gc_block.length;
  bool trigger = false;
  if (objects > a.objects_at_last_gc + k_gc_object_growth && objects > 2 * a.objects_at_last_gc)
    trigger = true;
  else if (a.bytes_in_use > a.bytes_at_last_gc + k_gc_byte_growth &&
           a.bytes_in_use > 2 * a.bytes_at_last_gc)
    trigger = true;
  else if (growth > a.byte_limit || a.byte_limit - growth < a.bytes_in_use)
    trigger = true;
  else if (gc_block_full(e))
    trigger = true;
  if (trigger) collect(e);
}

// True when growth more bytes stay within the limit.
bool within_limit(const engine* e, size_t growth) {
  return growth <= e->alloc.byte_limit && e->alloc.byte_limit - growth >= e->alloc.bytes_in_use;
}

// The policy shared by both object allocators; backend supplies
// allocate(size), release(block, size) and resize(block, old, new).
template <class Backend>
void* object_alloc(engine* e, void* old_block, size_t old_size, size_t new_size) {
  if (old_block == nullptr) {
    if (old_size != 0) abort();
    if (new_size == 0) new_size = 1;
    maybe_collect(e, new_size);
    if (!within_limit(e, new_size)) return nullptr;
    // The new object will need a GC block slot.
    if (gc_block_full(e)) gc_block_grow(e);
    void* block = Backend::allocate(new_size);
    if (block) e->alloc.bytes_in_use += new_size;
    return block;
  }
  if (old_size == 0) old_size = 1;
  if (new_size == 0) {
    Backend::release(old_block, old_size);
    e->alloc.bytes_in_use -= old_size;
    return nullptr;
  }
  size_t growth = new_size > old_size ? new_size - old_size : 0;
  if (growth) {
    maybe_collect(e, growth);
    if (!within_limit(e, growth)) return nullptr;
  }
  void* block = Backend::resize(old_block, old_size, new_size);
  if (block) e->alloc.bytes_in_use = e->alloc.bytes_in_use - old_size + new_size;
  return block;
}

struct malloc_backend {
  static void* allocate(size_t size) { return malloc(size); }
  static void release(void* block, size_t) { free(block); }
  static void* resize(void* block, size_t, size_t new_size) { return realloc(block, new_size); }
};

struct arena_backend {
  static void* allocate(size_t size) { return arena_alloc(size); }
  static void release(void* block, size_t size) { arena_free(block, size); }
  static void* resize(void* block, size_t old_size, size_t new_size) {
    return arena_resize(block, old_size, new_size);
  }
};

}  // namespace

void* malloc_alloc_hook(engine* e, void* old_block, size_t old_size, size_t new_size) {
  return object_alloc<malloc_backend>(e, old_block, old_size, new_size);
}

void* arena_alloc_hook(engine* e, void* old_block, size_t old_size, size_t new_size) {
  return object_alloc<arena_backend>(e, old_block, old_size, new_size);
}

void* default_realloc_hook(void* old_block, size_t new_size, size_t old_size) {
  if (old_block == nullptr && old_size == 0) return malloc(new_size ? new_size : 1);
  if (old_block == nullptr) abort();
  if (new_size == 0) {
    free(old_block);
    return nullptr;
  }
  if (old_size >= new_size) return old_block;
  void* block = malloc(new_size);
  if (!block) return nullptr;
  memcpy(block, old_block, old_size);
  free(old_block);
  return block;
}

// ---------------------------------------------------------------------------
// Object memory

void* obj_alloc(engine* e, size_t size) { return e->alloc_hook(e, nullptr, 0, size); }

void* obj_realloc(engine* e, void* block, size_t old_size, size_t new_size) {
  return e->alloc_hook(e, block, old_size, new_size);
}

void obj_free(engine* e, void* block, size_t size) {
  if (block) e->alloc_hook(e, block, size, 0);
}

// ---------------------------------------------------------------------------
// The engine's own vectors

void value_vec_reserve(engine* e, value_vec* vec, size_t min_capacity) {
  if (vec->capacity >= min_capacity) return;
  size_t capacity = vec->capacity ? vec->capacity : 16;
  while (capacity < min_capacity) capacity *= 2;
  void* items = e->realloc_hook(vec->items, capacity * sizeof(value), vec->capacity * sizeof(value));
  if (!items) abort();
  vec->items = static_cast<value*>(items);
  vec->capacity = capacity;
}

}  // namespace kiln::engine
