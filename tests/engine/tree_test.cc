// Dictionaries: key order, balance, iteration and deletion.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/core_fixture.h"
#include "engine/engine.h"

namespace kiln::engine {
namespace {

using testing::engine_test;

// Checks the red-black rules and the parent links; returns the black
// height, or -1 when a rule is broken. *max_depth gets the deepest level.
int check_subtree(const tree_entry* n, const tree_entry* parent, int depth, int* max_depth) {
  if (!n) return 1;
  *max_depth = std::max(*max_depth, depth);
  if (n->parent != parent) return -1;
  if (n->colour == 0 && ((n->left && n->left->colour == 0) || (n->right && n->right->colour == 0)))
    return -1;
  int l = check_subtree(n->left, n, depth + 1, max_depth);
  int r = check_subtree(n->right, n, depth + 1, max_depth);
  if (l < 0 || r < 0 || l != r) return -1;
  return l + (n->colour == 1 ? 1 : 0);
}

class Tree : public engine_test {
 protected:
  void SetUp() override {
    engine_test::SetUp();
    t = tree_new(&e);
    ASSERT_NE(t, nullptr);
  }
  void TearDown() override {
    value_unref(&e, make_object(t_tree, t));
    engine_test::TearDown();
  }

  int set(const std::string& key, value v) {
    value k = str(key);
    int rc = tree_set(&e, t, k, v);
    value_unref(&e, k);
    return rc;
  }

  std::vector<std::string> keys_forward() {
    std::vector<std::string> out;
    for (tree_entry* n = tree_next(t, nullptr); n; n = tree_next(t, n->key.str)) out.push_back(text(n->key));
    return out;
  }

  std::vector<std::string> keys_backward() {
    std::vector<std::string> out;
    for (tree_entry* n = tree_prev(t, nullptr); n; n = tree_prev(t, n->key.str)) out.push_back(text(n->key));
    return out;
  }

  void expect_valid() {
    int depth = 0;
    if (t->root) {
      EXPECT_EQ(t->root->colour, 1u);
    }
    EXPECT_GT(check_subtree(t->root, nullptr, 1, &depth), 0);
  }

