// Test fixture for the engine's memory modules: one engine per test,
// checked for exact reference counts and freed at the end.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/engine.h"

namespace kiln::engine::testing {

class engine_test : public ::testing::Test {
 protected:
  // Arena mode for this fixture; subclasses override.
  virtual int arena_mode() const { return 0; }

  void SetUp() override { ASSERT_EQ(engine_init(&e, arena_mode()), 0); }

  void TearDown() override {
    engine_verify_refcounts(&e);
    engine_free(&e);
    EXPECT_EQ(e.alloc.bytes_in_use, 0u);
  }

  // A string value that the caller owns (one reference).
  value str(const std::string& s) {
    str_obj* o = string_new(&e, s.data(), s.size());
    EXPECT_NE(o, nullptr);
    return make_object(t_str, o);
  }

  std::string text(value v) { return std::string(v.str->bytes, v.str->length); }

  size_t live_objects() const { return e.gc_block.length; }

  engine e;
};

// While alive, collections are permitted and every new block or growth
// first runs one, so an object that engine code leaves unrooted across an
// allocation makes the collector abort ("refcnt is not 0").
class collect_on_every_allocation {
 public:
  explicit collect_on_every_allocation(engine* e)
      : e_(e), saved_hook_(e->alloc_hook), saved_gc_(e->gc_permitted) {
    inner_hook = e->alloc_hook;
    e->alloc_hook = hook;
    e->gc_permitted = 1;
  }
  ~collect_on_every_allocation() {
    e_->alloc_hook = saved_hook_;
    e_->gc_permitted = saved_gc_;
  }

 private:
  static inline alloc_hook_fn inner_hook = nullptr;
  static void* hook(engine* e, void* old_block, size_t old_size, size_t new_size) {
    if (new_size && e->gc_permitted) engine_collect(e);
    return inner_hook(e, old_block, old_size, new_size);
  }
  engine* e_;
  alloc_hook_fn saved_hook_;
  int32_t saved_gc_;
};

}  // namespace kiln::engine::testing
