// Fibonacci hashing of 32-bit ids into a power-of-two number of buckets.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace kiln {

// The bucket of id among bucket_count (a power of two): the top bits of
// id * 2^64/phi. The top bits are the well-mixed ones; bits 32 and up of
// the product, masked, repeat with a short period for the dense ids of the
// string table, so that at 2^16 buckets only about one bucket in eight
// would ever be used.
inline size_t fib_bucket(uint32_t id, size_t bucket_count) {
  unsigned bits = static_cast<unsigned>(std::countr_zero(bucket_count));
  if (bits == 0) return 0;
  return static_cast<size_t>((static_cast<uint64_t>(id) * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

}  // namespace kiln
