// Scopes: buckets, the parent chain, holey scopes and the object cache.
#include <gtest/gtest.h>

#include <string>

#include "engine/core_fixture.h"
#include "engine/engine.h"

namespace kiln::engine {
namespace {

class Scope : public testing::engine_test {
 protected:
  scope_obj* root() { return e.current_scope.scope; }

  int set(scope_obj* s, const std::string& name, value v) {
    value n = str(name);
    int rc = scope_set(&e, s, n, v);
    value_unref(&e, n);
    return rc;
  }

  // A new scope; the object cache keeps it alive, so the caller's
  // reference is dropped at once.
  scope_obj* child(scope_obj* parent, bool holey, size_t buckets = 128) {
    scope_obj* s = scope_new(&e, buckets, parent, holey);
    EXPECT_NE(s, nullptr);
    value_unref(&e, make_object(t_sc, s));
    return s;
  }
};

TEST_F(Scope, RootScopeIsCachedWith128Buckets) {
  ASSERT_EQ(e.current_scope.type, t_sc);
  EXPECT_EQ(root()->bucket_count, 128u);
  EXPECT_EQ(root()->parent, nullptr);
  EXPECT_EQ(root()->holey, 0);
  ASSERT_GE(root()->cache_index, 0);
  EXPECT_EQ(e.object_cache.items[root()->cache_index].obj, e.current_scope.obj);
  EXPECT_EQ(root()->refcnt, 2u);  // current scope and cache
}

TEST_F(Scope, BucketCountsRoundUpToPowersOfTwo) {
  EXPECT_EQ(child(nullptr, false, 100)->bucket_count, 128u);
  EXPECT_EQ(child(nullptr, false, 1)->bucket_count, 1u);
  EXPECT_EQ(child(nullptr, false, 0)->bucket_count, 1u);
  EXPECT_EQ(child(nullptr, false, 129)->bucket_count, 256u);
}

TEST_F(Scope, LookupClimbsParentsUntilAHoleyScope) {
  scope_obj* top = root();
  scope_obj* mid = child(top, false);
  scope_obj* holey = child(mid, true);
  scope_obj* inner = child(holey, false);
  ASSERT_EQ(set(top, "CC", make_number(1)), 0);
  ASSERT_EQ(set(mid, "CFLAGS", make_number(2)), 0);
  ASSERT_EQ(set(holey, "local", make_number(3)), 0);

  EXPECT_EQ(scope_find_cstr(mid, "CC", true)->num, 1);
  EXPECT_EQ(scope_find_cstr(mid, "CC", false), nullptr);
  EXPECT_EQ(scope_find_cstr(inner, "local", true)->num, 3);
  // The holey scope ends the climb at itself.
  EXPECT_EQ(scope_find_cstr(inner, "CFLAGS", true), nullptr);
  EXPECT_EQ(scope_find_cstr(holey, "CC", true), nullptr);
  EXPECT_EQ(scope_find(holey, "local", 5, true)->num, 3);
  // Without the flag the same chain succeeds.
  scope_obj* open = child(mid, false);
  EXPECT_EQ(scope_find_cstr(open, "CC", true)->num, 1);
}

TEST_F(Scope, SetNeverTouchesTheParent) {
  scope_obj* c = child(root(), false);
  ASSERT_EQ(set(root(), "X", make_number(1)), 0);
  ASSERT_EQ(set(c, "X", make_number(2)), 0);
  EXPECT_EQ(scope_find_cstr(root(), "X", false)->num, 1);
  EXPECT_EQ(scope_find_cstr(c, "X", true)->num, 2);
  EXPECT_EQ(c->var_count, 1u);
  ASSERT_EQ(set(c, "X", make_number(3)), 0);  // overwrite, no new variable
  EXPECT_EQ(c->var_count, 1u);
  ASSERT_EQ(scope_delete(&e, c, "X", 1), 0);
  EXPECT_EQ(scope_find_cstr(c, "X", true)->num, 1);  // the parent's shows again
  EXPECT_EQ(scope_delete(&e, c, "X", 1), -2);
  EXPECT_EQ(root()->var_count, 1u);
}

TEST_F(Scope, AddRefusesAnExistingName) {
  value v = str("value");
  ASSERT_EQ(scope_add_cstr(&e, root(), "NAME", v), 0);
  EXPECT_EQ(scope_add_cstr(&e, root(), "NAME", make_number(5)), -17);
  EXPECT_EQ(scope_find_cstr(root(), "NAME", false)->obj, v.obj);
  EXPECT_EQ(v.obj->refcnt, 2u);
  EXPECT_EQ(root()->var_count, 1u);
  value_unref(&e, v);
}

TEST_F(Scope, NonStringNameIsAnError) {
  EXPECT_EQ(scope_set(&e, root(), make_number(1), make_nil()), -22);
  EXPECT_EQ(e.err.code, 35);
  EXPECT_EQ(root()->var_count, 0u);
}

TEST_F(Scope, ManyVariablesInFewBuckets) {
  scope_obj* s = child(nullptr, false, 4);
  for (int i = 0; i < 3000; i++) ASSERT_EQ(set(s, "v" + std::to_string(i), make_number(i)), 0);
  EXPECT_EQ(s->var_count, 3000u);
  for (int i = 0; i < 3000; i += 3) {
    std::string name = "v" + std::to_string(i);
    ASSERT_EQ(scope_delete(&e, s, name.data(), name.size()), 0);
  }
  EXPECT_EQ(s->var_count, 2000u);
  EXPECT_EQ(scope_find_cstr(s, "v3", false), nullptr);
  EXPECT_EQ(scope_find_cstr(s, "v2998", false)->num, 2998);
}

TEST_F(Scope, ScopesHoldTheirParentAndLiveUntilEngineFree) {
  scope_obj* c = child(root(), false);
  EXPECT_EQ(root()->refcnt, 3u);  // current scope, cache, child
  // A scope that refers to itself through a variable is still freed by
  // engine_free (checked by the fixture's byte count).
  ASSERT_EQ(set(c, "self", make_object(t_sc, c)), 0);
  e.gc_permitted = 1;
  engine_collect(&e);
  e.gc_permitted = 0;
  EXPECT_EQ(scope_find_cstr(c, "self", false)->obj, c);  // cached, so kept
}

}  // namespace
}  // namespace kiln::engine
