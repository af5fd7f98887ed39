// The size-class arena and the engine's arena mode.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/core_fixture.h"
#include "engine/engine.h"
#include "engine/size_arena.h"

namespace kiln::engine {
namespace {

TEST(SizeArena, ClassBoundaries) {
  struct {
    size_t request;
    size_t block;
  } cases[] = {{0, 16},      {1, 16},      {16, 16},     {17, 32},      {64, 64},
               {65, 128},    {1024, 1024}, {1025, 2048}, {2048, 2048},  {2049, 4096},
               {4096, 4096}, {4097, 8192}, {16385, 32768}, {32768, 32768}};
  for (auto c : cases)
    EXPECT_EQ(arena_class_size(arena_class_of(c.request)), c.block) << c.request;
  EXPECT_EQ(arena_class_of(2048), 7);
  EXPECT_EQ(arena_class_of(2049), 8);
  EXPECT_EQ(arena_class_of(32768), k_arena_classes - 1);
}

TEST(SizeArena, FreedBlocksAreReusedByTheirClass) {
  void* a = arena_alloc(100);
  size_t free_before = arena_free_count(arena_class_of(100));
  arena_free(a, 100);
  EXPECT_EQ(arena_free_count(arena_class_of(100)), free_before + 1);
  void* b = arena_alloc(128);  // same class
  EXPECT_EQ(a, b);
  void* c = arena_alloc(100);
  EXPECT_NE(c, b);
  arena_free(b, 128);
  arena_free(c, 100);
}

TEST(SizeArena, BlocksDoNotOverlapAcrossChunks) {
  // More 4096-byte blocks than one chunk holds, each filled with its index.
  std::vector<unsigned char*> blocks;
  for (int i = 0; i < 80; i++) {
    auto* p = static_cast<unsigned char*>(arena_alloc(3000));
    memset(p, i, 4096);
    blocks.push_back(p);
  }
  for (int i = 0; i < 80; i++) {
    EXPECT_EQ(blocks[i][0], i);
    EXPECT_EQ(blocks[i][4095], i);
  }
  for (auto* p : blocks) arena_free(p, 3000);
}

TEST(SizeArena, LargeRequestsGoToMallocAndCount) {
  size_t total = arena_total_bytes();
  void* p = arena_alloc(32769);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(arena_total_bytes(), total + 32769);
  memset(p, 1, 32769);
  arena_free(p, 32769);
  EXPECT_EQ(arena_total_bytes(), total);
}

TEST(SizeArena, ChunksAreCountedOnce) {
  // Carving a fresh 32768-byte class drains the current chunk; totals only
  // grow in whole chunks.
  size_t total = arena_total_bytes();
  std::vector<void*> blocks;
  for (int i = 0; i < 9; i++) blocks.push_back(arena_alloc(32768));
  size_t grown = arena_total_bytes() - total;
  EXPECT_EQ(grown % k_arena_chunk, 0u);
  EXPECT_GE(grown, 2 * k_arena_chunk);
  for (void* p : blocks) arena_free(p, 32768);
}

TEST(SizeArena, ResizeCopiesTheSmallerSize) {
  auto* p = static_cast<char*>(arena_alloc(20));
  memcpy(p, "0123456789abcdefghij", 20);
  auto* q = static_cast<char*>(arena_resize(p, 20, 5000));
  EXPECT_EQ(memcmp(q, "0123456789abcdefghij", 20), 0);
  auto* r = static_cast<char*>(arena_resize(q, 5000, 4));
  EXPECT_EQ(memcmp(r, "0123", 4), 0);
  arena_free(r, 4);
}

// ---------------------------------------------------------------------------

class ArenaEngine : public testing::engine_test {
 protected:
  int arena_mode() const override { return 1; }
};

TEST_F(ArenaEngine, ObjectsComeFromTheArena) {
  EXPECT_EQ(e.arena_mode, 1);
  size_t free_before = arena_free_count(arena_class_of(64));
  value t = make_object(t_tree, tree_new(&e));
  value_unref(&e, t);
  EXPECT_EQ(arena_free_count(arena_class_of(64)), free_before + 1);

  value s = str(std::string(40000, 'z'));  // above the classes: malloc
  EXPECT_EQ(s.str->bytes[39999], 'z');
  value_unref(&e, s);
}

TEST_F(ArenaEngine, GrowingArraysAndBuffersMoveBetweenClasses) {
  value a = make_object(t_array, array_new(&e));
  for (int i = 0; i < 5000; i++) ASSERT_EQ(array_push(&e, a.array, make_number(i)), 0);
  for (int i = 0; i < 5000; i += 499) EXPECT_EQ(a.array->items[i].num, i);
  value p = make_object(t_pb, pb_new(&e));
  ASSERT_EQ(pb_set_length(&e, p.pb, 40000), 0);
  EXPECT_EQ(p.pb->data[39999], 0);
  value_unref(&e, a);
  value_unref(&e, p);
}

}  // namespace
}  // namespace kiln::engine
