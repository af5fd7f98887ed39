// The GC block and the cycle collector.
//
// Every live object has one entry in the GC block and knows its position
// (locidx). A collection marks everything reachable from the roots with an
// explicit work stack (marked objects have locidx -1), drops the references
// that unmarked objects hold (which breaks their cycles, leaving each with
// count 0), frees them and renumbers the survivors.
//
// Roots: the extra root, the current dynamic scope, the error slot's value,
// every stack, C stack, object cache and backtrace slot.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "engine/heap.h"
#include "engine/tree.h"

namespace kiln::engine {

// ---------------------------------------------------------------------------
// GC block

void gc_block_grow(engine* e) {
  auto& g = e->gc_block;
  size_t old_capacity = g.capacity;
  size_t capacity = old_capacity ? 2 * old_capacity : k_initial_stack;
  void* items =
      e->realloc_hook(g.items, capacity * sizeof(gc_entry), old_capacity * sizeof(gc_entry));
  if (!items) abort();
  g.items = static_cast<gc_entry*>(items);
  // The pending stack stays at the tail.
  size_t n_pending = old_capacity - g.pending_start;
  if (n_pending)
    memmove(g.items + capacity - n_pending, g.items + g.pending_start,
            n_pending * sizeof(gc_entry));
  g.pending_start = capacity - n_pending;
  g.capacity = capacity;
}

void gc_register(engine* e, uint32_t type, object* o) {
  if (gc_block_full(e)) gc_block_grow(e);
  auto& g = e->gc_block;
  o->locidx = static_cast<int64_t>(g.length);
  g.items[g.length++] = gc_entry{type, o};
}

void gc_unregister(engine* e, object* o) {
  auto& g = e->gc_block;
  size_t idx = static_cast<size_t>(o->locidx);
  gc_entry last = g.items[--g.length];
  g.items[idx] = last;
  last.obj->locidx = static_cast<int64_t>(idx);
  o->locidx = -1;
}

// ---------------------------------------------------------------------------
// Walking references

namespace {

// Calls f(value) for every root value.
template <class F>
void for_each_root(engine* e, F f) {
  f(e->extra_root);
  f(e->current_scope);
  f(e->err.info);
  const value_vec* vecs[] = {&e->stack, &e->cstack, &e->object_cache, &e->backtrace};
  for (const value_vec* vec : vecs)
    for (size_t i = 0; i < vec->length; i++) f(vec->items[i]);
}

// Calls f(value) for every value a container holds: tree keys and values,
// array elements, a scope's parent and its variables' names and values.
template <class F>
void for_each_child(uint32_t type, object* o, F f) {
  auto visit_entries = [&](tree_entry* root) {
    entries_for_each(root, [&](tree_entry* n) {
      f(n->key);
      f(n->val);
    });
  };
  switch (type) {
    case t_tree:
      visit_entries(static_cast<tree_obj*>(o)->root);
      break;
    case t_array: {
      auto* a = static_cast<array_obj*>(o);
      for (size_t i = 0; i < a->size; i++) f(a->items[i]);
      break;
    }
    case t_sc: {
      auto* s = static_cast<scope_obj*>(o);
      if (s->parent) f(make_object(t_sc, s->parent));
      for (size_t i = 0; i < s->bucket_count; i++) visit_entries(s->buckets[i]);
      break;
    }
    default:
      break;
  }
}

bool is_container(uint32_t type) { return type == t_tree || type == t_array || type == t_sc; }

void* engine_vector_alloc(engine* e, size_t bytes) {
  void* block = e->realloc_hook(nullptr, bytes, 0);
  if (!block) abort();
  return block;
}

// Marks everything reachable from the roots. The work stack holds each
// container at most once, so objects + 100 entries always suffice.
void mark(engine* e) {
  size_t capacity = e->gc_block.length + 100;
  auto* work = static_cast<gc_entry*>(engine_vector_alloc(e, capacity * sizeof(gc_entry)));
  size_t depth = 0;
  auto mark_value = [&](value v) {
    if (!is_object_type(v.type) || v.obj->locidx == -1) return;
    v.obj->locidx = -1;
    if (!is_container(v.type)) return;
    if (depth == capacity) {
      fprintf(stderr, "GC mark stack overflow\n");
      abort();
    }
    work[depth++] = gc_entry{v.type, v.obj};
  };
  for_each_root(e, mark_value);
  while (depth) {
    gc_entry c = work[--depth];
    for_each_child(c.type, c.obj, mark_value);
  }
  e->realloc_hook(work, 0, capacity * sizeof(gc_entry));
}

}  // namespace

// ---------------------------------------------------------------------------
// Collection

void collect(engine* e) {
  if (e->verify_refcounts) engine_verify_refcounts(e);
  mark(e);
  auto& g = e->gc_block;

  // Unmarked objects drop what they hold; only unmarked objects can reach
  // zero this way, since a marked object is held by a root or by a marked
  // container.
  for (size_t i = 0; i < g.length; i++) {
    gc_entry c = g.items[i];
    if (c.obj->locidx == -1) continue;
    for_each_child(c.type, c.obj, [](value v) {
      if (is_object_type(v.type)) v.obj->refcnt--;
    });
  }

  // Free the unmarked. Walking down, the entry that moves into a hole has
  // already been visited and is marked.
  for (size_t i = g.length; i-- > 0;) {
    gc_entry c = g.items[i];
    if (c.obj->locidx == -1) continue;
    if (c.obj->refcnt != 0) {
      fprintf(stderr, "refcnt is not 0: %p: %d\n", static_cast<void*>(c.obj),
              static_cast<int>(c.obj->refcnt));
      fprintf(stderr, "type: %d\n", static_cast<int>(c.type));
      abort();
    }
    if (c.obj->locidx != static_cast<int64_t>(i)) {
      fprintf(stderr, "locidx invalid %d %d\n", static_cast<int>(c.obj->locidx),
              static_cast<int>(i));
      abort();
    }
    g.items[i] = g.items[--g.length];
    free_object_storage(e, c.type, c.obj);
  }

  for (size_t i = 0; i < g.length; i++) g.items[i].obj->locidx = static_cast<int64_t>(i);
  e->alloc.objects_at_last_gc = g.length;
  e->alloc.bytes_at_last_gc = e->alloc.bytes_in_use;
}

void engine_collect(engine* e) {
  if (e->gc_permitted) collect(e);
}

void engine_verify_refcounts(engine* e) {
  auto& g = e->gc_block;
  size_t n_counters = g.length + 100;
  auto* counters = static_cast<size_t*>(engine_vector_alloc(e, n_counters * sizeof(size_t)));
  memset(counters, 0, n_counters * sizeof(size_t));
  auto count = [&](value v) {
    if (!is_object_type(v.type)) return;
    int64_t idx = v.obj->locidx;
    if (idx < 0 || static_cast<size_t>(idx) >= g.length) {
      fprintf(stderr, "locidx invalid %d %d\n", static_cast<int>(idx), -1);
      abort();
    }
    counters[idx]++;
  };
  for_each_root(e, count);
  for (size_t i = 0; i < g.length; i++) for_each_child(g.items[i].type, g.items[i].obj, count);
  for (size_t i = 0; i < g.length; i++) {
    if (counters[i] != g.items[i].obj->refcnt) {
      fprintf(stderr, "Explained refcnt %zu, actual %zu\n", counters[i],
              static_cast<size_t>(g.items[i].obj->refcnt));
      fprintf(stderr, "type: %d\n", static_cast<int>(g.items[i].type));
      abort();
    }
  }
  e->realloc_hook(counters, 0, n_counters * sizeof(size_t));
}

}  // namespace kiln::engine
