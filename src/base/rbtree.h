// The one red-black tree of kiln: intrusive, with parent links, shared by
// the build graph (string table index, per-rule sets, database tables) and
// the script engine (dictionaries, scope buckets, the string cache).
//
// A node type has the fields `left` and `right` and four accessors found
// by argument-dependent lookup in its own namespace:
//
//     N* rb_parent(const N*);        void rb_set_parent(N*, N*);
//     bool rb_is_red(const N*);      void rb_set_red(N*, bool);
//
// so that each keeps its own layout (the graph packs the colour into the
// parent pointer; the engine's objects have a colour word). The tree is a
// root pointer, null when empty; ordering is the caller's.
//
// Invariants: the root is black; a red node has black children; every
// path from a node to a null link passes the same number of black nodes,
// so the height stays below 2 log2(n + 1). Nodes never move in memory:
// erasing a node with two children relinks its in-order successor into
// its place, so pointers into surviving nodes stay valid.
#pragma once

namespace kiln::base::rb {

template <class N>
inline bool red(const N* n) {
  return n != nullptr && rb_is_red(n);
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

// The child of n on one side.
template <class N>
inline N*& child(N* n, bool left) {
  return left ? n->left : n->right;
}

// Rotates x down towards `left` (a left rotation when true): its child on
// the other side takes its place.
template <class N>
inline void rotate(N** root, N* x, bool left) {
  N* y = child(x, !left);
  child(x, !left) = child(y, left);
  if (child(y, left)) rb_set_parent(child(y, left), x);
  rb_set_parent(y, rb_parent(x));
  replace_child(root, rb_parent(x), x, y);
  child(y, left) = x;
  rb_set_parent(x, y);
}

// Attaches the new node z as the left or right child of parent (or as the
// root when parent is null) and restores the colour rules.
template <class N>
inline void insert(N** root, N* z, N* parent, bool as_left) {
  z->left = z->right = nullptr;
  rb_set_parent(z, parent);
  rb_set_red(z, true);
  if (parent == nullptr)
    *root = z;
  else if (as_left)
    parent->left = z;
  else
    parent->right = z;
  while (red(rb_parent(z))) {
    N* p = rb_parent(z);
    N* g = rb_parent(p);  // exists: a red node is never the root
    bool left_side = p == g->left;
    N* u = child(g, !left_side);
    if (red(u)) {
      rb_set_red(p, false);
      rb_set_red(u, false);
      rb_set_red(g, true);
      z = g;
      continue;
    }
    if (z == child(p, !left_side)) {
      rotate(root, p, left_side);
      z = p;
      p = rb_parent(z);
    }
    rb_set_red(p, false);
    rb_set_red(g, true);
    rotate(root, g, !left_side);
  }
  rb_set_red(*root, false);
}

// Restores the colour rules after a black node was removed above x (which
// may be null) under parent.
template <class N>
inline void erase_fixup(N** root, N* x, N* parent) {
  while (x != *root && !red(x)) {
    bool left_side = x == parent->left;
    N* w = child(parent, !left_side);
    if (red(w)) {
      rb_set_red(w, false);
      rb_set_red(parent, true);
      rotate(root, parent, left_side);
      w = child(parent, !left_side);
    }
    if (!red(w->left) && !red(w->right)) {
      rb_set_red(w, true);
      x = parent;
      parent = rb_parent(x);
      continue;
    }
    if (!red(child(w, !left_side))) {
      rb_set_red(child(w, left_side), false);
      rb_set_red(w, true);
      rotate(root, w, !left_side);
      w = child(parent, !left_side);
    }
    rb_set_red(w, rb_is_red(parent));
    rb_set_red(parent, false);
    rb_set_red(child(w, !left_side), false);
    rotate(root, parent, left_side);
    x = *root;
  }
  if (x) rb_set_red(x, false);
}

// Unlinks z from the tree and clears its links. A node with two children
// is replaced by its in-order successor, relinked into z's position.
template <class N>
inline void erase(N** root, N* z) {
  N* child;
  N* parent;
  bool removed_red;
  if (z->left == nullptr || z->right == nullptr) {
    child = z->left ? z->left : z->right;
    parent = rb_parent(z);
    removed_red = rb_is_red(z);
    replace_child(root, parent, z, child);
    if (child) rb_set_parent(child, parent);
  } else {
    N* s = z->right;
    while (s->left) s = s->left;
    removed_red = rb_is_red(s);
    child = s->right;
    if (rb_parent(s) == z) {
      parent = s;
    } else {
      parent = rb_parent(s);
      parent->left = child;
      if (child) rb_set_parent(child, parent);
      s->right = z->right;
      rb_set_parent(s->right, s);
    }
    s->left = z->left;
    rb_set_parent(s->left, s);
    rb_set_parent(s, rb_parent(z));
    rb_set_red(s, rb_is_red(z));
    replace_child(root, rb_parent(z), z, s);
  }
  z->left = z->right = nullptr;
  rb_set_parent(z, static_cast<N*>(nullptr));
  if (!removed_red) erase_fixup(root, child, parent);
}

// The smallest node of a subtree, or null.
template <class N>
inline N* first(N* n) {
  if (n)
    while (n->left) n = n->left;
  return n;
}

// The largest node of a subtree, or null.
template <class N>
inline N* last(N* n) {
  if (n)
    while (n->right) n = n->right;
  return n;
}

// The in-order successor, or null after the last node.
template <class N>
inline N* next(N* n) {
  if (n->right) return first(n->right);
  N* p = rb_parent(n);
  while (p && n == p->right) {
    n = p;
    p = rb_parent(p);
  }
  return p;
}

// Visits every node once in post-order without recursion, detaching it
// before the visit, so the visitor may free it. Leaves *root null.
template <class N, class F>
inline void dismantle(N** root, F visit) {
  N* n = *root;
  *root = nullptr;
  while (n) {
    if (n->left) {
      n = n->left;
    } else if (n->right) {
      n = n->right;
    } else {
      N* p = rb_parent(n);
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

}  // namespace kiln::base::rb
