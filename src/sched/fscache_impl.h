// Template members of fscache; included by fscache.h only.
#pragma once

#include <new>

#include "base/diag.h"

namespace kiln::sched {

template <typename payload>
void fscache<payload>::release_pools() {
  for (entry* p : pools_) std::free(p);
  pools_.clear();
  blocks_.clear();
}

template <typename payload>
void fscache<payload>::configure(size_t bucket_count, size_t capacity) {
  buckets_.assign(bucket_count, k_none);
  release_pools();
  free_ = oldest_ = newest_ = k_none;
  // Indices are 32 bits wide, one value standing for none.
  capacity_ = capacity < k_none ? capacity : k_none - 1;
  first_pool_ = static_cast<uint32_t>(capacity_ < 256 ? capacity_ : 256);
  allocated_ = used_ = 0;
  handed_out_ = 0;
}

template <typename payload>
typename fscache<payload>::entry& fscache<payload>::at(uint32_t i) const {
  return blocks_[i >> k_block_bits][i & (k_block_size - 1)];
}

template <typename payload>
uint32_t fscache<payload>::find(graph::strid id) const {
  if (buckets_.empty()) return k_none;  // not configured: nothing is cached
  for (uint32_t i = buckets_[bucket_of(id)]; i != k_none;) {
    const entry& e = at(i);
    if (e.id == id) return i;
    i = e.bucket_next;
  }
  return k_none;
}

// Takes the entry off its chain (chains are short: the predecessor is
// found by walking from the bucket) and off the recency list.
template <typename payload>
void fscache<payload>::unlink(uint32_t i) {
  entry& e = at(i);
  uint32_t* link = &buckets_[bucket_of(e.id)];
  while (*link != i) link = &at(*link).bucket_next;
  *link = e.bucket_next;
  if (e.lru_prev != k_none) at(e.lru_prev).lru_next = e.lru_next; else oldest_ = e.lru_next;
  if (e.lru_next != k_none) at(e.lru_next).lru_prev = e.lru_prev; else newest_ = e.lru_prev;
  used_--;
}

template <typename payload>
void fscache<payload>::link_recent(uint32_t i, entry& e) {
  e.lru_prev = newest_;
  e.lru_next = k_none;
  if (newest_ != k_none) at(newest_).lru_next = i; else oldest_ = i;
  newest_ = i;
}

// A free entry: an invalidated one, the next never used one of the pools,
// one of a new pool while the capacity allows it, else the least recently
// used entry is evicted.
template <typename payload>
uint32_t fscache<payload>::take_free_entry() {
  if (free_ != k_none) {
    uint32_t i = free_;
    free_ = at(i).bucket_next;
    return i;
  }
  if (handed_out_ == allocated_ && allocated_ < capacity_) {
    size_t n = allocated_ == 0 ? first_pool_ : allocated_;
    if (allocated_ + n > capacity_) n = capacity_ - allocated_;
    auto* pool = static_cast<entry*>(std::malloc(n * sizeof(entry)));
    if (!pool) diag::fatal("out of memory");
    pools_.push_back(pool);
    // Every pool but a first one below 256 entries starts on a block.
    for (size_t k = 0; k < n; k += k_block_size) blocks_.push_back(pool + k);
    allocated_ += n;
  }
  if (handed_out_ < allocated_) {
    uint32_t i = handed_out_++;
    new (&at(i)) entry;
    return i;
  }
  uint32_t victim = oldest_;
  unlink(victim);
  return victim;
}

template <typename payload>
template <typename filler>
const payload& fscache<payload>::get(graph::strid id, filler fill) {
  uint32_t i = find(id);
  if (i != k_none) {
    entry& e = at(i);
    if (i != newest_) {
      // Move to the recent end; there is a newer entry, so a next one.
      uint32_t prev = e.lru_prev, next = e.lru_next;
      at(next).lru_prev = prev;
      if (prev != k_none) at(prev).lru_next = next; else oldest_ = next;
      at(newest_).lru_next = i;
      e.lru_prev = newest_;
      e.lru_next = k_none;
      newest_ = i;
    }
    return e.data;
  }
  i = take_free_entry();
  entry& e = at(i);
  e.id = id;
  fill(id, &e.data);
  size_t b = bucket_of(id);
  e.bucket_next = buckets_[b];
  buckets_[b] = i;
  link_recent(i, e);
  used_++;
  if (used_ > buckets_.size() * k_max_load && buckets_.size() < k_max_buckets) rehash();
  return e.data;
}

// Doubles the bucket count and re-chains every entry in use, walking the
// recency list (free entries are on no chain).
template <typename payload>
void fscache<payload>::rehash() {
  buckets_.assign(buckets_.size() * 2, k_none);
  for (uint32_t i = oldest_; i != k_none;) {
    entry& e = at(i);
    size_t b = bucket_of(e.id);
    e.bucket_next = buckets_[b];
    buckets_[b] = i;
    i = e.lru_next;
  }
}

template <typename payload>
void fscache<payload>::invalidate(graph::strid id) {
  uint32_t i = find(id);
  if (i == k_none) return;
  unlink(i);
  at(i).bucket_next = free_;
  free_ = i;
}

}  // namespace kiln::sched
