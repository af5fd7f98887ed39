// Object constructors, their C stack twins, array and protocol-buffer
// growth, and the freeing of object storage.
//
// A constructor allocates everything it needs before it registers the
// object in the GC block: an allocation may run a collection, and a
// registered object that no root holds yet would be taken for garbage.
#include <cstring>

#include "base/result_codes.h"
#include "engine/engine.h"
#include "engine/heap.h"
#include "engine/tree.h"

namespace kiln::engine {

size_t object_block_size(uint32_t type, const object* o) {
  if (type == t_str) return k_string_overhead + static_cast<const str_obj*>(o)->length;
  if (type == t_sc)
    return sizeof(scope_obj) + sizeof(tree_entry*) * static_cast<const scope_obj*>(o)->bucket_count;
  return k_object_block;
}

void free_object_storage(engine* e, uint32_t type, object* o) {
  switch (type) {
    case t_str: {
      auto* s = static_cast<str_obj*>(o);
      if (s->cache_index >= 0) string_cache_erase(e, s);
      break;
    }
    case t_tree:
      entries_free_blocks(e, &static_cast<tree_obj*>(o)->root);
      break;
    case t_array: {
      auto* a = static_cast<array_obj*>(o);
      if (a->items) obj_free(e, a->items, a->capacity * sizeof(value));
      break;
    }
    case t_pb: {
      auto* p = static_cast<pb_obj*>(o);
      if (p->data) obj_free(e, p->data, p->capacity);
      break;
    }
    case t_sc: {
      auto* s = static_cast<scope_obj*>(o);
      for (size_t i = 0; i < s->bucket_count; i++) entries_free_blocks(e, &s->buckets[i]);
      break;
    }
    case t_ios: {
      auto* s = static_cast<ios_obj*>(o);
      if (s->stream) fclose(s->stream);
      s->stream = nullptr;
      break;
    }
    default:
      break;
  }
  obj_free(e, o, object_block_size(type, o));
}

void* obj_alloc_or_fail(engine* e, size_t size) {
  void* block = obj_alloc(e, size);
  if (!block) set_error(e, err_not_enough_memory, make_nil(), static_cast<double>(size), base::rc_no_memory);
  return block;
}

// ---------------------------------------------------------------------------
// Strings

namespace {

// A string of the given length with its header set and its bytes not yet
// written, or null with error 6.
str_obj* string_alloc(engine* e, size_t length) {
  if (length > SIZE_MAX - k_string_overhead) {
    set_error(e, err_not_enough_memory, make_nil(), static_cast<double>(length) + k_string_overhead, base::rc_no_memory);
    return nullptr;
  }
  auto* s = static_cast<str_obj*>(obj_alloc_or_fail(e, k_string_overhead + length));
  if (!s) return nullptr;
  s->refcnt = 1;
  s->colour = 0;
  s->left = s->right = s->parent = nullptr;
  s->length = length;
  s->cache_index = -1;
  s->bytes[length] = '\0';
  gc_register(e, t_str, s);
  return s;
}

}  // namespace

str_obj* string_new(engine* e, const char* bytes, size_t length) {
  str_obj* s = string_alloc(e, length);
  if (s && length) memcpy(s->bytes, bytes, length);
  return s;
}

str_obj* string_new_concat(engine* e, const char* a, size_t a_length, const char* b,
                           size_t b_length) {
  if (a_length > SIZE_MAX - k_string_overhead - b_length) {
    set_error(e, err_not_enough_memory, make_nil(), static_cast<double>(a_length) + static_cast<double>(b_length), base::rc_no_memory);
    return nullptr;
  }
  str_obj* s = string_alloc(e, a_length + b_length);
  if (!s) return nullptr;
  if (a_length) memcpy(s->bytes, a, a_length);
  if (b_length) memcpy(s->bytes + a_length, b, b_length);
  return s;
}

str_obj* string_new_repeat(engine* e, const char* bytes, size_t length, size_t count) {
  if (length && count > (SIZE_MAX - k_string_overhead) / length) {
    set_error(e, err_not_enough_memory, make_nil(), static_cast<double>(length) * static_cast<double>(count), base::rc_no_memory);
    return nullptr;
  }
  str_obj* s = string_alloc(e, length * count);
  if (!s) return nullptr;
  for (size_t i = 0; i < count && length; i++) memcpy(s->bytes + i * length, bytes, length);
  return s;
}

str_obj* string_new_empty(engine* e, size_t length) {
  str_obj* s = string_alloc(e, length);
  if (s) memset(s->bytes, 0, length);
  return s;
}

// ---------------------------------------------------------------------------
// Containers, buffers and streams

array_obj* array_new(engine* e) {
  auto* a = static_cast<array_obj*>(obj_alloc_or_fail(e, k_object_block));
  if (!a) return nullptr;
  a->refcnt = 1;
  a->items = nullptr;
  a->capacity = 0;
  a->size = 0;
  gc_register(e, t_array, a);
  return a;
}

tree_obj* tree_new(engine* e) {
  auto* t = static_cast<tree_obj*>(obj_alloc_or_fail(e, k_object_block));
  if (!t) return nullptr;
  t->refcnt = 1;
  t->root = nullptr;
  t->count = 0;
  gc_register(e, t_tree, t);
  return t;
}

pb_obj* pb_new(engine* e) {
  auto* p = static_cast<pb_obj*>(obj_alloc_or_fail(e, k_object_block));
  if (!p) return nullptr;
  auto* data = static_cast<uint8_t*>(obj_alloc_or_fail(e, k_pb_initial_capacity));
  if (!data) {
    obj_free(e, p, k_object_block);
    return nullptr;
  }
  memset(data, 0, k_pb_initial_capacity);
  p->refcnt = 1;
  p->length = 0;
  p->capacity = k_pb_initial_capacity;
  p->data = data;
  gc_register(e, t_pb, p);
  return p;
}

ios_obj* ios_new(engine* e, FILE* stream) {
  auto* s = static_cast<ios_obj*>(obj_alloc_or_fail(e, k_object_block));
  if (!s) return nullptr;
  s->refcnt = 1;
  s->stream = stream;
  gc_register(e, t_ios, s);
  return s;
}

int array_push(engine* e, array_obj* a, value v) {
  if (a->size == a->capacity) {
    // Capacity grows to twice the size plus one.
    size_t max_elements = SIZE_MAX / sizeof(value);
    if (a->size > (max_elements - 1) / 2)
      return set_error(e, err_not_enough_memory, make_nil(), static_cast<double>(a->size) * 2 * sizeof(value), base::rc_no_memory);
    size_t capacity = 2 * a->size + 1;
    size_t bytes = capacity * sizeof(value);
    void* items = obj_realloc(e, a->items, a->capacity * sizeof(value), bytes);
    if (!items) return set_error(e, err_not_enough_memory, make_nil(), static_cast<double>(bytes), base::rc_no_memory);
    a->items = static_cast<value*>(items);
    a->capacity = capacity;
  }
  value_ref(v);
  a->items[a->size++] = v;
  return 0;
}

int pb_set_length(engine* e, pb_obj* p, size_t length) {
  if (length > p->capacity) {
    size_t capacity = p->capacity <= (SIZE_MAX - 1) / 2 ? 2 * p->capacity + 1 : SIZE_MAX;
    if (capacity < length) capacity = length;
    void* data = obj_realloc(e, p->data, p->capacity, capacity);
    if (!data) return set_error(e, err_not_enough_memory, make_nil(), static_cast<double>(capacity), base::rc_no_memory);
    p->data = static_cast<uint8_t*>(data);
    memset(p->data + p->capacity, 0, capacity - p->capacity);
    p->capacity = capacity;
  }
  // Bytes that come back into the buffer after a shrink read as zero.
  if (length > p->length) memset(p->data + p->length, 0, length - p->length);
  p->length = length;
  return 0;
}

// ---------------------------------------------------------------------------
// C stack twins

namespace {

// Moves the caller's reference to a new object onto the C stack.
int64_t root_on_cstack(engine* e, uint32_t type, object* o) {
  if (!o) return base::rc_no_memory;
  value v = make_object(type, o);
  int rc = cstack_push(e, v);  // takes a second reference
  value_unref(e, v);           // drops ours (destroys it when the push failed)
  if (rc < 0) return rc;
  return static_cast<int64_t>(e->cstack.length - 1);
}

}  // namespace

int64_t cstack_string_new(engine* e, const char* bytes, size_t length) {
  return root_on_cstack(e, t_str, string_new(e, bytes, length));
}

int64_t cstack_string_new_concat(engine* e, const char* a, size_t a_length, const char* b,
                                 size_t b_length) {
  return root_on_cstack(e, t_str, string_new_concat(e, a, a_length, b, b_length));
}

int64_t cstack_string_new_repeat(engine* e, const char* bytes, size_t length, size_t count) {
  return root_on_cstack(e, t_str, string_new_repeat(e, bytes, length, count));
}

int64_t cstack_string_new_empty(engine* e, size_t length) {
  return root_on_cstack(e, t_str, string_new_empty(e, length));
}

int64_t cstack_array_new(engine* e) { return root_on_cstack(e, t_array, array_new(e)); }

int64_t cstack_tree_new(engine* e) { return root_on_cstack(e, t_tree, tree_new(e)); }

int64_t cstack_pb_new(engine* e) { return root_on_cstack(e, t_pb, pb_new(e)); }

int64_t cstack_ios_new(engine* e, FILE* stream) {
  return root_on_cstack(e, t_ios, ios_new(e, stream));
}

int64_t cstack_scope_new(engine* e, size_t bucket_count, scope_obj* parent, bool holey) {
  return root_on_cstack(e, t_sc, scope_new(e, bucket_count, parent, holey));
}

}  // namespace kiln::engine
