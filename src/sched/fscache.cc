#include "sched/fscache.h"

#include <unistd.h>

#include "sched/stat_ahead.h"

namespace kiln::sched {

const fs_calls k_real_file_system = {::lstat, ::stat, ::access};
fs_calls file_system = k_real_file_system;

namespace {

fscache<stat_info> stat_cache;
fscache<bool> access_cache;

void fill_stat(graph::strid id, stat_info* info) {
  if (stat_ahead_take(id, info)) return;
  struct stat st;
  *info = stat_info_of(file_system.lstat(graph::text(id), &st) == 0, st);
}

void fill_access(graph::strid id, bool* exists) { *exists = file_system.access(graph::text(id), F_OK) == 0; }

size_t at_least_256(size_t n) { return n < 256 ? 256 : n; }

}  // namespace

void fscache_init(size_t stat_hash_size, size_t stat_cache_size, size_t access_hash_size,
                  size_t access_cache_size) {
  stat_cache.configure(stat_hash_size, at_least_256(stat_cache_size));
  access_cache.configure(access_hash_size, at_least_256(access_cache_size));
}

const stat_info& stat_cached(graph::strid id) { return stat_cache.get(id, fill_stat); }

bool file_stamp_cached(graph::strid id, db::file_stamp* out) {
  const stat_info& si = stat_cached(id);
  if (si.nonexistent) return false;
  *out = {si.mtime_sec, si.mtime_nsec, si.size, S_ISLNK(si.mode) ? 0 : si.ino};
  return true;
}

bool exists_cached(graph::strid id) { return access_cache.get(id, fill_access); }

void invalidate(graph::strid id) {
  stat_cache.invalidate(id);
  access_cache.invalidate(id);
  stat_ahead_forget(id);
}

fscache_stats fscache_statistics() {
  return {stat_cache.entry_count(), stat_cache.allocated_entries() * stat_cache.entry_bytes(),
          access_cache.entry_count(),
          access_cache.allocated_entries() * access_cache.entry_bytes()};
}

}  // namespace kiln::sched
