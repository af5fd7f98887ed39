// The string hash, the object cache and the string cache.
//
// The string cache interns byte strings: 8192 buckets chosen by the string
// hash, each a red-black tree of string objects (linked through the tree
// fields every str_obj carries) in key order. An interned string is held by
// the object cache and remembers its index there, so interning the same
// bytes again returns the same index.
#include <bit>
#include <cstdint>
#include <cstring>

#include "base/result_codes.h"
#include "engine/engine.h"
#include "engine/heap.h"
#include "engine/rbtree.h"

namespace kiln::engine {

namespace {

constexpr uint64_t k_seed = 0xca813bf4c7abf0a9ull;
constexpr uint64_t k0 = 0x2d358dccaa6c78a5ull;
constexpr uint64_t k1 = 0x8bb84b93962eacc9ull;
constexpr uint64_t k2 = 0x4b33a62ed433d4a3ull;
constexpr uint64_t k3 = 0x4d5a2da51de1aa47ull;

// High 64 bits XOR low 64 bits of the 128-bit product.
inline uint64_t fold(uint64_t a, uint64_t b) {
  unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(p >> 64) ^ static_cast<uint64_t>(p);
}

inline uint64_t read64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

inline uint64_t read32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

}  // namespace

uint64_t string_hash(const void* bytes, size_t length) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  uint64_t s = k_seed;
  uint64_t a;
  uint64_t b;
  if (length <= 16) {
    if (length >= 4) {
      size_t shift = 4 * ((length >> 3) & 3);
      a = (read32(p) << 32) | read32(p + shift);
      b = (read32(p + length - 4) << 32) | read32(p + length - 4 - shift);
    } else if (length > 0) {
      a = (uint64_t(p[0]) << 16) | (uint64_t(p[length >> 1]) << 8) | p[length - 1];
      b = 0;
    } else {
      a = b = 0;
    }
  } else {
    size_t left = length;
    if (length > 47) {
      uint64_t s1 = s;
      uint64_t s2 = s;
      while (left >= 48) {
        s1 = fold(read64(p + 8) ^ s1, read64(p) ^ k1);
        s2 = fold(read64(p + 40) ^ s2, read64(p + 32) ^ k3);
        s = fold(s ^ read64(p + 24), read64(p + 16) ^ k2);
        p += 48;
        left -= 48;
      }
      s ^= s1 ^ s2;
    }
    while (left > 16) {
      s = fold(s ^ read64(p + 8), read64(p) ^ k1);
      p += 16;
      left -= 16;
    }
    const uint8_t* end = p + left;
    a = read64(end - 16);
    b = read64(end - 8);
  }
  uint64_t d = a ^ k1;
  uint64_t e = b ^ s;
  unsigned __int128 product = static_cast<unsigned __int128>(e) * d;
  uint64_t f = static_cast<uint64_t>(product >> 64) ^ k1;
  uint64_t g = length ^ k0 ^ static_cast<uint64_t>(product);
  return fold(f, g);
}

// ---------------------------------------------------------------------------
// Object cache

int64_t cache_add_value(engine* e, value v) {
  value_vec& c = e->object_cache;
  if (c.length == c.capacity) {
    if (c.capacity >= k_max_object_cache)
      return set_error(e, err_cache_index_out_of_bounds, make_nil(), static_cast<double>(c.length), base::rc_out_of_bounds);
    value_vec_reserve(e, &c, c.capacity ? 2 * c.capacity : k_initial_stack);
  }
  value_ref(v);
  c.items[c.length] = v;
  return static_cast<int64_t>(c.length++);
}

// ---------------------------------------------------------------------------
// String cache

namespace {

size_t bucket_index(const char* bytes, size_t length) {
  return string_hash(bytes, length) & (k_string_cache_buckets - 1);
}

int compare(const char* bytes, size_t length, const str_obj* s) {
  return key_compare(bytes, length, s->bytes, s->length);
}

}  // namespace

int64_t cache_add_string(engine* e, const char* bytes, size_t length) {
  str_obj** root = &e->string_cache[bucket_index(bytes, length)];
  for (str_obj* n = *root; n;) {
    int c = compare(bytes, length, n);
    if (c == 0) return n->cache_index;
    n = c < 0 ? n->left : n->right;
  }
  str_obj* s = string_new(e, bytes, length);
  if (!s) return base::rc_no_memory;
  value v = make_object(t_str, s);
  int64_t idx = cache_add_value(e, v);
  value_unref(e, v);  // the cache holds the only reference now
  if (idx < 0) return idx;
  s->cache_index = idx;
  // Link after the allocation, which may have collected.
  str_obj* parent = nullptr;
  bool as_left = false;
  for (str_obj* n = *root; n;) {
    parent = n;
    as_left = compare(bytes, length, n) < 0;
    n = as_left ? n->left : n->right;
  }
  rb::insert(root, s, parent, as_left);
  return idx;
}

void string_cache_erase(engine* e, str_obj* s) {
  str_obj** root = &e->string_cache[bucket_index(s->bytes, s->length)];
  rb::erase(root, s);
  s->cache_index = -1;
}

}  // namespace kiln::engine
