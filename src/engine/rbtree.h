// Intrusive red-black tree with parent links, shared by the entries of
// dictionaries and scope buckets (`tree_entry`) and by the string cache
// (`str_obj`). A node type needs the fields `colour` (0 red, 1 black),
// `left`, `right` and `parent`; the tree is its root pointer.
//
// Invariants: the root is black; a red node has black children; every
// path from a node to a null link passes the same number of black nodes.
// Nodes never move in memory: erasing a node with two children relinks its
// in-order successor into its place, so pointers into surviving nodes stay
// valid.
#pragma once

#include <cstdint>

namespace kiln::engine::rb {

constexpr uint64_t k_red = 0;
constexpr uint64_t k_black = 1;

template <class N>
inline bool is_black(const N* n) {
  return n == nullptr || n->colour == k_black;
}

template <class N>
inline bool is_red(const N* n) {
  return n != nullptr && n->colour == k_red;
}

// Makes `to` take `from`'s place under `parent` (or at the root).
template <class N>
inline void replace_child(N** root, N* parent, N* from, N* to) {
  if (parent == nullptr)
    *root = to;
  else if (parent->left == from)
    parent->left = to;
  else
    parent->right = to;
}

template <class N>
void rotate_left(N** root, N* x) {
  N* y = x->right;
  x->right = y->left;
  if (y->left) y->left->parent = x;
  y->parent = x->parent;
  replace_child(root, x->parent, x, y);
  y->left = x;
  x->parent = y;
}

template <class N>
void rotate_right(N** root, N* x) {
  N* y = x->left;
  x->left = y->right;
  if (y->right) y->right->parent = x;
  y->parent = x->parent;
  replace_child(root, x->parent, x, y);
  y->right = x;
  x->parent = y;
}

// Attaches the new node z as the left or right child of parent (or as the
// root when parent is null) and restores the colour rules.
template <class N>
void insert(N** root, N* z, N* parent, bool as_left) {
  z->left = z->right = nullptr;
  z->parent = parent;
  z->colour = k_red;
  if (parent == nullptr)
    *root = z;
  else if (as_left)
    parent->left = z;
  else
    parent->right = z;

  while (is_red(z->parent)) {
    N* p = z->parent;
    N* g = p->parent;  // exists: a red node is never the root
    if (p == g->left) {
      N* u = g->right;
      if (is_red(u)) {
        p->colour = u->colour = k_black;
        g->colour = k_red;
        z = g;
        continue;
      }
      if (z == p->right) {
        rotate_left(root, p);
        z = p;
        p = z->parent;
      }
      p->colour = k_black;
      g->colour = k_red;
      rotate_right(root, g);
    } else {
      N* u = g->left;
      if (is_red(u)) {
        p->colour = u->colour = k_black;
        g->colour = k_red;
        z = g;
        continue;
      }
      if (z == p->left) {
        rotate_right(root, p);
        z = p;
        p = z->parent;
      }
      p->colour = k_black;
      g->colour = k_red;
      rotate_left(root, g);
    }
  }
  (*root)->colour = k_black;
}

// Restores the colour rules after a black node was removed above x (which
// may be null) under parent.
template <class N>
void erase_fixup(N** root, N* x, N* parent) {
  while (x != *root && is_black(x)) {
    if (x == parent->left) {
      N* w = parent->right;
      if (is_red(w)) {
        w->colour = k_black;
        parent->colour = k_red;
        rotate_left(root, parent);
        w = parent->right;
      }
      if (is_black(w->left) && is_black(w->right)) {
        w->colour = k_red;
        x = parent;
        parent = x->parent;
      } else {
        if (is_black(w->right)) {
          w->left->colour = k_black;
          w->colour = k_red;
          rotate_right(root, w);
          w = parent->right;
        }
        w->colour = parent->colour;
        parent->colour = k_black;
        w->right->colour = k_black;
        rotate_left(root, parent);
        x = *root;
        break;
      }
    } else {
      N* w = parent->left;
      if (is_red(w)) {
        w->colour = k_black;
        parent->colour = k_red;
        rotate_right(root, parent);
        w = parent->left;
      }
      if (is_black(w->left) && is_black(w->right)) {
        w->colour = k_red;
        x = parent;
        parent = x->parent;
      } else {
        if (is_black(w->left)) {
          w->right->colour = k_black;
          w->colour = k_red;
          rotate_left(root, w);
          w = parent->left;
        }
        w->colour = parent->colour;
        parent->colour = k_black;
        w->left->colour = k_black;
        rotate_right(root, parent);
        x = *root;
        break;
      }
    }
  }
  if (x) x->colour = k_black;
}

// Unlinks z from the tree. A node with two children is replaced by its
// in-order successor, which is relinked into z's position.
template <class N>
void erase(N** root, N* z) {
  N* child;
  N* parent;
  uint64_t removed_colour;
  if (z->left && z->right) {
    N* y = z->right;
    while (y->left) y = y->left;
    child = y->right;
    parent = y->parent;
    removed_colour = y->colour;
    if (parent == z) {
      parent = y;
    } else {
      if (child) child->parent = parent;
      parent->left = child;
      y->right = z->right;
      z->right->parent = y;
    }
    y->left = z->left;
    z->left->parent = y;
    y->parent = z->parent;
    y->colour = z->colour;
    replace_child(root, z->parent, z, y);
  } else {
    child = z->left ? z->left : z->right;
    parent = z->parent;
    removed_colour = z->colour;
    if (child) child->parent = parent;
    replace_child(root, parent, z, child);
  }
  z->left = z->right = z->parent = nullptr;
  if (removed_colour == k_black) erase_fixup(root, child, parent);
}

// The smallest node of a subtree, or null.
template <class N>
N* first(N* n) {
  if (n)
    while (n->left) n = n->left;
  return n;
}

// The largest node of a subtree, or null.
template <class N>
N* last(N* n) {
  if (n)
    while (n->right) n = n->right;
  return n;
}

// The in-order successor, or null.
template <class N>
N* next(N* n) {
  if (n->right) return first(n->right);
  N* p = n->parent;
  while (p && n == p->right) {
    n = p;
    p = p->parent;
  }
  return p;
}

// Visits every node once in post-order without recursion, detaching it
// before the visit, so the visitor may free it. Leaves *root null.
template <class N, class F>
void dismantle(N** root, F visit) {
  N* n = *root;
  *root = nullptr;
  while (n) {
    if (n->left) {
      n = n->left;
    } else if (n->right) {
      n = n->right;
    } else {
      N* p = n->parent;
      if (p) {
        if (p->left == n)
          p->left = nullptr;
        else
          p->right = nullptr;
      }
      visit(n);
      n = p;
    }
  }
}

}  // namespace kiln::engine::rb
