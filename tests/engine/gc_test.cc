// Destruction, the cycle collector, its triggers and the reference-count
// verification.
#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <vector>

#include "engine/core_fixture.h"
#include "engine/engine.h"

namespace kiln::engine {
namespace {

class Collector : public testing::engine_test, public ::testing::WithParamInterface<int> {
 protected:
  int arena_mode() const override { return GetParam(); }

  void collect_now() {
    e.gc_permitted = 1;
    engine_collect(&e);
    e.gc_permitted = 0;
  }

  value new_array() { return make_object(t_array, array_new(&e)); }
};

INSTANTIATE_TEST_SUITE_P(Allocators, Collector, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param ? "arena" : "malloc"; });

TEST_P(Collector, SelfContainingArrayLivesUntilTheNextCollection) {
  size_t base = live_objects();
  value a = new_array();
  ASSERT_EQ(array_push(&e, a.array, a), 0);
  ASSERT_EQ(array_push(&e, a.array, str("payload")), 0);  // 2 refs: ours and the array's
  value_unref(&e, a.array->items[1]);
  EXPECT_EQ(a.obj->refcnt, 2u);
  value_unref(&e, a);
  EXPECT_EQ(live_objects(), base + 2);  // the cycle keeps both
  engine_collect(&e);                   // not permitted: nothing happens
  EXPECT_EQ(live_objects(), base + 2);
  collect_now();
  EXPECT_EQ(live_objects(), base);
}

TEST_P(Collector, ReachableCyclesSurvive) {
  value a = new_array();
  value t = make_object(t_tree, tree_new(&e));
  value k = str("back");
  ASSERT_EQ(array_push(&e, a.array, t), 0);
  ASSERT_EQ(tree_set(&e, t.tree, k, a), 0);
  value_unref(&e, k);
  value_unref(&e, t);
  ASSERT_EQ(push_value(&e, a), 0);  // rooted by the stack only
  value_unref(&e, a);
  size_t before = live_objects();
  collect_now();
  EXPECT_EQ(live_objects(), before);
  // Each survivor is renumbered to its position.
  for (size_t i = 0; i < e.gc_block.length; i++)
    EXPECT_EQ(e.gc_block.items[i].obj->locidx, static_cast<int64_t>(i));
  ASSERT_EQ(pop(&e), 0);
  collect_now();
  EXPECT_EQ(live_objects(), before - 3);
}

// Runs f on a thread with a 128 KiB stack: deep structures must not recurse.
template <class F>
void on_small_stack(F f) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 128 * 1024);
  pthread_t thread;
  auto trampoline = [](void* arg) -> void* {
    (*static_cast<F*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, trampoline, &f), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST_P(Collector, DeepChainOfArraysIsReleasedWithoutRecursion) {
  const int depth = 100000;
  size_t base = live_objects();
  on_small_stack([&] {
    value outer = new_array();
    for (int i = 1; i < depth; i++) {
      value next = new_array();
      array_push(&e, next.array, outer);
      value_unref(&e, outer);
      outer = next;
    }
    EXPECT_EQ(live_objects(), base + depth);
    value_unref(&e, outer);
  });
  EXPECT_EQ(live_objects(), base);
}

TEST_P(Collector, DeepCycleIsCollectedWithoutRecursion) {
  const int depth = 100000;
  size_t base = live_objects();
  on_small_stack([&] {
    value innermost = new_array();
    value outer = innermost;
    value_ref(outer);
    for (int i = 1; i < depth; i++) {
      value next = make_object(t_tree, tree_new(&e));
      value k = str("k");
      tree_set(&e, next.tree, k, outer);
      value_unref(&e, k);
      value_unref(&e, outer);
      outer = next;
    }
    array_push(&e, innermost.array, outer);  // close the ring
    value_unref(&e, outer);
    value_unref(&e, innermost);
    EXPECT_GT(live_objects(), base + depth);
    ASSERT_EQ(push_value(&e, make_nil()), 0);
    collect_now();
    ASSERT_EQ(pop(&e), 0);
  });
  EXPECT_EQ(live_objects(), base);
}

TEST_P(Collector, DeepScopeChainIsFreedWithTheEngine) {
  // Every scope is cached, so the chain lives until engine_free, which then
  // releases it from the innermost end without recursion.
  on_small_stack([&] {
    scope_obj* s = e.current_scope.scope;
    for (int i = 0; i < 100000; i++) {
      scope_obj* c = scope_new(&e, 1, s, false);
      value_unref(&e, make_object(t_sc, c));
      s = c;
    }
    engine_verify_refcounts(&e);
    engine_free(&e);
    EXPECT_EQ(e.alloc.bytes_in_use, 0u);
    engine_init(&e, arena_mode());
  });
}

TEST_P(Collector, FullGcBlockCollectsWhenPermittedAndGrowsOtherwise) {
  auto make_garbage_cycle = [&] {
    value a = new_array();
    array_push(&e, a.array, a);
    value_unref(&e, a);
  };
  // Garbage up to one slot below full, then a rooted array fills it.
  while (e.gc_block.length + 1 < e.gc_block.capacity) make_garbage_cycle();
  value filler = new_array();
  ASSERT_EQ(push_value(&e, filler), 0);
  value_unref(&e, filler);
  size_t capacity = e.gc_block.capacity;
  ASSERT_EQ(e.gc_block.length, capacity);
  e.gc_permitted = 1;
  make_garbage_cycle();  // the full block triggers a collection first
  e.gc_permitted = 0;
  EXPECT_EQ(live_objects(), 3u);  // the root scope, the filler and the new cycle
  EXPECT_EQ(e.gc_block.capacity, capacity);
  EXPECT_EQ(e.alloc.objects_at_last_gc, 2u);

  // Not permitted: the block doubles instead.
  while (e.gc_block.length + 1 < e.gc_block.capacity) make_garbage_cycle();
  make_garbage_cycle();
  EXPECT_EQ(e.gc_block.capacity, 2 * capacity);
  ASSERT_EQ(pop(&e), 0);
  collect_now();
  EXPECT_EQ(live_objects(), 1u);
}

TEST_P(Collector, ByteLimitCollectsBeforeRefusing) {
  value a = new_array();
  array_push(&e, a.array, a);
  value_unref(&e, a);  // garbage holding 64 + 16 bytes
  e.alloc.byte_limit = e.alloc.bytes_in_use + 40;
  e.gc_permitted = 1;
  value t = make_object(t_tree, tree_new(&e));  // fits only once the cycle is gone
  e.gc_permitted = 0;
  ASSERT_NE(t.obj, nullptr);
  EXPECT_EQ(live_objects(), 2u);
  value_unref(&e, t);
  e.alloc.byte_limit = SIZE_MAX;
}

TEST_P(Collector, RandomisedContainerStress) {
  // A pool of slots in a root array; random creation, nesting, overwrites
  // and deletes build shared structure and cycles. Collections and
  // verifications run along the way.
  value pool = new_array();
  const size_t n_slots = 64;
  for (size_t i = 0; i < n_slots; i++) array_push(&e, pool.array, make_nil());
  e.extra_root = pool;  // takes over our reference
  value* slots = pool.array->items;
  scope_obj* scope = e.current_scope.scope;

  uint64_t state = 12345 + GetParam();
  auto rnd = [&](uint64_t n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (state >> 33) % n;
  };
  auto key = [&] { return str("k" + std::to_string(rnd(40))); };

  for (int round = 0; round < 100000; round++) {
    value* slot = &slots[rnd(n_slots)];
    value other = slots[rnd(n_slots)];
    switch (rnd(10)) {
      case 0: {  // new object
        value v;
        switch (rnd(9)) {
          case 0: v = new_array(); break;
          case 1: v = make_object(t_tree, tree_new(&e)); break;
          case 2: v = str(std::string(rnd(60), 'x')); break;
          case 3: v = make_object(t_pb, pb_new(&e)); break;
          case 4: v = new_array(); break;
          case 5: v = make_object(t_tree, tree_new(&e)); break;
          case 6: v = make_object(t_ios, ios_new(&e, nullptr)); break;
          case 7: v = make_number(rnd(1000)); break;
          default: v = make_object(t_sc, scope_new(&e, 4, scope, rnd(2))); break;
        }
        value_assign(&e, slot, v);
        value_unref(&e, v);
        break;
      }
      case 1:
      case 2:
        if (slot->type == t_array) array_push(&e, slot->array, other);
        break;
      case 3:
      case 4:
        if (slot->type == t_tree) {
          value k = key();
          tree_set(&e, slot->tree, k, other);
          value_unref(&e, k);
        }
        break;
      case 5:
        if (slot->type == t_tree) {
          value k = key();
          tree_delete(&e, slot->tree, k.str->bytes, k.str->length);
          value_unref(&e, k);
        }
        break;
      case 6:
        if (slot->type == t_sc) {
          value k = key();
          if (rnd(3))
            scope_set(&e, slot->scope, k, other);
          else
            scope_delete(&e, slot->scope, k.str->bytes, k.str->length);
          value_unref(&e, k);
        }
        break;
      case 7:
        if (slot->type == t_array && slot->array->size)
          value_assign(&e, &slot->array->items[rnd(slot->array->size)], other);
        break;
      case 8:
        value_assign(&e, slot, other);
        break;
      default:
        value_clear(&e, slot);
        break;
    }
    if (round % 5000 == 4999) {
      engine_verify_refcounts(&e);
      collect_now();
    }
  }
  e.verify_refcounts = 1;
  collect_now();
  value_clear(&e, &e.extra_root);
}

TEST_P(Collector, EngineFunctionsKeepTheirTemporariesRooted) {
  testing::collect_on_every_allocation torture(&e);
  scope_obj* root = e.current_scope.scope;

  ASSERT_GE(cstack_tree_new(&e), 0);
  value t = e.cstack.items[0];
  ASSERT_GE(cstack_string_new(&e, "key", 3), 0);
  value k = e.cstack.items[1];
  ASSERT_EQ(tree_set(&e, t.tree, k, t), 0);
  ASSERT_EQ(scope_add_cstr(&e, root, "TREE", t), 0);
  ASSERT_EQ(scope_set(&e, root, k, k), 0);
  int64_t idx = cache_add_string(&e, "interned", 8);
  ASSERT_GE(idx, 0);
  scope_obj* sc = scope_new(&e, 8, root, true);
  ASSERT_NE(sc, nullptr);
  ASSERT_EQ(cstack_push(&e, make_object(t_sc, sc)), 0);
  value_unref(&e, make_object(t_sc, sc));
  ASSERT_GE(cstack_array_new(&e), 0);
  value a = e.cstack.items[3];
  for (int i = 0; i < 100; i++) ASSERT_EQ(array_push(&e, a.array, k), 0);
  ASSERT_GE(cstack_pb_new(&e), 0);
  ASSERT_EQ(pb_set_length(&e, e.cstack.items[4].pb, 1000), 0);

  EXPECT_EQ(tree_get(t.tree, "key", 3)->obj, t.obj);
  EXPECT_EQ(scope_find_cstr(root, "TREE", false)->obj, t.obj);
  EXPECT_EQ(text(e.object_cache.items[idx]), "interned");
  EXPECT_EQ(a.array->size, 100u);
  while (e.cstack.length) ASSERT_EQ(cstack_pop(&e), 0);
  engine_collect(&e);
}

// ---------------------------------------------------------------------------

using CollectorDeathTest = testing::engine_test;

TEST_F(CollectorDeathTest, VerificationReportsAnUnexplainedReference) {
  value a = make_object(t_array, array_new(&e));
  ASSERT_EQ(cstack_push(&e, a), 0);
  value_unref(&e, a);
  EXPECT_DEATH(
      {
        a.obj->refcnt++;
        engine_verify_refcounts(&e);
      },
      "Explained refcnt 1, actual 2\ntype: 9");
}

TEST_F(CollectorDeathTest, CollectionAbortsOnAnUnrootedLiveObject) {
  EXPECT_DEATH(
      {
        array_new(&e);  // held by nothing the collector can see
        e.gc_permitted = 1;
        engine_collect(&e);
      },
      "refcnt is not 0: 0x[0-9a-f]+: 1\ntype: 9");
}

TEST_F(CollectorDeathTest, EngineFreeRequiresANilExtraRoot) {
  EXPECT_DEATH(
      {
        e.extra_root = make_number(1);
        engine_free(&e);
      },
      "");
}

}  // namespace
}  // namespace kiln::engine
