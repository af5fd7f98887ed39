// The end of every harness run that used a script engine: empty the
// stacks, check that every reference count is explained, free the engine
// and check that every byte it took came back.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "engine/engine.h"

namespace kiln::fuzz {

inline void free_engine_checked(kiln::engine::engine* e) {
  e->bp = 0;
  while (e->stack.length > 0) kiln::engine::pop(e);
  while (e->cstack.length > 0) kiln::engine::cstack_pop(e);
  kiln::engine::clear_error(e);
  kiln::engine::backtrace_clear(e);
  kiln::engine::engine_verify_refcounts(e);
  kiln::engine::engine_free(e);
  if (e->alloc.bytes_in_use != 0) {
    fprintf(stderr, "fuzz: %zu engine bytes not returned\n", e->alloc.bytes_in_use);
    abort();
  }
}

}  // namespace kiln::fuzz
