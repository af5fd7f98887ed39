// The engine's nodes in the shared red-black tree (base/rbtree.h): the
// entries of dictionaries and scope buckets (`tree_entry`) and the string
// cache's strings (`str_obj`) carry a colour word (0 red, 1 black) and
// `left`, `right` and `parent` links.
#pragma once

#include "base/rbtree.h"

namespace kiln::engine {

// The accessors the shared tree finds by argument-dependent lookup.
template <class N>
inline N* rb_parent(const N* n) {
  return n->parent;
}
template <class N>
inline void rb_set_parent(N* n, N* p) {
  n->parent = p;
}
template <class N>
inline bool rb_is_red(const N* n) {
  return n->colour == 0;
}
template <class N>
inline void rb_set_red(N* n, bool red) {
  n->colour = red ? 0 : 1;
}

namespace rb {
using base::rb::dismantle;
using base::rb::erase;
using base::rb::first;
using base::rb::insert;
using base::rb::last;
using base::rb::next;
}  // namespace rb

}  // namespace kiln::engine
