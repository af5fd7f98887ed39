// Template members of fscache; included by fscache.h only.
#pragma once

namespace kiln::sched {

template <typename payload>
void fscache<payload>::configure(size_t bucket_count, size_t capacity) {
  buckets_.assign(bucket_count, nullptr);
  pools_.clear();
  free_ = oldest_ = newest_ = nullptr;
  capacity_ = capacity;
  allocated_ = used_ = 0;
}

template <typename payload>
typename fscache<payload>::entry* fscache<payload>::find(graph::strid id) const {
  if (buckets_.empty()) return nullptr;  // not configured: nothing is cached
  for (entry* e = buckets_[bucket_of(id)]; e; e = e->bucket_next) {
    if (e->id == id) return e;
  }
  return nullptr;
}

template <typename payload>
void fscache<payload>::unlink(entry* e) {
  if (e->bucket_prev) {
    e->bucket_prev->bucket_next = e->bucket_next;
  } else {
    buckets_[bucket_of(e->id)] = e->bucket_next;
  }
  if (e->bucket_next) e->bucket_next->bucket_prev = e->bucket_prev;
  if (e->lru_prev) e->lru_prev->lru_next = e->lru_next; else oldest_ = e->lru_next;
  if (e->lru_next) e->lru_next->lru_prev = e->lru_prev; else newest_ = e->lru_prev;
  used_--;
}

template <typename payload>
void fscache<payload>::link_recent(entry* e) {
  e->lru_prev = newest_;
  e->lru_next = nullptr;
  if (newest_) newest_->lru_next = e; else oldest_ = e;
  newest_ = e;
}

// A free entry: from the free list, from a new pool while the capacity
// allows one, else the least recently used entry is evicted.
template <typename payload>
typename fscache<payload>::entry* fscache<payload>::take_free_entry() {
  if (!free_ && allocated_ < capacity_) {
    size_t n = allocated_ == 0 ? (capacity_ < 256 ? capacity_ : 256) : allocated_;
    if (allocated_ + n > capacity_) n = capacity_ - allocated_;
    pools_.emplace_back(n);
    for (entry& e : pools_.back()) {
      e.bucket_next = free_;
      free_ = &e;
    }
    allocated_ += n;
  }
  if (free_) {
    entry* e = free_;
    free_ = e->bucket_next;
    return e;
  }
  entry* victim = oldest_;
  unlink(victim);
  return victim;
}

template <typename payload>
template <typename filler>
const payload& fscache<payload>::get(graph::strid id, filler fill) {
  entry* e = find(id);
  if (e) {
    if (e != newest_) {
      // Move to the recent end.
      if (e->lru_prev) e->lru_prev->lru_next = e->lru_next; else oldest_ = e->lru_next;
      e->lru_next->lru_prev = e->lru_prev;
      link_recent(e);
    }
    return e->data;
  }
  e = take_free_entry();
  e->id = id;
  fill(id, &e->data);
  size_t b = bucket_of(id);
  e->bucket_prev = nullptr;
  e->bucket_next = buckets_[b];
  if (buckets_[b]) buckets_[b]->bucket_prev = e;
  buckets_[b] = e;
  link_recent(e);
  used_++;
  if (used_ > buckets_.size() * k_max_load && buckets_.size() < k_max_buckets) rehash();
  return e->data;
}

// Doubles the bucket count and re-chains every entry in use, walking the
// recency list (free entries are on no chain).
template <typename payload>
void fscache<payload>::rehash() {
  buckets_.assign(buckets_.size() * 2, nullptr);
  for (entry* e = oldest_; e; e = e->lru_next) {
    size_t b = bucket_of(e->id);
    e->bucket_prev = nullptr;
    e->bucket_next = buckets_[b];
    if (buckets_[b]) buckets_[b]->bucket_prev = e;
    buckets_[b] = e;
  }
}

template <typename payload>
void fscache<payload>::invalidate(graph::strid id) {
  entry* e = find(id);
  if (!e) return;
  unlink(e);
  e->bucket_next = free_;
  free_ = e;
}

}  // namespace kiln::sched
