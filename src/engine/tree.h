// Entry-level operations on a red-black tree of `tree_entry` blocks, given
// by its root pointer. Dictionaries (`tree_obj`) have one such tree; scopes
// have one per bucket. Each entry holds one reference to its key (a str)
// and one to its value.
#pragma once

#include <cstddef>

#include "engine/engine.h"
#include "engine/rbtree.h"

namespace kiln::engine {

// The entry with this key, or null.
tree_entry* entry_find(tree_entry* root, const char* key, size_t key_length);

// Replaces the value of the entry with key's bytes or inserts a new entry
// (error 6 with 64 and -12 when the block cannot be had). *inserted tells
// which happened. key must be a str.
int entry_set(engine* e, tree_entry** root, value key, value v, bool* inserted);

// Inserts a new entry; -17 when the key exists (tree unchanged).
int entry_add(engine* e, tree_entry** root, value key, value v);

// Unlinks an entry, frees its block and releases its key and value.
void entry_remove(engine* e, tree_entry** root, tree_entry* entry);

// Frees every entry of a tree, releasing keys and values; leaves it empty.
void entries_release(engine* e, tree_entry** root);

// Frees every entry block without releasing what they hold (for the
// collector, which has already dropped those references).
void entries_free_blocks(engine* e, tree_entry** root);

// Calls f(entry) for every entry in key order, without recursion.
template <class F>
void entries_for_each(tree_entry* root, F f) {
  for (tree_entry* n = rb::first(root); n; n = rb::next(n)) f(n);
}

}  // namespace kiln::engine
