// cinder's heap objects: the common header and the six object types.
// Part of the chief header engine/engine.h, which includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "engine/value.h"

namespace kiln::engine {

// ---------------------------------------------------------------------------
// Objects

// Header of every heap object.
struct object {
  uint64_t refcnt;
  int64_t locidx;  // index in the GC block; -1 while marked by the collector
};

// Entry of a red-black tree of a dictionary or of a scope bucket: one
// 64-byte block holding a reference to its key (a str) and to its value.
struct tree_entry {
  uint64_t colour;  // 0 red, 1 black
  tree_entry* left;
  tree_entry* right;
  tree_entry* parent;
  value key;
  value val;
};
static_assert(sizeof(tree_entry) == 64, "tree entries are 64-byte blocks");

struct tree_obj : object {
  tree_entry* root;
  size_t count;
};

struct array_obj : object {
  value* items;
  size_t capacity;  // elements
  size_t size;      // elements
};

// Immutable string; the tree fields link it into the string cache only.
struct str_obj : object {
  uint64_t colour;
  str_obj* left;
  str_obj* right;
  str_obj* parent;
  size_t length;
  int64_t cache_index;  // object cache index when interned, else -1
  char bytes[];         // length bytes and a NUL
};

struct pb_obj : object {
  size_t length;
  size_t capacity;
  uint8_t* data;  // initial capacity 128; zero-filled when grown
};

// A scope: hashed buckets of trees of variables, with an optional parent.
struct scope_obj : object {
  int holey;  // a recursive lookup ends at a holey scope
  size_t var_count;
  scope_obj* parent;  // a reference, or none
  size_t bucket_count;  // a power of two
  int64_t cache_index;  // every scope is kept alive by the object cache
  void* host_data;      // the embedding program's record (kiln: directory names)
  tree_entry* buckets[];
};

struct ios_obj : object {
  FILE* stream;  // none once closed
};

}  // namespace kiln::engine
