// Internals of the engine's memory: object block sizes, the GC block with
// its pending-destruction stack, the allocator hooks and the growth of the
// engine's own vectors. Only the engine's memory modules include this;
// everything else goes through engine.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine.h"

namespace kiln::engine {

// Every object except strings and scopes occupies one 64-byte block.
constexpr size_t k_object_block = 64;

// A string's block: the 64-byte header, the bytes and one NUL.
constexpr size_t k_string_overhead = sizeof(str_obj) + 1;

// Size of one tree or scope entry block.
constexpr size_t k_entry_block = sizeof(tree_entry);

// Initial capacity of a protocol buffer.
constexpr size_t k_pb_initial_capacity = 128;

// Collection triggers: growth in objects and in bytes since the last
// collection.
constexpr size_t k_gc_object_growth = 1600000;
constexpr size_t k_gc_byte_growth = 16000000;

// Bytes of an object's own block (strings and scopes vary).
size_t object_block_size(uint32_t type, const object* o);

// ---------------------------------------------------------------------------
// GC block. Live objects occupy [0, length); the pending-destruction stack
// occupies [pending_start, capacity) and grows downwards. An object's
// locidx is its position, so removal moves the last entry into the hole.

// True when no slot is left between the live objects and the pending stack.
inline bool gc_block_full(const engine* e) {
  return e->gc_block.length >= e->gc_block.pending_start;
}

// Doubles the GC block, keeping the pending stack at the tail; aborts on
// failure.
void gc_block_grow(engine* e);

// Appends an object (growing the block when full) and sets its locidx.
void gc_register(engine* e, uint32_t type, object* o);

// Removes an object, moving the last entry into its place.
void gc_unregister(engine* e, object* o);

// ---------------------------------------------------------------------------
// Destruction

// Destroys an object whose count reached zero: unregisters it, frees a
// string, buffer or stream at once and releases containers through the
// pending-destruction stack without recursion.
void destroy_object(engine* e, uint32_t type, object* o);

// Frees an object's storage (its block, and for containers their nodes and
// vectors) without touching the values it holds; closes an open stream.
// The object must already be out of the GC block.
void free_object_storage(engine* e, uint32_t type, object* o);

// Runs one collection unconditionally and updates the counters at last
// collection.
void collect(engine* e);

// ---------------------------------------------------------------------------
// Allocator hooks

// Objects from malloc, realloc and free.
void* malloc_alloc_hook(engine* e, void* old_block, size_t old_size, size_t new_size);

// Objects from the process-wide size-class arena.
void* arena_alloc_hook(engine* e, void* old_block, size_t old_size, size_t new_size);

// The engine's own vectors: allocate, keep when large enough, free, or
// move to a larger block. Other combinations abort.
void* default_realloc_hook(void* old_block, size_t new_size, size_t old_size);

// Allocates an object block or sets error 6 with the size and returns null.
void* obj_alloc_or_fail(engine* e, size_t size);

// ---------------------------------------------------------------------------
// The engine's own vectors

// Grows a value vector to at least min_capacity by doubling, through the
// realloc hook; aborts when the hook fails.
void value_vec_reserve(engine* e, value_vec* vec, size_t min_capacity);

// Largest stack and C stack; pushing beyond it is "Stack overflow".
constexpr size_t k_max_stack = size_t(1) << 22;

// Largest object cache; adding beyond it fails with -84.
constexpr size_t k_max_object_cache = size_t(1) << 26;

// Removes an interned string from its string cache bucket.
void string_cache_erase(engine* e, str_obj* s);

}  // namespace kiln::engine
