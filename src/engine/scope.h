// cinder's string-keyed trees (dictionaries) and scopes. Part of the
// chief header engine/engine.h, which includes it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/objects.h"

namespace kiln::engine {

struct engine;

// ---------------------------------------------------------------------------
// Trees (dictionaries). Keys are str values; order is memcmp over the
// shorter length, then the shorter first.

// Compares two byte strings in key order: negative, 0 or positive.
int key_compare(const char* a, size_t a_length, const char* b, size_t b_length);

// The stored value for key, or nullptr when absent.
value* tree_get(tree_obj* t, const char* key, size_t key_length);

// Replaces or inserts (error 6 with 64 on allocation failure, -12).
int tree_set(engine* e, tree_obj* t, value key, value v);

// Removes the entry; -2 when absent.
int tree_delete(engine* e, tree_obj* t, const char* key, size_t key_length);

// The entry with the smallest key above key (the smallest of all for
// nullptr), or nullptr at the end; tree_prev mirrors it.
tree_entry* tree_next(tree_obj* t, const str_obj* key);
tree_entry* tree_prev(tree_obj* t, const str_obj* key);

// ---------------------------------------------------------------------------
// Scopes

// Looks a name up in this scope and, when recursive, through the parents
// up to and including the first holey scope. nullptr when absent.
value* scope_find(scope_obj* s, const char* name, size_t name_length, bool recursive);
value* scope_find_cstr(scope_obj* s, const char* name, bool recursive);

// Defines or overwrites in this scope only.
int scope_set(engine* e, scope_obj* s, value name, value v);

// Inserts a new variable; -17 when the name exists (scope unchanged).
int scope_add_cstr(engine* e, scope_obj* s, const char* name, value v);

// Removes from this scope only; -2 when absent.
int scope_delete(engine* e, scope_obj* s, const char* name, size_t name_length);

}  // namespace kiln::engine
