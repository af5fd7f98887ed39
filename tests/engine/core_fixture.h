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

}  // namespace kiln::engine::testing
