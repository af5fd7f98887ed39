// Values, constructors, the stacks and the error slot.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/core_fixture.h"
#include "engine/engine.h"

namespace kiln::engine {
namespace {

using testing::engine_test;

TEST(Classification, IntegralValuesBelowTwoTo53AreInt) {
  const double two_53 = 9007199254740992.0;
  EXPECT_EQ(classify_number(two_53), t_double);
  EXPECT_EQ(classify_number(-two_53), t_double);
  EXPECT_EQ(classify_number(two_53 - 1), t_int);
  EXPECT_EQ(classify_number(-(two_53 - 1)), t_int);
  EXPECT_EQ(classify_number(-0.0), t_int);
  EXPECT_EQ(classify_number(3.0), t_int);
  EXPECT_EQ(classify_number(0.5), t_double);
  EXPECT_EQ(classify_number(-1e300), t_double);
  EXPECT_EQ(classify_number(std::nan("")), t_double);
  EXPECT_EQ(classify_number(std::numeric_limits<double>::infinity()), t_double);
  EXPECT_EQ(classify_number(-std::numeric_limits<double>::infinity()), t_double);
  EXPECT_EQ(make_number(7).type, t_int);
  EXPECT_EQ(make_double(7).type, t_double);
}

TEST(Classification, TypeCodesAndExpectedTypeErrors) {
  const int query[] = {51, 39, 40, 41, 42, 43, 38, 44, 45, 47, 48, 49, 50, 46};
  for (uint32_t t = 0; t <= t_ios; t++) {
    EXPECT_EQ(type_query_code(t), query[t]) << t;
    EXPECT_EQ(expected_type_error(t), t == t_int ? 69 : query[t]) << t;
  }
  for (uint32_t t = 0; t <= 20; t++) EXPECT_EQ(is_object_type(t), t >= 8 && t <= 13) << t;
}

// ---------------------------------------------------------------------------

using Constructors = engine_test;

TEST_F(Constructors, StringsHoldTheirBytesAndANul) {
  str_obj* s = string_new(&e, "a\0b", 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->refcnt, 1u);
  EXPECT_EQ(s->length, 3u);
  EXPECT_EQ(memcmp(s->bytes, "a\0b", 4), 0);
  EXPECT_EQ(s->cache_index, -1);

  str_obj* c = string_new_concat(&e, "ab", 2, "cde", 3);
  EXPECT_EQ(std::string(c->bytes), "abcde");
  str_obj* r = string_new_repeat(&e, "xy", 2, 3);
  EXPECT_EQ(std::string(r->bytes), "xyxyxy");
  str_obj* z = string_new_repeat(&e, "xy", 2, 0);
  EXPECT_EQ(z->length, 0u);
  str_obj* n = string_new_empty(&e, 4);
  EXPECT_EQ(n->length, 4u);
  for (int i = 0; i < 5; i++) EXPECT_EQ(n->bytes[i], '\0');

  size_t before = live_objects();
  for (str_obj* o : {s, c, r, z, n}) value_unref(&e, make_object(t_str, o));
  EXPECT_EQ(live_objects(), before - 5);
}

TEST_F(Constructors, EveryObjectIsRegisteredAtItsPosition) {
  object* objs[] = {array_new(&e), tree_new(&e), pb_new(&e), ios_new(&e, nullptr),
                    string_new(&e, "x", 1)};
  const uint32_t types[] = {t_array, t_tree, t_pb, t_ios, t_str};
  for (int i = 0; i < 5; i++) {
    ASSERT_NE(objs[i], nullptr);
    int64_t idx = objs[i]->locidx;
    ASSERT_GE(idx, 0);
    EXPECT_EQ(e.gc_block.items[idx].obj, objs[i]);
    EXPECT_EQ(e.gc_block.items[idx].type, types[i]);
  }
  // Removing the first moves the last into its place.
  value_unref(&e, make_object(t_array, objs[0]));
  for (int i = 1; i < 5; i++) EXPECT_EQ(e.gc_block.items[objs[i]->locidx].obj, objs[i]);
  for (int i = 1; i < 5; i++) value_unref(&e, make_object(types[i], objs[i]));
}

TEST_F(Constructors, TwinsRootTheObjectOnTheCStack) {
  int64_t slot = cstack_array_new(&e);
  ASSERT_EQ(slot, 0);
  value a = e.cstack.items[slot];
  EXPECT_EQ(a.type, t_array);
  EXPECT_EQ(a.obj->refcnt, 1u);
  EXPECT_EQ(cstack_string_new(&e, "hi", 2), 1);
  EXPECT_EQ(cstack_string_new_concat(&e, "a", 1, "b", 1), 2);
  EXPECT_EQ(cstack_string_new_repeat(&e, "a", 1, 4), 3);
  EXPECT_EQ(cstack_string_new_empty(&e, 2), 4);
  EXPECT_EQ(cstack_tree_new(&e), 5);
  EXPECT_EQ(cstack_pb_new(&e), 6);
  EXPECT_EQ(cstack_ios_new(&e, nullptr), 7);
  EXPECT_EQ(cstack_scope_new(&e, 128, e.current_scope.scope, true), 8);
  EXPECT_EQ(e.cstack.items[8].obj->refcnt, 2u);  // C stack and object cache
  EXPECT_EQ(text(e.cstack.items[3]), "aaaa");

  // A move keeps the reference count.
  ASSERT_EQ(cstack_move_to_stack(&e), 0);
  EXPECT_EQ(e.cstack.length, 8u);
  EXPECT_EQ(e.stack.items[0].type, t_sc);
  EXPECT_EQ(e.stack.items[0].obj->refcnt, 2u);
  while (e.cstack.length) ASSERT_EQ(cstack_pop(&e), 0);
  EXPECT_EQ(cstack_pop(&e), -84);
  ASSERT_EQ(pop(&e), 0);
  EXPECT_EQ(live_objects(), 2u);  // the root scope and the cached new one
}

TEST_F(Constructors, ByteLimitFailsWithNotEnoughMemoryAndTheSize) {
  e.alloc.byte_limit = e.alloc.bytes_in_use + 100;
  str_obj* fits = string_new(&e, "0123456789", 10);  // 75 bytes
  ASSERT_NE(fits, nullptr);
  EXPECT_EQ(string_new(&e, "0123456789", 10), nullptr);
  EXPECT_EQ(e.err.code, 6);
  EXPECT_EQ(e.err.number, 75);
  clear_error(&e);
  EXPECT_EQ(array_new(&e), nullptr);
  EXPECT_EQ(e.err.number, 64);
  EXPECT_EQ(cstack_tree_new(&e), -12);
  EXPECT_EQ(e.cstack.length, 0u);
  EXPECT_EQ(scope_new(&e, 128, nullptr, false), nullptr);
  EXPECT_EQ(e.err.number, 64 + 8 * 128);
  EXPECT_EQ(string_new_repeat(&e, "ab", 2, SIZE_MAX / 2), nullptr);
  EXPECT_EQ(e.err.code, 6);
  value_unref(&e, make_object(t_str, fits));
  e.alloc.byte_limit = SIZE_MAX;
}

TEST_F(Constructors, ArraysGrowToTwiceTheSizePlusOne) {
  array_obj* a = array_new(&e);
  value s = str("elem");
  size_t expected_capacity[] = {1, 3, 3, 7, 7, 7, 7, 15};
  for (size_t i = 0; i < 8; i++) {
    ASSERT_EQ(array_push(&e, a, s), 0);
    EXPECT_EQ(a->capacity, expected_capacity[i]);
  }
  EXPECT_EQ(s.obj->refcnt, 9u);
  ASSERT_EQ(array_push(&e, a, make_number(1.5)), 0);
  EXPECT_EQ(a->items[8].type, t_double);
  value_unref(&e, make_object(t_array, a));
  EXPECT_EQ(s.obj->refcnt, 1u);
  value_unref(&e, s);
}

TEST_F(Constructors, ArrayPushFailsCleanlyAtTheLimit) {
  array_obj* a = array_new(&e);
  ASSERT_EQ(array_push(&e, a, make_nil()), 0);
  e.alloc.byte_limit = e.alloc.bytes_in_use;
  EXPECT_EQ(array_push(&e, a, make_nil()), -12);
  EXPECT_EQ(e.err.code, 6);
  EXPECT_EQ(a->size, 1u);
  e.alloc.byte_limit = SIZE_MAX;
  value_unref(&e, make_object(t_array, a));
}

TEST_F(Constructors, ProtocolBuffersZeroFillGrowth) {
  pb_obj* p = pb_new(&e);
  EXPECT_EQ(p->capacity, 128u);
  ASSERT_EQ(pb_set_length(&e, p, 10), 0);
  memset(p->data, 0xff, 10);
  ASSERT_EQ(pb_set_length(&e, p, 2), 0);
  ASSERT_EQ(pb_set_length(&e, p, 200), 0);
  EXPECT_GE(p->capacity, 257u);
  EXPECT_EQ(p->data[1], 0xff);
  for (size_t i = 2; i < 200; i++) ASSERT_EQ(p->data[i], 0) << i;
  value_unref(&e, make_object(t_pb, p));
}

TEST_F(Constructors, StreamsAreClosedWithTheirObject) {
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  ios_obj* s = ios_new(&e, f);
  value_unref(&e, make_object(t_ios, s));
  // A closed stream is gone; nothing left to check but the count.
  EXPECT_EQ(live_objects(), 1u);
}

// ---------------------------------------------------------------------------

using Stack = engine_test;

TEST_F(Stack, PushesClassifyOnlyWhenAsked) {
  ASSERT_EQ(push_number(&e, 4), 0);
  ASSERT_EQ(push_double(&e, 4), 0);
  ASSERT_EQ(push_bool(&e, true), 0);
  ASSERT_EQ(push_nil(&e), 0);
  EXPECT_EQ(e.stack.items[0].type, t_int);
  EXPECT_EQ(e.stack.items[1].type, t_double);
  EXPECT_EQ(e.stack.items[2].type, t_bool);
  EXPECT_EQ(e.stack.items[2].num, 1.0);
  EXPECT_EQ(e.stack.items[3].type, t_nil);
  ASSERT_EQ(pop_n(&e, 4), 0);
}

TEST_F(Stack, IndexesCountFromBpAndFromTheTop) {
  for (int i = 0; i < 5; i++) ASSERT_EQ(push_number(&e, i), 0);
  e.bp = 2;
  size_t slot;
  ASSERT_EQ(stack_slot(&e, 0, &slot), 0);
  EXPECT_EQ(slot, 2u);
  ASSERT_EQ(stack_slot(&e, 2, &slot), 0);
  EXPECT_EQ(slot, 4u);
  ASSERT_EQ(stack_slot(&e, -1, &slot), 0);
  EXPECT_EQ(slot, 4u);
  ASSERT_EQ(stack_slot(&e, -3, &slot), 0);
  EXPECT_EQ(slot, 2u);

  EXPECT_EQ(stack_slot(&e, 3, &slot), -84);
  EXPECT_EQ(e.err.code, 30);
  EXPECT_EQ(e.err.number, 3);
  EXPECT_EQ(stack_slot(&e, -4, &slot), -84);  // below bp
  EXPECT_EQ(e.err.number, -4);
  EXPECT_EQ(stack_slot(&e, INT64_MIN, &slot), -84);
  EXPECT_EQ(stack_slot(&e, INT64_MAX, &slot), -84);

  double x;
  ASSERT_EQ(peek_number(&e, -1, &x), 0);
  EXPECT_EQ(x, 4);
  value* v;
  EXPECT_EQ(peek_type(&e, 0, t_str, &v), -22);
  EXPECT_EQ(e.err.code, 48);
  EXPECT_EQ(e.err.info.num, 2);
  EXPECT_EQ(peek_type(&e, 1, t_int, &v), 0);
  EXPECT_EQ(v->num, 3);

  EXPECT_EQ(pop_n(&e, 4), -84);  // only three above bp
  ASSERT_EQ(pop_n(&e, 3), 0);
  EXPECT_EQ(pop(&e), -84);
  e.bp = 0;
  ASSERT_EQ(pop_n(&e, 2), 0);
}

TEST_F(Stack, PeekNumberAcceptsBooleansOnly) {
  ASSERT_EQ(push_bool(&e, true), 0);
  double x = 0;
  ASSERT_EQ(peek_number(&e, -1, &x), 0);
  EXPECT_EQ(x, 1.0);
  value s = str("7");
  ASSERT_EQ(push_value(&e, s), 0);
  EXPECT_EQ(peek_number(&e, -1, &x), -22);
  EXPECT_EQ(e.err.code, 39);
  EXPECT_EQ(e.err.info.obj, s.obj);
  EXPECT_EQ(s.obj->refcnt, 3u);  // caller, stack, error slot
  clear_error(&e);
  value_unref(&e, s);
  ASSERT_EQ(pop_n(&e, 2), 0);
}

TEST_F(Stack, ReplaceTopKeepsAResultHeldOnlyByThePoppedSlots) {
  value s = str("result");
  ASSERT_EQ(push_number(&e, 1), 0);
  ASSERT_EQ(push_value(&e, s), 0);
  value_unref(&e, s);  // only the stack holds it
  ASSERT_EQ(replace_top(&e, 2, e.stack.items[1]), 0);
  ASSERT_EQ(e.stack.length, 1u);
  EXPECT_EQ(text(e.stack.items[0]), "result");
  EXPECT_EQ(e.stack.items[0].obj->refcnt, 1u);
  ASSERT_EQ(replace_top(&e, 0, make_bool(false)), 0);
  EXPECT_EQ(e.stack.length, 2u);
  ASSERT_EQ(swap_top(&e), 0);
  EXPECT_EQ(e.stack.items[1].type, t_str);
  EXPECT_EQ(replace_top(&e, 3, make_nil()), -84);
  ASSERT_EQ(pop_n(&e, 2), 0);
  EXPECT_EQ(swap_top(&e), -84);
}

TEST_F(Stack, StacksDoubleWhenFull) {
  for (size_t i = 0; i < k_initial_stack + 1; i++) ASSERT_EQ(push_number(&e, i), 0);
  EXPECT_EQ(e.stack.capacity, 2 * k_initial_stack);
  EXPECT_EQ(e.stack.items[k_initial_stack].num, k_initial_stack);
  ASSERT_EQ(pop_n(&e, k_initial_stack + 1), 0);
}

TEST_F(Stack, ErrorSlotHoldsAReference) {
  value s = str("info");
  EXPECT_EQ(set_error(&e, 34, s, 2.5, -2), -2);
  EXPECT_EQ(s.obj->refcnt, 2u);
  EXPECT_EQ(e.err.code, 34);
  EXPECT_EQ(e.err.number, 2.5);
  value_unref(&e, s);
  clear_error(&e);
  EXPECT_EQ(e.err.code, 0);
  EXPECT_EQ(e.err.info.type, t_nil);
  EXPECT_EQ(live_objects(), 1u);
}

TEST_F(Stack, AssignAndClearCountReferences) {
  value slot = make_nil();
  value a = str("a");
  value_assign(&e, &slot, a);
  EXPECT_EQ(a.obj->refcnt, 2u);
  value_assign(&e, &slot, slot);  // self-assignment keeps the object alive
  EXPECT_EQ(a.obj->refcnt, 2u);
  value_unref(&e, a);
  value_assign(&e, &slot, make_number(3));
  EXPECT_EQ(live_objects(), 1u);
  value_clear(&e, &slot);
  EXPECT_EQ(slot.type, t_nil);
  EXPECT_EQ(slot.num, 0.0);
}

TEST_F(Stack, BytecodeAppendsAndGrows) {
  std::string chunk(20000, 'x');
  for (int i = 0; i < 3; i++) ASSERT_EQ(bytecode_append(&e, chunk.data(), chunk.size()), 0);
  EXPECT_EQ(e.bytecode.length, 60000u);
  EXPECT_EQ(e.bytecode.capacity, 65536u);
  EXPECT_EQ(e.bytecode.bytes[59999], 'x');
  engine_trim(&e);  // the default hook moves nothing
  EXPECT_EQ(e.bytecode.capacity, 65536u);
  ASSERT_EQ(bytecode_append(&e, "y", 1), 0);
}

// A realloc hook that always moves, so that trimming really shrinks.
void* moving_realloc_hook(void* old_block, size_t new_size, size_t old_size) {
  if (new_size == 0) {
    free(old_block);
    return nullptr;
  }
  void* block = malloc(new_size);
  if (old_block) {
    memcpy(block, old_block, old_size < new_size ? old_size : new_size);
    free(old_block);
  }
  return block;
}

TEST_F(Stack, TrimShrinksVectorsToTheirUsedSize) {
  e.realloc_hook = moving_realloc_hook;
  ASSERT_EQ(push_number(&e, 1), 0);
  ASSERT_EQ(push_number(&e, 2), 0);
  ASSERT_EQ(bytecode_append(&e, "abc", 3), 0);
  engine_trim(&e);
  EXPECT_EQ(e.stack.capacity, 2u);
  EXPECT_EQ(e.bytecode.capacity, 3u);
  EXPECT_EQ(e.gc_block.capacity, 1u);  // the root scope
  EXPECT_EQ(e.gc_block.pending_start, 1u);
  EXPECT_EQ(e.object_cache.capacity, 1u);
  EXPECT_EQ(e.cstack.capacity, k_initial_stack);  // empty vectors are kept
  EXPECT_EQ(e.stack.items[1].num, 2);
  // Everything still grows from there.
  ASSERT_EQ(push_number(&e, 3), 0);
  ASSERT_EQ(bytecode_append(&e, "d", 1), 0);
  value s = str("grows the GC block");
  EXPECT_EQ(memcmp(e.bytecode.bytes, "abcd", 4), 0);
  EXPECT_EQ(e.stack.items[2].num, 3);
  value_unref(&e, s);
  ASSERT_EQ(pop_n(&e, 3), 0);
}

TEST_F(Stack, MemoryStatisticsLines) {
  char buffer[512] = {};
  FILE* out = fmemopen(buffer, sizeof buffer - 1, "w");
  engine_print_memory_stats(&e, out);
  fclose(out);
  std::string expected = "  cinder arena all: " + std::to_string(arena_total_bytes()) +
                         " \n  cinder bytecode all: 32768 \n"
                         "  cinder object cache all: 131072 \n"
                         "  cinder GC block all: 131072 \n";
  EXPECT_EQ(std::string(buffer), expected);
}

}  // namespace
}  // namespace kiln::engine
