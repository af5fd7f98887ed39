// Values: number classification, type codes, the error slot, reference
// counting and the iterative destruction of objects.
#include <cmath>
#include <cstdint>

#include "base/result_codes.h"
#include "engine/engine.h"
#include "engine/heap.h"
#include "engine/tree.h"

namespace kiln::engine {

namespace {

// @type codes of the types 0 to 13; int differs from its expected-type
// error code (69) and is special-cased by the callers.
constexpr int k_type_codes[] = {51, 39, 40, 41, 42, 43, 38, 44, 45, 47, 48, 49, 50, 46};

}  // namespace


int type_query_code(uint32_t type) {
  if (type > t_ios) return base::rc_invalid;
  return k_type_codes[type];
}

int expected_type_error(uint32_t type) {
  if (type == t_int) return 69;
  return type_query_code(type);
}

// ---------------------------------------------------------------------------
// Error slot

int set_error(engine* e, int code, value info, double number, int result) {
  value_assign(e, &e->err.info, info);
  e->err.code = code;
  e->err.number = number;
  return result;
}

void clear_error(engine* e) {
  value_clear(e, &e->err.info);
  e->err.code = 0;
  e->err.opcode = 0;
  e->err.number = 0;
}

// ---------------------------------------------------------------------------
// References

void value_unref(engine* e, value v) {
  if (!is_object_type(v.type)) return;
  object* o = v.obj;
  if (--o->refcnt == 0) destroy_object(e, v.type, o);
}

void value_assign(engine* e, value* dst, value src) {
  // Reference first: src may be held only by *dst.
  value_ref(src);
  value old = *dst;
  *dst = src;
  value_unref(e, old);
}

void value_clear(engine* e, value* slot) {
  value old = *slot;
  *slot = make_nil();
  value_unref(e, old);
}

// ---------------------------------------------------------------------------
// Destruction

namespace {

// The pending-destruction stack lives in the unused tail of the GC block.
// Each container on it was unregistered first, which freed the slot it
// takes, so the stack never collides with the live entries.
void pending_push(engine* e, uint32_t type, object* o) {
  auto& g = e->gc_block;
  g.items[--g.pending_start] = gc_entry{type, o};
}

// Releases what a dead container holds and frees its storage. Children
// whose counts drop to zero are queued, not destroyed recursively.
void release_container(engine* e, uint32_t type, object* o) {
  switch (type) {
    case t_tree: {
      auto* t = static_cast<tree_obj*>(o);
      entries_release(e, &t->root);
      t->count = 0;
      break;
    }
    case t_array: {
      auto* a = static_cast<array_obj*>(o);
      for (size_t i = 0; i < a->size; i++) value_unref(e, a->items[i]);
      a->size = 0;
      break;
    }
    case t_sc: {
      auto* s = static_cast<scope_obj*>(o);
      if (s->parent) {
        value parent = make_object(t_sc, s->parent);
        s->parent = nullptr;
        value_unref(e, parent);
      }
      for (size_t i = 0; i < s->bucket_count; i++) entries_release(e, &s->buckets[i]);
      s->var_count = 0;
      break;
    }
    default:
      break;
  }
  free_object_storage(e, type, o);
}

}  // namespace

void destroy_object(engine* e, uint32_t type, object* o) {
  o->refcnt = 0;
  gc_unregister(e, o);
  if (type != t_tree && type != t_array && type != t_sc) {
    free_object_storage(e, type, o);
    return;
  }
  pending_push(e, type, o);
  // Only the outermost destruction drains; nested releases just queue.
  auto& g = e->gc_block;
  if (g.draining) return;
  g.draining = 1;
  while (g.pending_start < g.capacity) {
    gc_entry next = g.items[g.pending_start++];
    release_container(e, next.type, next.obj);
  }
  g.draining = 0;
}

}  // namespace kiln::engine
