#include "sched/fscache.h"

#include <gtest/gtest.h>

#include <vector>

namespace kiln::sched {
namespace {

// A cache of ints whose filler records every miss.
struct counting_cache {
  fscache<int> cache;
  std::vector<int> misses;

  int get(int id) {
    return cache.get(id, [this](graph::strid key, int* out) {
      misses.push_back(key);
      *out = key * 10;
    });
  }
};

TEST(Fscache, HitsDoNotCallTheFiller) {
  counting_cache c;
  c.cache.configure(8, 256);
  EXPECT_EQ(c.get(3), 30);
  EXPECT_EQ(c.get(3), 30);
  EXPECT_EQ(c.get(4), 40);
  EXPECT_EQ(c.misses, (std::vector<int>{3, 4}));
  EXPECT_EQ(c.cache.entry_count(), 2u);
}

TEST(Fscache, EvictsTheLeastRecentlyUsedEntry) {
  counting_cache c;
  c.cache.configure(4, 3);
  c.get(1);
  c.get(2);
  c.get(3);
  c.get(1);  // 2 is now the least recently used
  c.get(4);  // evicts 2
  c.misses.clear();
  c.get(1);
  c.get(3);
  c.get(4);
  EXPECT_TRUE(c.misses.empty());
  c.get(2);
  EXPECT_EQ(c.misses, (std::vector<int>{2}));
  EXPECT_EQ(c.cache.entry_count(), 3u);
}

TEST(Fscache, InvalidateForgetsOneEntry) {
  counting_cache c;
  c.cache.configure(2, 256);
  for (int i = 0; i < 10; i++) c.get(i);  // shared buckets: chains of five
  c.cache.invalidate(4);
  c.cache.invalidate(99);  // unknown ids are ignored
  c.misses.clear();
  for (int i = 0; i < 10; i++) c.get(i);
  EXPECT_EQ(c.misses, (std::vector<int>{4}));
}

TEST(Fscache, PoolsGrowByDoublingUpToTheCapacity) {
  counting_cache c;
  c.cache.configure(64, 1000);
  c.get(0);
  EXPECT_EQ(c.cache.allocated_entries(), 256u);
  for (int i = 0; i < 257; i++) c.get(i);
  EXPECT_EQ(c.cache.allocated_entries(), 512u);
  for (int i = 0; i < 2000; i++) c.get(i);
  EXPECT_EQ(c.cache.allocated_entries(), 1000u);
  EXPECT_EQ(c.cache.entry_count(), 1000u);
  // The most recent thousand survive.
  c.misses.clear();
  for (int i = 1000; i < 2000; i++) c.get(i);
  EXPECT_TRUE(c.misses.empty());
}

TEST(Fscache, BucketsGrowWithTheEntriesAndEveryEntryStaysFindable) {
  counting_cache c;
  c.cache.configure(2, 5000);
  for (int i = 0; i < 3000; i++) c.get(i * 7);
  EXPECT_GE(c.cache.bucket_count(), 1024u);
  EXPECT_LE(c.cache.bucket_count(), 4096u);
  c.cache.invalidate(70);
  c.misses.clear();
  for (int i = 0; i < 3000; i++) EXPECT_EQ(c.get(i * 7), i * 70);
  EXPECT_EQ(c.misses, (std::vector<int>{70}));
  // Eviction still takes the least recently used after the re-chaining.
  for (int i = 3000; i < 5001; i++) c.get(i * 7);
  c.misses.clear();
  c.get(0);
  EXPECT_EQ(c.misses, (std::vector<int>{0}));
}

TEST(Fscache, InvalidatedEntriesAreReusedBeforeAPoolIsAdded) {
  counting_cache c;
  c.cache.configure(64, 1000);
  for (int i = 0; i < 256; i++) c.get(i);
  for (int i = 0; i < 10; i++) c.cache.invalidate(i * 3);
  for (int i = 1000; i < 1010; i++) c.get(i);
  EXPECT_EQ(c.cache.allocated_entries(), 256u);
  EXPECT_EQ(c.cache.entry_count(), 256u);
  c.misses.clear();
  for (int i = 0; i < 256; i++) c.get(i);  // the ten invalidated come back
  EXPECT_EQ(c.misses.size(), 10u);
  // A stat cache entry stays compact: one is made per file of the build.
  EXPECT_LE(fscache<stat_info>::entry_bytes(), 48u);
}

}  // namespace
}  // namespace kiln::sched
