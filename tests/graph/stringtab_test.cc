#include "graph/stringtab.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "graph/arena.h"
#include "graph/rbtree.h"

namespace kiln::graph {
namespace {

struct int_node : rb_node {
  int key = 0;
};

int key_of(const rb_node* n) { return static_cast<const int_node*>(n)->key; }

bool less_nodes(const rb_node* a, const rb_node* b) { return key_of(a) < key_of(b); }

TEST(RbTree, RandomInsertEraseKeepsInvariantsAndOrder) {
  std::mt19937 rng(7);
  std::vector<int_node> nodes(2000);
  rb_node* root = nullptr;
  std::set<int> model;
  for (auto& n : nodes) {
    n.key = static_cast<int>(rng() % 5000);
    rb_node* old = rb_insert_unique(&root, &n, [&](const rb_node* x) { return n.key - key_of(x); });
    EXPECT_EQ(old != nullptr, model.count(n.key) == 1);
    model.insert(n.key);
  }
  ASSERT_GT(rb_check(root, less_nodes), 0);
  // Erase every other key present, checking the invariants as we go.
  int erased = 0;
  for (int k = 0; k < 5000; k += 2) {
    rb_node* f = rb_find(root, [&](const rb_node* x) { return k - key_of(x); });
    ASSERT_EQ(f != nullptr, model.count(k) == 1);
    if (!f) continue;
    rb_erase(&root, f);
    model.erase(k);
    if (++erased % 50 == 0) {
      ASSERT_GT(rb_check(root, less_nodes), 0);
    }
  }
  ASSERT_GT(rb_check(root, less_nodes), 0);
  std::vector<int> walked;
  for (rb_node* n = rb_first(root); n; n = rb_next(n)) walked.push_back(key_of(n));
  EXPECT_EQ(walked, std::vector<int>(model.begin(), model.end()));
}

TEST(RbTree, EraseToEmpty) {
  std::vector<int_node> nodes(100);
  rb_node* root = nullptr;
  for (int i = 0; i < 100; i++) {
    nodes[i].key = i;
    rb_insert_unique(&root, &nodes[i], [&](const rb_node* x) { return i - key_of(x); });
  }
  for (int i = 99; i >= 0; i -= 3) rb_erase(&root, &nodes[i]);
  for (int i = 0; i < 100; i++) {
    if ((99 - i) % 3 != 0) rb_erase(&root, &nodes[i]);
  }
  EXPECT_EQ(root, nullptr);
  EXPECT_EQ(rb_first(root), nullptr);
}

class Stringtab : public ::testing::Test {
 protected:
  void SetUp() override {
    stringtab_clear();
    stringtab_init(16, 4);
  }
};

TEST_F(Stringtab, IdsAreDenseInOrderOfFirstInterning) {
  EXPECT_EQ(intern("a"), 0);
  EXPECT_EQ(intern("b/c"), 1);
  EXPECT_EQ(intern("a"), 0);
  EXPECT_EQ(intern("ab", 1), 0);  // only the given length counts
  EXPECT_EQ(intern(""), 2);
  EXPECT_EQ(stringtab_size(), 3u);
  EXPECT_STREQ(text(1), "b/c");
  EXPECT_EQ(text_length(1), 3u);
  EXPECT_EQ(text_length(2), 0u);
}

// One bucket puts every string in one tree, so the compare must give one
// consistent byte order: texts sharing long prefixes, differing in high
// bytes and in the last word and tail, are all found again.
TEST_F(Stringtab, TextsDifferingAnywhereAreTold) {
  stringtab_init(1, 4);
  std::vector<std::string> texts;
  for (size_t at = 0; at < 19; at += 3) {
    for (int b : {0x01, 0x2f, 0x7f, 0x80, 0xfe}) {
      std::string t(20, 'p');
      t[at] = static_cast<char>(b);
      texts.push_back(t);
      texts.push_back(t.substr(0, at + 1));
    }
  }
  std::vector<strid> ids;
  for (const std::string& t : texts) ids.push_back(intern(t.c_str(), t.size()));
  for (size_t i = 0; i < texts.size(); i++) {
    EXPECT_EQ(lookup(texts[i].c_str(), texts[i].size()), ids[i]) << i;
    EXPECT_EQ(std::string(text(ids[i]), text_length(ids[i])), texts[i]);
  }
}

TEST_F(Stringtab, LookupDoesNotInsert) {
  intern("x");
  EXPECT_EQ(lookup("y"), -1);
  EXPECT_EQ(stringtab_size(), 1u);
  EXPECT_EQ(lookup("x"), 0);
  // Prefixes and extensions are different strings.
  intern("xy");
  EXPECT_EQ(lookup("x"), 0);
  EXPECT_EQ(lookup("xy"), 1);
  EXPECT_EQ(lookup("xyz"), -1);
}

TEST_F(Stringtab, EntryArrayAndIndexGrowPastTheirInitialSizes) {
  EXPECT_EQ(stringtab_capacity(), 4u);
  std::vector<std::string> names;
  for (int i = 0; i < 5000; i++) names.push_back("dir" + std::to_string(i % 37) + "/f" + std::to_string(i));
  for (int i = 0; i < 5000; i++) ASSERT_EQ(intern(names[i].c_str()), i);
  EXPECT_EQ(stringtab_capacity(), 8192u);  // 4 -> 1024 -> 2048 -> 4096 -> 8192
  for (int i = 0; i < 5000; i++) {
    ASSERT_EQ(lookup(names[i].c_str()), i);
    ASSERT_STREQ(text(i), names[i].c_str());
  }
  EXPECT_EQ(stringtab_statistics().entries, 5000u);
  EXPECT_EQ(stringtab_bucket_count(), 4096u);  // 16 doubled while over two per bucket
}

TEST_F(Stringtab, ReinitialisingKeepsIds) {
  strid a = intern("one");
  strid b = intern("two");
  stringtab_init(1024, 65536);
  EXPECT_EQ(lookup("one"), a);
  EXPECT_EQ(lookup("two"), b);
  EXPECT_EQ(intern("three"), 2);
}

TEST_F(Stringtab, RuleIdByTargetAndMarks) {
  strid a = intern("a");
  EXPECT_EQ(ruleid_by_tgt(a), -2);
  set_ruleid_by_tgt(a, 0, ".", 1);
  EXPECT_EQ(ruleid_by_tgt(a), 0);
  EXPECT_FALSE(is_dry_remade(a));
  EXPECT_FALSE(is_cdep_file(a));
  set_dry_remade(a);
  set_cdep_file(a);
  EXPECT_TRUE(is_dry_remade(a));
  EXPECT_TRUE(is_cdep_file(a));
  EXPECT_EQ(text_length(a), 1u);
}

TEST_F(Stringtab, SecondRuleForTargetIsFatal) {
  strid a = intern("sub/x");
  set_ruleid_by_tgt(a, 0, ".", 1);
  EXPECT_EXIT(set_ruleid_by_tgt(a, 1, "sub", 3), ::testing::ExitedWithCode(2),
              "kiln: \\*\\*\\* ruleid by tgt sub/x already exists in rule at prefix sub line 3\\. Exiting\\.");
  EXPECT_EXIT(set_ruleid_by_tgt(a, 1, nullptr, 3), ::testing::ExitedWithCode(2),
              "ruleid by tgt sub/x already exists\\. Exiting\\.");
}

// A NUL is found wherever the hash reads it: in a 16-byte round, in the
// first or second tail word; bytes that only look like one are not.
TEST_F(Stringtab, EmbeddedNulIsInternalError) {
  EXPECT_DEATH(intern("a\0b", 3), "");
  EXPECT_DEATH(intern("0123456789\0bcdefghij", 21), "");
  EXPECT_DEATH(intern("01234567890\0", 12), "");
  const char odd[] = "\x01\x80\xff\x01\x80\xff\x01\x80\xff\x01\x80\xff\x01\x80\xff\x01\x80";
  EXPECT_GE(intern(odd, sizeof odd - 1), 0);
  EXPECT_GE(intern("01234567", 8), 0);  // the terminator after the text is not read
}

TEST(Arena, AlignmentAndCounters) {
  arena_init();
  size_t before = arena_statistics().allocations;
  char* a = static_cast<char*>(my_malloc(3, 1));
  void* b = my_malloc(8, 64);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 64, 0u);
  EXPECT_EQ(a[0] + a[1] + a[2], 0);
  static void* big = my_malloc(k_arena_size + 1);  // served outside the arenas; kept
  EXPECT_NE(big, nullptr);
  EXPECT_EQ(static_cast<char*>(big)[k_arena_size], 0);
  EXPECT_EQ(arena_statistics().allocations, before + 3);
  size_t arg = arena_statistics().arg_bytes;
  char* s = my_strdup_arg("hello", 5);
  EXPECT_STREQ(s, "hello");
  EXPECT_EQ(arena_statistics().arg_bytes, arg + 6);
  // Many small records spill into new arenas and stay zeroed.
  for (int i = 0; i < 100000; i++) {
    int* p = static_cast<int*>(my_malloc(sizeof(int) * 3, alignof(int)));
    ASSERT_EQ(p[0] | p[1] | p[2], 0);
    p[0] = p[1] = p[2] = -1;
  }
}

TEST(Arena, AlignmentMustBeAPowerOfTwo) { EXPECT_DEATH(my_malloc(8, 3), ""); }

}  // namespace
}  // namespace kiln::graph
