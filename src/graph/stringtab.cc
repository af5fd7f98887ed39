#include "graph/stringtab.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "base/diag.h"
#include "graph/arena.h"
#include "graph/config.h"
#include "graph/rbtree.h"

namespace kiln::graph {

namespace {

// An index entry: tree links, then length and id, then the text inline and
// NUL-terminated right after the record.
struct st_entry : rb_node {
  uint32_t length = 0;
  uint32_t id = 0;
  const char* text() const { return reinterpret_cast<const char*>(this + 1); }
};

// One slot of the entry array ("sttable"), indexed by string id.
// flags: bit 0 remade during a dry run, bit 1 compiler dependency file,
// bits 2-31 the length.
struct st_slot {
  const char* text;
  uint32_t flags;
  int32_t ruleid_by_tgt;  // -1: no rule builds this string
};

constexpr uint32_t k_flag_dry_remade = 0x1;
constexpr uint32_t k_flag_cdep_file = 0x2;
constexpr int k_length_shift = 2;
constexpr size_t k_min_entries = 1024;
// The index starts with the configured bucket count and doubles whenever
// the strings outnumber the buckets twice, so trees stay a few entries
// deep however large the tree of files.
constexpr size_t k_max_load = 2;
constexpr size_t k_max_buckets = size_t{1} << 28;

rb_node** buckets = nullptr;
size_t bucket_mask = 0;
st_slot* sttable = nullptr;
size_t capacity = 0;
size_t count = 0;
stringtab_stats stats;

// Entries are bumped from blocks of their own, so that the strings stay
// dense: a lookup in a large tree then touches few pages.
block_arena entry_blocks(64 * 1024, false, "stringtab full");

void* entry_memory(size_t bytes) {
  if (void* p = entry_blocks.take(bytes, alignof(st_entry))) return p;
  return my_malloc(bytes, alignof(st_entry));
}

inline uint64_t mix(uint64_t a, uint64_t b) {
  __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

inline uint64_t read64(const char* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

// Whether any of the word's low `valid` bytes is zero.
inline bool has_zero_byte(uint64_t w, size_t valid = 8) {
  if (valid < 8) w |= ~uint64_t{0} << (8 * valid);
  return ((w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull) != 0;
}

// A multiply-and-fold hash: 16 bytes per round through a 128-bit product.
// It also tells whether the bytes hold a NUL, which no interned string may.
uint64_t hash_bytes(const char* p, size_t n, bool* has_nul = nullptr) {
  constexpr uint64_t k0 = 0x2d358dccaa6c78a5ull;
  constexpr uint64_t k1 = 0x8bb84b93962eacc9ull;
  constexpr uint64_t k2 = 0x4b33a62ed433d4a3ull;
  uint64_t seed = mix(n ^ k0, k1);
  bool nul = false;
  while (n > 16) {
    uint64_t x = read64(p), y = read64(p + 8);
    nul |= has_zero_byte(x) | has_zero_byte(y);
    seed = mix(x ^ k1, y ^ seed);
    p += 16;
    n -= 16;
  }
  uint64_t a = 0, b = 0;
  if (n > 8) {
    a = read64(p);
    memcpy(&b, p + 8, n - 8);
    nul |= has_zero_byte(a) | has_zero_byte(b, n - 8);
  } else {
    memcpy(&a, p, n);
    nul |= has_zero_byte(a, n);
  }
  if (has_nul) *has_nul = nul;
  return mix(a ^ k2 ^ seed, b ^ k1 ^ seed) ^ seed;
}

// memcmp's order, 8 bytes at a time as big-endian words: paths in one
// bucket mostly differ early, and a call costs more than the compare.
inline int compare_bytes(const char* a, const char* b, size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    uint64_t x = read64(a), y = read64(b);
    if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
  }
  for (; n > 0; a++, b++, n--) {
    if (*a != *b) return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b) ? -1 : 1;
  }
  return 0;
}

inline int compare(const char* t, size_t n, const st_entry* e) {
  size_t m = n < e->length ? n : e->length;
  int c = compare_bytes(t, e->text(), m);
  if (c) return c;
  return n < e->length ? -1 : (n > e->length ? 1 : 0);
}

inline st_entry* entry_of(strid id) {
  return reinterpret_cast<st_entry*>(const_cast<char*>(sttable[id].text)) - 1;
}

void make_index(size_t bucket_count) {
  if (bucket_count == 0 || (bucket_count & (bucket_count - 1)) != 0) {
    diag::internal_error("stringtab buckets");
  }
  rb_node** b = static_cast<rb_node**>(calloc(bucket_count, sizeof(rb_node*)));
  if (!b) diag::fatal("Can't mmap sttable");
  free(buckets);
  buckets = b;
  bucket_mask = bucket_count - 1;
  stats.index_bytes = bucket_count * sizeof(rb_node*);
  // Re-index what is already interned (only when the table is re-sized).
  for (size_t i = 0; i < count; i++) {
    st_entry* e = entry_of(static_cast<strid>(i));
    rb_node** root = &buckets[hash_bytes(e->text(), e->length) & bucket_mask];
    if (rb_insert_unique(root, e, [&](const rb_node* n) {
          return compare(e->text(), e->length, static_cast<const st_entry*>(n));
        })) {
      diag::internal_error("23");
    }
  }
}

void resize_sttable(size_t entries) {
  st_slot* t = static_cast<st_slot*>(realloc(sttable, entries * sizeof(st_slot)));
  if (!t) diag::fatal(sttable ? "stringtab full" : "Can't mmap sttable");
  sttable = t;
  capacity = entries;
  stats.sttable_bytes = entries * sizeof(st_slot);
}

inline void ensure_init() {
  if (!buckets) stringtab_init(conf.expected_strings, conf.sttable_entries);
}

// The entry array doubles when full, never below 1024 slots.
void grow() {
  size_t n = capacity * 2;
  if (n < k_min_entries) n = k_min_entries;
  resize_sttable(n);
}

}  // namespace

void stringtab_init(size_t bucket_count, size_t entry_count) {
  if (entry_count < count) entry_count = count;
  if (entry_count == 0) entry_count = 1;
  if (entry_count != capacity) resize_sttable(entry_count);
  make_index(bucket_count);
}

void stringtab_clear() {
  free(buckets);
  free(sttable);
  buckets = nullptr;
  sttable = nullptr;
  bucket_mask = 0;
  capacity = 0;
  count = 0;
  stats = stringtab_stats();
}

strid intern(const char* text, size_t length) {
  ensure_init();
  bool has_nul;
  rb_node** root = &buckets[hash_bytes(text, length, &has_nul) & bucket_mask];
  if (has_nul) diag::internal_error("22");
  rb_place at = rb_locate(*root, [&](const rb_node* n) {
    return compare(text, length, static_cast<const st_entry*>(n));
  });
  if (at.found) return static_cast<strid>(static_cast<st_entry*>(at.found)->id);
  if (count >= capacity) grow();
  if (count >= 0x7fffffffu || length >= (1u << 30)) diag::fatal("stringtab full");
  size_t bytes = sizeof(st_entry) + length + 1;
  st_entry* e = new (entry_memory(bytes)) st_entry();
  char* t = reinterpret_cast<char*>(e + 1);
  memcpy(t, text, length);
  t[length] = '\0';
  e->length = static_cast<uint32_t>(length);
  e->id = static_cast<uint32_t>(count);
  rb_link(root, at.parent, at.left, e);
  sttable[count] = st_slot{t, static_cast<uint32_t>(length) << k_length_shift, -1};
  stats.entries++;
  stats.entry_bytes += sizeof(st_entry);
  stats.text_bytes += length + 1;
  strid id = static_cast<strid>(count++);
  if (count > (bucket_mask + 1) * k_max_load && bucket_mask + 1 < k_max_buckets) {
    make_index((bucket_mask + 1) * 2);
  }
  return id;
}

strid intern(const char* text) { return intern(text, strlen(text)); }

strid lookup(const char* text, size_t length) {
  ensure_init();
  rb_node* n = rb_find(buckets[hash_bytes(text, length) & bucket_mask], [&](const rb_node* x) {
    return compare(text, length, static_cast<const st_entry*>(x));
  });
  return n ? static_cast<strid>(static_cast<st_entry*>(n)->id) : -1;
}

strid lookup(const char* text) { return lookup(text, strlen(text)); }

const char* text(strid id) { return sttable[id].text; }

size_t text_length(strid id) { return sttable[id].flags >> k_length_shift; }

size_t stringtab_size() { return count; }

size_t stringtab_bucket_count() { return bucket_mask + 1; }

size_t stringtab_capacity() { return capacity; }

int32_t ruleid_by_tgt(strid id) {
  int32_t r = sttable[id].ruleid_by_tgt;
  return r < 0 ? -2 : r;
}

void set_ruleid_by_tgt(strid id, int32_t rule_id, const char* prefix, int line) {
  if (sttable[id].ruleid_by_tgt >= 0) {
    if (prefix == nullptr || line < 0) {
      diag::fatal("ruleid by tgt %s already exists", text(id));
    }
    diag::fatal("ruleid by tgt %s already exists in rule at prefix %s line %d", text(id), prefix,
                line);
  }
  sttable[id].ruleid_by_tgt = rule_id;
  stats.ruleid_by_tgt_entries++;
}

bool is_dry_remade(strid id) { return sttable[id].flags & k_flag_dry_remade; }
void set_dry_remade(strid id) { sttable[id].flags |= k_flag_dry_remade; }
bool is_cdep_file(strid id) { return sttable[id].flags & k_flag_cdep_file; }
void set_cdep_file(strid id) { sttable[id].flags |= k_flag_cdep_file; }

const stringtab_stats& stringtab_statistics() { return stats; }

}  // namespace kiln::graph
