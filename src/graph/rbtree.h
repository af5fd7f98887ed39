// Intrusive red-black tree with parent links, for the string table index,
// the per-rule target, dependency and `dep_remain` sets, and the database
// tables.
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

namespace rb_detail {

inline bool red(const rb_node* n) { return n != nullptr && n->is_red(); }

// Makes `to` take `from`'s place under `parent` (or at the root).
inline void replace_child(rb_node** root, rb_node* parent, rb_node* from, rb_node* to) {
  if (parent == nullptr)
    *root = to;
  else if (parent->left == from)
    parent->left = to;
  else
    parent->right = to;
}

inline void rotate_left(rb_node** root, rb_node* x) {
  rb_node* y = x->right;
  x->right = y->left;
  if (y->left) y->left->set_parent(x);
  y->set_parent(x->parent());
  replace_child(root, x->parent(), x, y);
  y->left = x;
  x->set_parent(y);
}

inline void rotate_right(rb_node** root, rb_node* x) {
  rb_node* y = x->left;
  x->left = y->right;
  if (y->right) y->right->set_parent(x);
  y->set_parent(x->parent());
  replace_child(root, x->parent(), x, y);
  y->right = x;
  x->set_parent(y);
}

}  // namespace rb_detail

// Restores the colour invariants after `node` was linked in as a red leaf.
inline void rb_insert_fixup(rb_node** root, rb_node* node) {
  using namespace rb_detail;
  rb_node* x = node;
  while (red(x->parent())) {
    rb_node* p = x->parent();
    rb_node* g = p->parent();  // exists: a red node is never the root
    if (p == g->left) {
      rb_node* u = g->right;
      if (red(u)) {
        p->set_red(false);
        u->set_red(false);
        g->set_red(true);
        x = g;
        continue;
      }
      if (x == p->right) {
        rotate_left(root, p);
        x = p;
        p = x->parent();
      }
      p->set_red(false);
      g->set_red(true);
      rotate_right(root, g);
    } else {
      rb_node* u = g->left;
      if (red(u)) {
        p->set_red(false);
        u->set_red(false);
        g->set_red(true);
        x = g;
        continue;
      }
      if (x == p->left) {
        rotate_right(root, p);
        x = p;
        p = x->parent();
      }
      p->set_red(false);
      g->set_red(true);
      rotate_left(root, g);
    }
  }
  (*root)->set_red(false);
}

// Links `node` under `parent` (on the left when `left`), or as the root
// when parent is null, and rebalances.
inline void rb_link(rb_node** root, rb_node* parent, bool left, rb_node* node) {
  node->left = node->right = nullptr;
  node->set_parent(parent);
  node->set_red(true);
  if (parent == nullptr)
    *root = node;
  else if (left)
    parent->left = node;
  else
    parent->right = node;
  rb_insert_fixup(root, node);
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

// Inserts `node` unless a node compares equal; returns that existing node
// (and leaves the tree unchanged) or null after inserting.
template <class Cmp>
inline rb_node* rb_insert_unique(rb_node** root, rb_node* node, Cmp cmp) {
  rb_node* parent = nullptr;
  rb_node* n = *root;
  int c = 0;
  while (n) {
    c = cmp(static_cast<const rb_node*>(n));
    if (c == 0) return n;
    parent = n;
    n = c < 0 ? n->left : n->right;
  }
  rb_link(root, parent, c < 0, node);
  return nullptr;
}

// Removes `node` from the tree; its links are left undefined.
inline void rb_erase(rb_node** root, rb_node* node) {
  using namespace rb_detail;
  rb_node* child;
  rb_node* parent;
  bool removed_red;
  if (node->left == nullptr || node->right == nullptr) {
    child = node->left ? node->left : node->right;
    parent = node->parent();
    removed_red = node->is_red();
    replace_child(root, parent, node, child);
    if (child) child->set_parent(parent);
  } else {
    rb_node* s = node->right;  // in-order successor takes node's place
    while (s->left) s = s->left;
    removed_red = s->is_red();
    child = s->right;
    if (s->parent() == node) {
      parent = s;
    } else {
      parent = s->parent();
      parent->left = child;
      if (child) child->set_parent(parent);
      s->right = node->right;
      s->right->set_parent(s);
    }
    s->left = node->left;
    s->left->set_parent(s);
    s->set_parent(node->parent());
    s->set_red(node->is_red());
    replace_child(root, node->parent(), node, s);
  }
  if (removed_red) return;
  // Fix the missing black on the path through `child` (maybe null).
  while (child != *root && !red(child)) {
    if (child == parent->left) {
      rb_node* w = parent->right;
      if (red(w)) {
        w->set_red(false);
        parent->set_red(true);
        rotate_left(root, parent);
        w = parent->right;
      }
      if (!red(w->left) && !red(w->right)) {
        w->set_red(true);
        child = parent;
        parent = child->parent();
        continue;
      }
      if (!red(w->right)) {
        w->left->set_red(false);
        w->set_red(true);
        rotate_right(root, w);
        w = parent->right;
      }
      w->set_red(parent->is_red());
      parent->set_red(false);
      w->right->set_red(false);
      rotate_left(root, parent);
      child = *root;
    } else {
      rb_node* w = parent->left;
      if (red(w)) {
        w->set_red(false);
        parent->set_red(true);
        rotate_right(root, parent);
        w = parent->left;
      }
      if (!red(w->left) && !red(w->right)) {
        w->set_red(true);
        child = parent;
        parent = child->parent();
        continue;
      }
      if (!red(w->left)) {
        w->right->set_red(false);
        w->set_red(true);
        rotate_left(root, w);
        w = parent->left;
      }
      w->set_red(parent->is_red());
      parent->set_red(false);
      w->left->set_red(false);
      rotate_right(root, parent);
      child = *root;
    }
  }
  if (child) child->set_red(false);
}

// The smallest node, or null for an empty tree.
inline rb_node* rb_first(rb_node* root) {
  if (!root) return nullptr;
  while (root->left) root = root->left;
  return root;
}

// The in-order successor, or null after the last node.
inline rb_node* rb_next(rb_node* node) {
  if (node->right) {
    node = node->right;
    while (node->left) node = node->left;
    return node;
  }
  rb_node* p = node->parent();
  while (p && node == p->right) {
    node = p;
    p = p->parent();
  }
  return p;
}

// Number of black nodes on every root-to-leaf path, or -1 when the colour
// or ordering invariants are broken (for tests).
template <class Less>
inline int rb_check(const rb_node* n, Less less) {
  if (n == nullptr) return 1;
  if (n->is_red() && (rb_detail::red(n->left) || rb_detail::red(n->right))) return -1;
  if (n->left && (n->left->parent() != n || !less(n->left, n))) return -1;
  if (n->right && (n->right->parent() != n || !less(n, n->right))) return -1;
  int l = rb_check(n->left, less);
  int r = rb_check(n->right, less);
  if (l < 0 || l != r) return -1;
  return l + (n->is_red() ? 0 : 1);
}

}  // namespace kiln::graph
