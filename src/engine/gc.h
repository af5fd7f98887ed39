// cinder's memory: object allocation through the engine's hook,
// reference counting and the constructors that register new objects
// with the collector. Part of the chief header engine/engine.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "engine/objects.h"

namespace kiln::engine {

struct engine;

// ---------------------------------------------------------------------------
// Memory

// Object memory through the alloc hook (limit and collection triggers).
void* obj_alloc(engine* e, size_t size);
void* obj_realloc(engine* e, void* block, size_t old_size, size_t new_size);
void obj_free(engine* e, void* block, size_t size);

// Bytes obtained from malloc by the process-wide size-class arena.
size_t arena_total_bytes();

// Prints the engine's four lines of the memory statistics: arena total,
// bytecode capacity, object cache and GC block capacities in bytes.
void engine_print_memory_stats(const engine* e, FILE* out);

// ---------------------------------------------------------------------------
// References

// Takes a reference when v is an object.
inline void value_ref(value v) {
  if (is_object_type(v.type)) v.obj->refcnt++;
}

// Releases a reference; destroys the object when it was the last.
void value_unref(engine* e, value v);

// Stores src into *dst: references src, releases the old content.
void value_assign(engine* e, value* dst, value src);

// Releases *slot and leaves it nil with payload 0.
void value_clear(engine* e, value* slot);

// ---------------------------------------------------------------------------
// Constructors: each returns the object with refcnt 1, registered in the GC
// block, or nullptr after setting error 6 "Not enough memory" with the
// requested size as additional number.

str_obj* string_new(engine* e, const char* bytes, size_t length);
str_obj* string_new_concat(engine* e, const char* a, size_t a_length, const char* b,
                           size_t b_length);
str_obj* string_new_repeat(engine* e, const char* bytes, size_t length, size_t count);
str_obj* string_new_empty(engine* e, size_t length);  // NUL-filled
array_obj* array_new(engine* e);
tree_obj* tree_new(engine* e);
pb_obj* pb_new(engine* e);
ios_obj* ios_new(engine* e, FILE* stream);
// Bucket count is rounded up to a power of two; the scope takes a
// reference to its parent and enters itself in the object cache.
scope_obj* scope_new(engine* e, size_t bucket_count, scope_obj* parent, bool holey);

// Twins: the same, pushing the new value on the C stack (which then holds
// the only reference). Return the C stack slot index, or a negative result
// (error 20 "Stack overflow" when the C stack is full).
int64_t cstack_string_new(engine* e, const char* bytes, size_t length);
int64_t cstack_string_new_concat(engine* e, const char* a, size_t a_length, const char* b,
                                 size_t b_length);
int64_t cstack_string_new_repeat(engine* e, const char* bytes, size_t length, size_t count);
int64_t cstack_string_new_empty(engine* e, size_t length);
int64_t cstack_array_new(engine* e);
int64_t cstack_tree_new(engine* e);
int64_t cstack_pb_new(engine* e);
int64_t cstack_ios_new(engine* e, FILE* stream);
int64_t cstack_scope_new(engine* e, size_t bucket_count, scope_obj* parent, bool holey);

// Arrays: append with a new reference (capacity grows to 2 * size + 1 or
// more); -12 on memory failure.
int array_push(engine* e, array_obj* a, value v);

// Protocol buffers: set the length, zero-filling growth.
int pb_set_length(engine* e, pb_obj* p, size_t length);

}  // namespace kiln::engine
