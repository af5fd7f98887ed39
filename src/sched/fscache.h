// The stat cache and the access cache: every file-system query of the
// up-to-date decision goes through them, so that a file named by many
// rules is asked about once.
//
// Both are the same structure over a different payload: entries found
// through a power-of-two number of hash buckets by string id (Fibonacci
// hashing, base/fib_hash.h), kept on a recency
// list. Storage grows in pools, first min(256, capacity) entries, then
// doubling up to the capacity; when no free entry is left the least
// recently used one is evicted. A hit moves the entry to the recent end.
// The configured bucket count is where the table starts: it doubles
// whenever the entries outnumber the buckets twice, so chains stay short
// however large the tree.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/fib_hash.h"
#include "db/db_tables.h"
#include "graph/stringtab.h"

namespace kiln::sched {

// What lstat said about a path, packed into 32 bytes: a stat cache entry
// is made for every file the build looks at.
struct stat_info {
  int64_t mtime_sec = 0;
  int64_t size = 0;
  uint64_t ino = 0;
  mode_t mode = 0;                // file type and permission bits
  uint32_t mtime_nsec : 31 = 0;   // below 10^9
  uint32_t nonexistent : 1 = 0;   // lstat failed
};

// What an lstat that succeeded says, or a failed one (ok false).
inline stat_info stat_info_of(bool ok, const struct stat& st) {
  stat_info info;
  if (!ok) {
    info.nonexistent = 1;
    return info;
  }
  info.mode = st.st_mode;
  info.mtime_sec = st.st_mtim.tv_sec;
  info.mtime_nsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  info.size = st.st_size;
  info.ino = st.st_ino;
  return info;
}

// A bounded, least-recently-used cache keyed by string id.
template <typename payload>
class fscache {
 public:
  // Returns the cached payload, filling it with fill(id, &payload) on a miss.
  template <typename filler>
  const payload& get(graph::strid id, filler fill);

  // Forgets the entry of id, if any.
  void invalidate(graph::strid id);

  // Sets the initial bucket count (a power of two) and the capacity;
  // empties it.
  void configure(size_t bucket_count, size_t capacity);

  size_t entry_count() const { return used_; }
  size_t bucket_count() const { return buckets_.size(); }
  size_t allocated_entries() const { return allocated_; }
  static constexpr size_t entry_bytes() { return sizeof(entry); }

 private:
  // Entries are named by 32-bit indices, counted across the pools in
  // order and found through blocks of 256 (pools hold whole blocks but the
  // last of a capacity). k_none ends a chain or list.
  static constexpr uint32_t k_none = UINT32_MAX;
  struct entry {
    graph::strid id;
    uint32_t bucket_next;  // also links the free list
    uint32_t lru_prev;     // towards the least recently used end
    uint32_t lru_next;
    payload data;
  };

  size_t bucket_of(graph::strid id) const {
    return fib_bucket(static_cast<uint32_t>(id), buckets_.size());
  }
  static constexpr size_t k_max_load = 2;
  static constexpr size_t k_max_buckets = size_t{1} << 30;

  entry& at(uint32_t i) const;
  uint32_t find(graph::strid id) const;
  void rehash();
  uint32_t take_free_entry();
  void unlink(uint32_t i);
  void link_recent(uint32_t i, entry& e);
  void release_pools();

  std::vector<uint32_t> buckets_;
  // Pools of raw storage: an entry is constructed when first handed out,
  // so that the memory of entries never used stays untouched.
  std::vector<entry*> pools_;
  static constexpr unsigned k_block_bits = 8;
  static constexpr uint32_t k_block_size = uint32_t{1} << k_block_bits;
  std::vector<entry*> blocks_;  // block k: the entries from index k * k_block_size
  uint32_t first_pool_ = 0;  // entries of the first pool
  uint32_t handed_out_ = 0;  // entries below this index were ever used
  uint32_t free_ = k_none;   // invalidated entries, linked through bucket_next
  uint32_t oldest_ = k_none;
  uint32_t newest_ = k_none;
  size_t capacity_ = 0;
  size_t allocated_ = 0;
  size_t used_ = 0;

 public:
  fscache() = default;
  fscache(const fscache&) = delete;
  fscache& operator=(const fscache&) = delete;
  ~fscache() { release_pools(); }
};

// The file-system calls through which file states enter the build: the
// fillers of both caches, the look through a symbolic link dependency and
// the check of the targets a recipe just made. The build uses the system's
// own; tests put an in-memory file system here. Recursive directory trees
// (@recdep, rectgt, detouch) are walked and touched on the disk itself.
struct fs_calls {
  int (*lstat)(const char* path, struct stat* st);
  int (*stat)(const char* path, struct stat* st);
  int (*access)(const char* path, int mode);
};

// lstat, stat and access of the system.
extern const fs_calls k_real_file_system;

// The calls in use; k_real_file_system unless a test replaced them.
extern fs_calls file_system;

// The stat cache: lstat of the interned path.
const stat_info& stat_cached(graph::strid id);

// The access cache: whether access(path, F_OK) succeeds.
bool exists_cached(graph::strid id);

// The stamp of an existing file from the stat cache (inode 0 for a
// symbolic link); false when it does not exist.
bool file_stamp_cached(graph::strid id, db::file_stamp* out);

// Removes the string's entries from both caches (a rule rewrote it).
void invalidate(graph::strid id);

// Creates both caches with the configured sizes (capacities below 256 are
// raised to 256).
void fscache_init(size_t stat_hash_size, size_t stat_cache_size, size_t access_hash_size,
                  size_t access_cache_size);

struct fscache_stats {
  size_t stat_entries, stat_bytes, access_entries, access_bytes;
};

// Counts for the -d memory statistics.
fscache_stats fscache_statistics();

}  // namespace kiln::sched

#include "sched/fscache_impl.h"
