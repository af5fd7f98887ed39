// Dictionaries: red-black trees of 64-byte entries keyed by strings, and
// the entry operations that scopes share.
//
// Key order: memcmp over the shorter length; when equal there, the shorter
// key is smaller. Keys may hold any bytes, NUL included.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/result_codes.h"
#include "engine/engine.h"
#include "engine/heap.h"
#include "engine/tree.h"

namespace kiln::engine {

int key_compare(const char* a, size_t a_length, const char* b, size_t b_length) {
  size_t n = a_length < b_length ? a_length : b_length;
  int c = n ? memcmp(a, b, n) : 0;
  if (c) return c;
  return a_length < b_length ? -1 : a_length > b_length ? 1 : 0;
}

namespace {

int entry_compare(const char* key, size_t key_length, const tree_entry* n) {
  return key_compare(key, key_length, n->key.str->bytes, n->key.str->length);
}

// A key that is not a string is a programming error of the caller.
void require_string_key(value key) {
  if (key.type != t_str) {
    fprintf(stderr, "tree key not string\n");
    abort();
  }
}

// Finds where key belongs: the entry holding it, or the parent and side of
// the null link a new entry would take.
tree_entry* locate(tree_entry* root, const char* key, size_t key_length, tree_entry** parent,
                   bool* as_left) {
  *parent = nullptr;
  *as_left = false;
  tree_entry* n = root;
  while (n) {
    int c = entry_compare(key, key_length, n);
    if (c == 0) return n;
    *parent = n;
    *as_left = c < 0;
    n = c < 0 ? n->left : n->right;
  }
  return nullptr;
}

// Allocates and links a new entry, taking references to key and value.
int entry_insert(engine* e, tree_entry** root, value key, value v) {
  auto* n = static_cast<tree_entry*>(obj_alloc(e, k_entry_block));
  if (!n) return set_error(e, err_not_enough_memory, make_nil(), static_cast<double>(k_entry_block), base::rc_no_memory);
  // The allocation may have collected; the link position is found after it.
  tree_entry* parent;
  bool as_left;
  locate(*root, key.str->bytes, key.str->length, &parent, &as_left);
  value_ref(key);
  value_ref(v);
  n->key = key;
  n->val = v;
  rb::insert(root, n, parent, as_left);
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entries

tree_entry* entry_find(tree_entry* root, const char* key, size_t key_length) {
  tree_entry* parent;
  bool as_left;
  return locate(root, key, key_length, &parent, &as_left);
}

int entry_set(engine* e, tree_entry** root, value key, value v, bool* inserted) {
  require_string_key(key);
  *inserted = false;
  if (tree_entry* n = entry_find(*root, key.str->bytes, key.str->length)) {
    value_assign(e, &n->val, v);
    return 0;
  }
  int rc = entry_insert(e, root, key, v);
  if (rc == 0) *inserted = true;
  return rc;
}

int entry_add(engine* e, tree_entry** root, value key, value v) {
  require_string_key(key);
  if (entry_find(*root, key.str->bytes, key.str->length)) return base::rc_exists;
  return entry_insert(e, root, key, v);
}

namespace {

// Frees an entry that is out of its tree, then releases its key and value:
// released last, so that destruction they cause sees a consistent tree.
void entry_free(engine* e, tree_entry* entry) {
  value key = entry->key;
  value v = entry->val;
  obj_free(e, entry, k_entry_block);
  value_unref(e, key);
  value_unref(e, v);
}

}  // namespace

void entry_remove(engine* e, tree_entry** root, tree_entry* entry) {
  rb::erase(root, entry);
  entry_free(e, entry);
}

void entries_release(engine* e, tree_entry** root) {
  rb::dismantle(root, [e](tree_entry* n) { entry_free(e, n); });
}

void entries_free_blocks(engine* e, tree_entry** root) {
  rb::dismantle(root, [e](tree_entry* n) { obj_free(e, n, k_entry_block); });
}

// ---------------------------------------------------------------------------
// Dictionaries

value* tree_get(tree_obj* t, const char* key, size_t key_length) {
  tree_entry* n = entry_find(t->root, key, key_length);
  return n ? &n->val : nullptr;
}

int tree_set(engine* e, tree_obj* t, value key, value v) {
  bool inserted;
  int rc = entry_set(e, &t->root, key, v, &inserted);
  if (inserted) t->count++;
  return rc;
}

int tree_delete(engine* e, tree_obj* t, const char* key, size_t key_length) {
  tree_entry* n = entry_find(t->root, key, key_length);
  if (!n) return base::rc_not_found;
  t->count--;
  entry_remove(e, &t->root, n);
  return 0;
}

tree_entry* tree_next(tree_obj* t, const str_obj* key) {
  if (!key) return rb::first(t->root);
  // The smallest key strictly above: found by value, so the given key need
  // not be in the tree (it may just have been deleted).
  tree_entry* best = nullptr;
  for (tree_entry* n = t->root; n;) {
    if (entry_compare(key->bytes, key->length, n) < 0) {
      best = n;
      n = n->left;
    } else {
      n = n->right;
    }
  }
  return best;
}

tree_entry* tree_prev(tree_obj* t, const str_obj* key) {
  if (!key) return rb::last(t->root);
  tree_entry* best = nullptr;
  for (tree_entry* n = t->root; n;) {
    if (entry_compare(key->bytes, key->length, n) > 0) {
      best = n;
      n = n->right;
    } else {
      n = n->left;
    }
  }
  return best;
}

}  // namespace kiln::engine
