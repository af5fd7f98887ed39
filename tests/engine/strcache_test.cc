// The string hash, the object cache and interning.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/core_fixture.h"
#include "engine/engine.h"

namespace kiln::engine {
namespace {

using testing::engine_test;

// Deterministic pseudo-random bytes.
std::string random_bytes(uint64_t* state, size_t length) {
  std::string s(length, '\0');
  for (char& c : s) {
    *state = *state * 6364136223846793005ull + 1442695040888963407ull;
    c = static_cast<char>(*state >> 56);
  }
  return s;
}

TEST(StringHash, EqualBytesHashEqualAtEveryLength) {
  // Covers every length class: 0, 1-3, 4-16, 17-47, 48 and more (whole and
  // partial 48-byte blocks).
  uint64_t state = 1;
  for (size_t length = 0; length <= 200; length++) {
    std::string a = random_bytes(&state, length);
    std::string b = a;  // a different buffer with the same bytes
    EXPECT_EQ(string_hash(a.data(), a.size()), string_hash(b.data(), b.size())) << length;
  }
}

TEST(StringHash, EveryByteAndTheLengthMatter) {
  // Flipping any one byte changes the hash, at lengths from each class.
  uint64_t state = 7;
  for (size_t length : {1, 2, 3, 4, 7, 8, 15, 16, 17, 31, 47, 48, 49, 95, 96, 97, 150}) {
    std::string a = random_bytes(&state, length);
    uint64_t h = string_hash(a.data(), a.size());
    for (size_t i = 0; i < length; i++) {
      std::string b = a;
      b[i] ^= 1;
      EXPECT_NE(string_hash(b.data(), b.size()), h) << length << " " << i;
    }
  }
  // Prefixes of zero bytes differ by length alone.
  std::string zeros(64, '\0');
  std::vector<uint64_t> seen;
  for (size_t length = 0; length <= 64; length++) seen.push_back(string_hash(zeros.data(), length));
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
}

TEST(StringHash, SpreadsNamesOverTheBuckets) {
  // 65536 variable-like names over 8192 buckets: every bucket used and no
  // bucket far above the mean of 8.
  std::vector<int> buckets(8192);
  for (int i = 0; i < 65536; i++) {
    std::string name = "obj/dir" + std::to_string(i % 97) + "/file" + std::to_string(i) + ".o";
    buckets[string_hash(name.data(), name.size()) & 8191]++;
  }
  int empty = static_cast<int>(std::count(buckets.begin(), buckets.end(), 0));
  int largest = *std::max_element(buckets.begin(), buckets.end());
  EXPECT_LT(empty, 20);  // Poisson(8) leaves about 3 empty
  EXPECT_LT(largest, 30);
}

TEST(StringHash, ReadsNoByteOutsideTheString) {
  // Strings at the very end of an allocation (checked under the address
  // sanitizer): every length reads only its own bytes.
  for (size_t length = 0; length <= 100; length++) {
    std::vector<char> exact(length ? length : 1, 'q');
    string_hash(exact.data(), length);
  }
}

// ---------------------------------------------------------------------------

using StringCache = engine_test;

TEST_F(StringCache, SameBytesSameIndex) {
  int64_t ab = cache_add_string(&e, "ab", 2);
  int64_t abc = cache_add_string(&e, "abc", 3);
  int64_t a = cache_add_string(&e, "a", 1);
  int64_t empty = cache_add_string(&e, "", 0);
  int64_t nul = cache_add_string(&e, "a\0b", 3);
  ASSERT_GE(ab, 0);
  EXPECT_NE(ab, abc);
  EXPECT_NE(ab, a);
  EXPECT_NE(nul, abc);
  EXPECT_EQ(cache_add_string(&e, "ab", 2), ab);
  EXPECT_EQ(cache_add_string(&e, "abc", 3), abc);
  EXPECT_EQ(cache_add_string(&e, "", 0), empty);
  EXPECT_EQ(cache_add_string(&e, "a\0b", 3), nul);

  value v = e.object_cache.items[ab];
  ASSERT_EQ(v.type, t_str);
  EXPECT_EQ(text(v), "ab");
  EXPECT_EQ(v.str->cache_index, ab);
  EXPECT_EQ(v.obj->refcnt, 1u);  // the cache's own
}

TEST_F(StringCache, ManyStringsStayDistinctAcrossCacheGrowth) {
  std::vector<int64_t> idx;
  const int n = 20000;  // more than the initial cache capacity
  for (int i = 0; i < n; i++) {
    std::string s = "name" + std::to_string(i);
    idx.push_back(cache_add_string(&e, s.data(), s.size()));
    ASSERT_GE(idx.back(), 0);
  }
  EXPECT_GE(e.object_cache.capacity, static_cast<size_t>(n));
  for (int i = 0; i < n; i += 7) {
    std::string s = "name" + std::to_string(i);
    EXPECT_EQ(cache_add_string(&e, s.data(), s.size()), idx[i]);
    EXPECT_EQ(text(e.object_cache.items[idx[i]]), s);
  }
}

TEST_F(StringCache, CacheValuesAreReferenced) {
  value t = make_object(t_tree, tree_new(&e));
  int64_t i = cache_add_value(&e, t);
  ASSERT_GE(i, 0);
  EXPECT_EQ(t.obj->refcnt, 2u);
  value_unref(&e, t);
  EXPECT_EQ(e.object_cache.items[i].obj, t.obj);
}

}  // namespace
}  // namespace kiln::engine