  tree_obj* t = nullptr;
};

TEST(KeyOrder, BytesThenLength) {
  EXPECT_LT(key_compare("a", 1, "ab", 2), 0);
  EXPECT_LT(key_compare("ab", 2, "b", 1), 0);
  EXPECT_EQ(key_compare("ab", 2, "ab", 2), 0);
  EXPECT_GT(key_compare("a\0", 2, "a", 1), 0);
  EXPECT_LT(key_compare("a\0z", 3, "a\1", 2), 0);
  EXPECT_LT(key_compare("", 0, "\0", 1), 0);
  EXPECT_GT(key_compare("\xff", 1, "\x01", 1), 0);  // bytes compare unsigned
}

TEST_F(Tree, IteratesInKeyOrderBothWays) {
  for (const char* k : {"b", "ab", "a"}) ASSERT_EQ(set(k, make_number(1)), 0);
  ASSERT_EQ(set(std::string("a\0c", 3), make_number(2)), 0);
  EXPECT_EQ(t->count, 4u);
  std::vector<std::string> forward = {"a", std::string("a\0c", 3), "ab", "b"};
  EXPECT_EQ(keys_forward(), forward);
  std::reverse(forward.begin(), forward.end());
  EXPECT_EQ(keys_backward(), forward);
}

TEST_F(Tree, SetReplacesAndGetFinds) {
  value v1 = str("one");
  value v2 = str("two");
  ASSERT_EQ(set("k", v1), 0);
  EXPECT_EQ(v1.obj->refcnt, 2u);
  ASSERT_EQ(set("k", v2), 0);
  EXPECT_EQ(v1.obj->refcnt, 1u);
  EXPECT_EQ(v2.obj->refcnt, 2u);
  EXPECT_EQ(t->count, 1u);
  value* got = tree_get(t, "k", 1);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->obj, v2.obj);
  EXPECT_EQ(tree_get(t, "k\0", 2), nullptr);
  EXPECT_EQ(tree_get(t, "", 0), nullptr);
  value_unref(&e, v1);
  value_unref(&e, v2);
}

TEST_F(Tree, NextAndPrevAtTheEnds) {
  EXPECT_EQ(tree_next(t, nullptr), nullptr);
  EXPECT_EQ(tree_prev(t, nullptr), nullptr);
  for (const char* k : {"m", "c", "x"}) ASSERT_EQ(set(k, make_nil()), 0);
  value probe = str("zz");
  EXPECT_EQ(tree_next(t, probe.str), nullptr);
  EXPECT_EQ(text(tree_prev(t, probe.str)->key), "x");
  value_unref(&e, probe);
  probe = str("a");
  EXPECT_EQ(tree_prev(t, probe.str), nullptr);
  EXPECT_EQ(text(tree_next(t, probe.str)->key), "c");
  value_unref(&e, probe);
  probe = str("d");  // absent: next and prev by value
  EXPECT_EQ(text(tree_next(t, probe.str)->key), "m");
  EXPECT_EQ(text(tree_prev(t, probe.str)->key), "c");
  value_unref(&e, probe);
}

TEST_F(Tree, DeletingTheCurrentKeyDuringIterationIsSafe) {
  for (int i = 0; i < 50; i++) ASSERT_EQ(set("k" + std::to_string(100 + i), make_number(i)), 0);
  int visited = 0;
  value current = make_nil();
  for (;;) {
    tree_entry* n = tree_next(t, current.type == t_str ? current.str : nullptr);
    if (!n) break;
    value_assign(&e, &current, n->key);
    visited++;
    if (visited % 2) {
      ASSERT_EQ(tree_delete(&e, t, current.str->bytes, current.str->length), 0);
    }
  }
  value_clear(&e, &current);
  EXPECT_EQ(visited, 50);
  EXPECT_EQ(t->count, 25u);
  EXPECT_EQ(tree_delete(&e, t, "k100", 4), -2);
  EXPECT_NE(tree_get(t, "k101", 4), nullptr);
  expect_valid();
}

TEST_F(Tree, AscendingInsertionsStayBalanced) {
  const int n = 10000;
  char key[16];
  for (int i = 0; i < n; i++) {
    int len = snprintf(key, sizeof key, "%08d", i);
    value k = make_object(t_str, string_new(&e, key, len));
    ASSERT_EQ(tree_set(&e, t, k, make_number(i)), 0);
    value_unref(&e, k);
  }
  EXPECT_EQ(t->count, static_cast<size_t>(n));
  int depth = 0;
  int black_height = check_subtree(t->root, nullptr, 1, &depth);
  ASSERT_GT(black_height, 0);
  EXPECT_LE(depth, 2 * 14);  // 2 log2(n + 1)
  value* v = tree_get(t, "00004242", 8);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->num, 4242);
}

TEST_F(Tree, RandomInsertsAndDeletesKeepTheRules) {
  std::map<std::string, int> model;
  uint64_t state = 42;
  for (int round = 0; round < 20000; round++) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    std::string key = "k" + std::to_string((state >> 33) % 600);
    if ((state >> 20) % 3) {
      ASSERT_EQ(set(key, make_number(round)), 0);
      model[key] = round;
    } else {
      int rc = tree_delete(&e, t, key.data(), key.size());
      EXPECT_EQ(rc, model.erase(key) ? 0 : -2);
    }
    if (round % 2000 == 0) expect_valid();
  }
  expect_valid();
  ASSERT_EQ(t->count, model.size());
  std::vector<std::string> expected;
  for (auto& [k, v] : model) {
    expected.push_back(k);
    value* got = tree_get(t, k.data(), k.size());
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->num, v);
  }
  EXPECT_EQ(keys_forward(), expected);
}

TEST_F(Tree, EntryAllocationFailureLeavesTheTreeUnchanged) {
  ASSERT_EQ(set("a", make_number(1)), 0);
  value b = str("b");
  value a = str("a");
  e.alloc.byte_limit = e.alloc.bytes_in_use;
  EXPECT_EQ(tree_set(&e, t, b, make_number(2)), -12);
  EXPECT_EQ(e.err.code, 6);
  EXPECT_EQ(e.err.number, 64);
  EXPECT_EQ(t->count, 1u);
  EXPECT_EQ(b.obj->refcnt, 1u);
  EXPECT_EQ(tree_get(t, "b", 1), nullptr);
  // Replacing an existing key needs no memory.
  EXPECT_EQ(tree_set(&e, t, a, make_number(3)), 0);
  EXPECT_EQ(tree_get(t, "a", 1)->num, 3);
  e.alloc.byte_limit = SIZE_MAX;
  value_unref(&e, a);
  value_unref(&e, b);
}

}  // namespace
}  // namespace kiln::engine
