// stringtab: every path or name of the build graph, interned once and
// handled as a dense 32-bit string id.
//
// Ids are assigned from 0 in order of first interning. The index is an
// array of buckets (a power of two: expected-strings to begin with,
// doubled whenever the strings outnumber the buckets twice), each the root of a
// red-black tree of entries ordered by memcmp over the shorter length, then
// by length. The entry array ("sttable"), indexed by id, holds the text,
// the flags and ruleid_by_tgt; it doubles when full.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln::graph {

using strid = int32_t;  // -1: none

// Creates the index and the entry array; fatal "Can't mmap sttable" on
// failure. bucket_count must be a power of two. Strings interned before
// (the first intern creates the table with the configured sizes) are
// re-indexed into the new buckets and keep their ids.
void stringtab_init(size_t bucket_count, size_t entry_count);

// Forgets every string and releases the table (tests only; the arena
// memory of the entries is not reused).
void stringtab_clear();

// The id of the text, inserting it when new. A NUL inside the text is
// internal error "22".
strid intern(const char* text, size_t length);
strid intern(const char* text);

// The id of the text, or -1 without inserting.
strid lookup(const char* text, size_t length);
strid lookup(const char* text);

// The interned text (NUL-terminated) and its length.
const char* text(strid id);
size_t text_length(strid id);

// Number of buckets of the index.
size_t stringtab_bucket_count();

// Number of interned strings.
size_t stringtab_size();

// Slots in the entry array; it doubles when full, never below 1024.
size_t stringtab_capacity();

// The rule building this string, or -2 when none.
int32_t ruleid_by_tgt(strid id);

// Records the rule building this string. A second setting is fatal
// "ruleid by tgt %s already exists in rule at prefix %s line %d" (or the
// short form when prefix is null or line negative).
void set_ruleid_by_tgt(strid id, int32_t rule_id, const char* prefix, int line);

// Mark: target remade during a dry run (-n).
bool is_dry_remade(strid id);
void set_dry_remade(strid id);

// Mark: compiler dependency file named by @cdepincludes.
bool is_cdep_file(strid id);
void set_cdep_file(strid id);

struct stringtab_stats {
  size_t entries = 0;
  size_t entry_bytes = 0;  // tree entries without their text
  size_t text_bytes = 0;
  size_t sttable_bytes = 0;
  size_t index_bytes = 0;
  size_t ruleid_by_tgt_entries = 0;  // rule ids recorded by target
};

const stringtab_stats& stringtab_statistics();

}  // namespace kiln::graph
