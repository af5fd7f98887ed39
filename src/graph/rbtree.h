// The build graph's nodes in the shared red-black tree (base/rbtree.h),
// for the string table index, the per-rule target, dependency and
// `dep_remain` sets, and the database tables.
//
// A record joins a tree by deriving from `rb_node`; the tree is a root
// pointer (`rb_node*`, null when empty). Ordering is the caller's: lookups
// and insertions take a comparator `cmp(const rb_node*)` that returns
// negative when the key sorts before the node, positive after, 0 on a
// match.
//
// Invariants: the root is black; a red node has black children; every path
// from a node to a null link passes the same number of black nodes, so the
// height stays below 2 log2(n + 1). Nodes never move in memory: erasing a
// node with two children relinks its in-order successor into its place.
#pragma once

#include <cstdint>

#include "base/rbtree.h"

namespace kiln::graph {

// Tree links. The parent pointer and the colour share one word: nodes are
// at least 8-byte aligned, and bit 0 set means red.
struct rb_node {
  rb_node* left = nullptr;
  rb_node* right = nullptr;
  uintptr_t parent_colour = 0;

  rb_node* parent() const { return reinterpret_cast<rb_node*>(parent_colour & ~uintptr_t(1)); }
  bool is_red() const { return parent_colour & 1; }
  void set_parent(rb_node* p) {
    parent_colour = reinterpret_cast<uintptr_t>(p) | (parent_colour & 1);
  }
  void set_red(bool red) { parent_colour = (parent_colour & ~uintptr_t(1)) | (red ? 1 : 0); }
};

// The accessors the shared tree (base/rbtree.h) finds by argument-dependent
// lookup.
inline rb_node* rb_parent(const rb_node* n) { return n->parent(); }
inline void rb_set_parent(rb_node* n, rb_node* p) { n->set_parent(p); }
inline bool rb_is_red(const rb_node* n) { return n->is_red(); }
inline void rb_set_red(rb_node* n, bool red) { n->set_red(red); }

// Links `node` under `parent` (on the left when `left`), or as the root
// when parent is null, and rebalances.
inline void rb_link(rb_node** root, rb_node* parent, bool left, rb_node* node) {
  base::rb::insert(root, node, parent, left);
}

// The node matching the comparator, or null.
template <class Cmp>
inline rb_node* rb_find(rb_node* root, Cmp cmp) {
  rb_node* n = root;
  while (n) {
    int c = cmp(static_cast<const rb_node*>(n));
    if (c == 0) return n;
    n = c < 0 ? n->left : n->right;
  }
  return nullptr;
}

// Where a key belongs: the node that matches it, or else the parent and
// side under which a node for it is linked (rb_link). One walk both finds
// a key given twice and places a new one before anything is allocated.
struct rb_place {
  rb_node* found = nullptr;
  rb_node* parent = nullptr;
  bool left = false;
};

template <class Cmp>
inline rb_place rb_locate(rb_node* root, Cmp cmp) {
  rb_place at;
  for (rb_node* n = root; n;) {
    int c = cmp(static_cast<const rb_node*>(n));
    if (c == 0) {
      at.found = n;
      return at;
    }
    at.parent = n;
    at.left = c < 0;
    n = at.left ? n->left : n->right;
  }
  return at;
}

// Inserts `node` unless a node compares equal; returns that existing node
// (and leaves the tree unchanged) or null after inserting.
template <class Cmp>
inline rb_node* rb_insert_unique(rb_node** root, rb_node* node, Cmp cmp) {
  rb_place at = rb_locate(*root, cmp);
  if (!at.found) rb_link(root, at.parent, at.left, node);
  return at.found;
}

// Removes `node` from the tree; its links are cleared.
inline void rb_erase(rb_node** root, rb_node* node) { base::rb::erase(root, node); }

// The smallest node, or null for an empty tree.
inline rb_node* rb_first(rb_node* root) { return base::rb::first(root); }

// The in-order successor, or null after the last node.
inline rb_node* rb_next(rb_node* node) { return base::rb::next(node); }

// Number of black nodes on every root-to-leaf path, or -1 when the colour
// or ordering invariants are broken (for tests).
template <class Less>
inline int rb_check(const rb_node* n, Less less) {
  if (n == nullptr) return 1;
  if (n->is_red() && (base::rb::red(n->left) || base::rb::red(n->right))) return -1;
  if (n->left && (n->left->parent() != n || !less(n->left, n))) return -1;
  if (n->right && (n->right->parent() != n || !less(n, n->right))) return -1;
  int l = rb_check(n->left, less);
  int r = rb_check(n->right, less);
  if (l < 0 || l != r) return -1;
  return l + (n->is_red() ? 0 : 1);
}

}  // namespace kiln::graph
