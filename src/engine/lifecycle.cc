// Creation, destruction and trimming of the engine.
#include <cstdio>
#include <cstdlib>

#include "engine/engine.h"
#include "engine/heap.h"

namespace kiln::engine {

namespace {

void* vector_alloc(engine* e, size_t bytes) {
  void* block = e->realloc_hook(nullptr, bytes, 0);
  if (!block) abort();
  return block;
}

void value_vec_init(engine* e, value_vec* vec, size_t capacity) {
  vec->items = static_cast<value*>(vector_alloc(e, capacity * sizeof(value)));
  vec->length = 0;
  vec->capacity = capacity;
}

void value_vec_release(engine* e, value_vec* vec) {
  while (vec->length) {
    value v = vec->items[--vec->length];
    value_unref(e, v);
  }
}

void value_vec_free(engine* e, value_vec* vec) {
  if (vec->items) e->realloc_hook(vec->items, 0, vec->capacity * sizeof(value));
  *vec = value_vec();
}

// Offers a vector to the realloc hook at its used size. An empty vector is
// kept as it is: at size 0 the hook would free it. The capacity changes
// only when the hook really moved the vector to a block of the used size.
template <class T>
void trim(engine* e, T** items, size_t* capacity, size_t used, size_t element_size) {
  if (used == 0 || *items == nullptr) return;
  void* block = e->realloc_hook(*items, used * element_size, *capacity * element_size);
  if (!block || block == *items) return;
  *items = static_cast<T*>(block);
  *capacity = used;
}

}  // namespace

int engine_init(engine* e, int arena_mode) {
  *e = engine();
  e->arena_mode = arena_mode ? 1 : 0;
  e->alloc.byte_limit = SIZE_MAX;
  e->alloc_hook = arena_mode ? arena_alloc_hook : malloc_alloc_hook;
  e->realloc_hook = default_realloc_hook;

  value_vec_init(e, &e->stack, k_initial_stack);
  value_vec_init(e, &e->cstack, k_initial_stack);
  value_vec_init(e, &e->object_cache, k_initial_stack);
  value_vec_init(e, &e->backtrace, k_backtrace_capacity);
  e->bytecode.bytes = static_cast<uint8_t*>(vector_alloc(e, k_initial_bytecode));
  e->bytecode.capacity = k_initial_bytecode;
  e->gc_block.items = static_cast<gc_entry*>(vector_alloc(e, k_initial_stack * sizeof(gc_entry)));
  e->gc_block.capacity = k_initial_stack;
  e->gc_block.pending_start = k_initial_stack;
  e->extra_root = make_nil();

  scope_obj* root = scope_new(e, k_root_scope_buckets, nullptr, false);
  if (!root) {
    fprintf(stderr, "cinder: cannot create the root scope\n");
    abort();
  }
  e->current_scope = make_object(t_sc, root);
  return 0;
}

void engine_free(engine* e) {
  if (e->extra_root.type != t_nil) {
    fprintf(stderr, "cinder: extra root not nil at engine_free\n");
    abort();
  }
  value_clear(e, &e->current_scope);
  value_vec_release(e, &e->backtrace);
  value_vec_release(e, &e->object_cache);
  value_vec_release(e, &e->stack);
  value_vec_release(e, &e->cstack);
  value_clear(e, &e->err.info);
  e->gc_permitted = 1;
  collect(e);  // frees what only cycles still hold

  value_vec_free(e, &e->stack);
  value_vec_free(e, &e->cstack);
  value_vec_free(e, &e->object_cache);
  value_vec_free(e, &e->backtrace);
  if (e->bytecode.bytes) e->realloc_hook(e->bytecode.bytes, 0, e->bytecode.capacity);
  e->bytecode.bytes = nullptr;
  e->bytecode.length = e->bytecode.capacity = 0;
  if (e->gc_block.items)
    e->realloc_hook(e->gc_block.items, 0, e->gc_block.capacity * sizeof(gc_entry));
  e->gc_block.items = nullptr;
  e->gc_block.length = e->gc_block.capacity = e->gc_block.pending_start = 0;
  for (str_obj*& root : e->string_cache) root = nullptr;
}

void engine_trim(engine* e) {
  trim(e, &e->stack.items, &e->stack.capacity, e->stack.length, sizeof(value));
  trim(e, &e->cstack.items, &e->cstack.capacity, e->cstack.length, sizeof(value));
  // The GC block keeps its tail only while nothing is pending.
  if (e->gc_block.pending_start == e->gc_block.capacity) {
    trim(e, &e->gc_block.items, &e->gc_block.capacity, e->gc_block.length, sizeof(gc_entry));
    e->gc_block.pending_start = e->gc_block.capacity;
  }
  trim(e, &e->backtrace.items, &e->backtrace.capacity, e->backtrace.length, sizeof(value));
  trim(e, &e->bytecode.bytes, &e->bytecode.capacity, e->bytecode.length, 1);
  trim(e, &e->object_cache.items, &e->object_cache.capacity, e->object_cache.length,
       sizeof(value));
}

void engine_print_memory_stats(const engine* e, FILE* out) {
  fprintf(out, "  cinder arena all: %zu \n", arena_total_bytes());
  fprintf(out, "  cinder bytecode all: %zu \n", e->bytecode.capacity);
  fprintf(out, "  cinder object cache all: %zu \n", e->object_cache.capacity * sizeof(value));
  fprintf(out, "  cinder GC block all: %zu \n", e->gc_block.capacity * sizeof(gc_entry));
}

}  // namespace kiln::engine
