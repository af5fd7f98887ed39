// Scopes: variables in hashed buckets of red-black trees, with a parent.
//
// A variable's bucket is the string hash of its name masked with the bucket
// count minus one (a power of two). A recursive lookup climbs the parents
// until it finds the name or leaves a holey scope, which ends the search at
// itself. Every scope is entered in the object cache when created, so
// scopes live until the engine is freed.
#include <cstring>

#include "base/result_codes.h"
#include "engine/engine.h"
#include "engine/heap.h"
#include "engine/tree.h"

namespace kiln::engine {

namespace {

// Largest bucket count: keeps the block size far from overflow.
constexpr size_t k_max_buckets = size_t(1) << 40;

tree_entry** bucket_of(scope_obj* s, const char* name, size_t name_length) {
  return &s->buckets[string_hash(name, name_length) & (s->bucket_count - 1)];
}

size_t round_up_power_of_two(size_t n) {
  size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

}  // namespace

scope_obj* scope_new(engine* e, size_t bucket_count, scope_obj* parent, bool holey) {
  if (bucket_count > k_max_buckets) {
    set_error(e, err_not_enough_memory, make_nil(), static_cast<double>(bucket_count) * sizeof(tree_entry*), base::rc_no_memory);
    return nullptr;
  }
  size_t buckets = round_up_power_of_two(bucket_count);
  size_t size = sizeof(scope_obj) + buckets * sizeof(tree_entry*);
  auto* s = static_cast<scope_obj*>(obj_alloc_or_fail(e, size));
  if (!s) return nullptr;
  s->refcnt = 1;
  s->holey = holey ? 1 : 0;
  s->var_count = 0;
  s->parent = parent;
  s->bucket_count = buckets;
  s->cache_index = -1;
  s->host_data = nullptr;
  memset(s->buckets, 0, buckets * sizeof(tree_entry*));
  if (parent) parent->refcnt++;
  gc_register(e, t_sc, s);
  int64_t idx = cache_add_value(e, make_object(t_sc, s));
  if (idx < 0) {
    value_unref(e, make_object(t_sc, s));
    return nullptr;
  }
  s->cache_index = idx;
  return s;
}

value* scope_find(scope_obj* s, const char* name, size_t name_length, bool recursive) {
  for (;;) {
    if (tree_entry* n = entry_find(*bucket_of(s, name, name_length), name, name_length))
      return &n->val;
    if (!recursive || s->holey || !s->parent) return nullptr;
    s = s->parent;
  }
}

value* scope_find_cstr(scope_obj* s, const char* name, bool recursive) {
  return scope_find(s, name, strlen(name), recursive);
}

namespace {

// Whether assignments leave this variable alone.
bool is_pinned(const engine* e, const scope_obj* s, const char* name, size_t length) {
  if (s != e->pinned_scope) return false;
  for (size_t i = 0; i < e->n_pinned; i++) {
    const char* p = e->pinned_names[i];
    if (strlen(p) == length && memcmp(p, name, length) == 0) return true;
  }
  return false;
}

// An assignment of an array to a pinned variable that holds a string
// gives it the shape the program expects: the string's blank-separated
// words as an array (kiln CC="ccache gcc" where a Kilnfile says
// $CC = ["cc"]). Any other assignment leaves it alone.
int reshape_pinned(engine* e, scope_obj* s, value name, value v) {
  if (v.type != t_array) return 0;
  value* current = scope_find(s, name.str->bytes, name.str->length, false);
  if (!current || current->type != t_str) return 0;
  int64_t slot = cstack_array_new(e);
  if (slot < 0) return static_cast<int>(slot);
  array_obj* words = e->cstack.items[slot].array;
  const char* text = current->str->bytes;
  size_t length = current->str->length;
  for (size_t i = 0; i < length;) {
    size_t end = i;
    while (end < length && text[end] != ' ' && text[end] != '\t') end++;
    if (end > i) {
      int64_t word = cstack_string_new(e, text + i, end - i);
      if (word < 0) {
        cstack_pop(e);
        return static_cast<int>(word);
      }
      int rc = array_push(e, words, e->cstack.items[word]);
      cstack_pop(e);
      if (rc) {
        cstack_pop(e);
        return rc;
      }
    }
    i = end + 1;
  }
  bool inserted;
  int rc = entry_set(e, bucket_of(s, name.str->bytes, name.str->length), name,
                     e->cstack.items[slot], &inserted);
  cstack_pop(e);
  return rc;
}

}  // namespace

int scope_set(engine* e, scope_obj* s, value name, value v) {
  if (name.type != t_str) return set_error(e, err_scope_variable_name_not_string, name, 0, base::rc_invalid);
  if (is_pinned(e, s, name.str->bytes, name.str->length)) return reshape_pinned(e, s, name, v);
  bool inserted;
  int rc = entry_set(e, bucket_of(s, name.str->bytes, name.str->length), name, v, &inserted);
  if (inserted) s->var_count++;
  return rc;
}

int scope_add_cstr(engine* e, scope_obj* s, const char* name, value v) {
  size_t length = strlen(name);
  tree_entry** bucket = bucket_of(s, name, length);
  if (entry_find(*bucket, name, length)) return base::rc_exists;
  // v must be rooted by the caller: allocating the name may collect. The
  // name itself stays rooted on the C stack while its entry is allocated.
  int64_t slot = cstack_string_new(e, name, length);
  if (slot < 0) return static_cast<int>(slot);
  int rc = entry_add(e, bucket, e->cstack.items[slot], v);
  cstack_pop(e);
  if (rc == 0) s->var_count++;
  return rc;
}

int scope_delete(engine* e, scope_obj* s, const char* name, size_t name_length) {
  if (is_pinned(e, s, name, name_length)) return 0;
  tree_entry** bucket = bucket_of(s, name, name_length);
  tree_entry* n = entry_find(*bucket, name, name_length);
  if (!n) return base::rc_not_found;
  s->var_count--;
  entry_remove(e, bucket, n);
  return 0;
}

}  // namespace kiln::engine
