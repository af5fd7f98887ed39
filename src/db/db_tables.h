// The two in-memory tables of the build database.
//
// The `cmd DB` holds one `dbe` per target whose recipe last ran to
// success: the rule's directory and the command vectors that were run. The
// `tssz DB` holds one `tsdbe` per file: the modification time and size
// stored in the database and those observed in this run.
//
// Both tables have the same shape: a power-of-two array of buckets (the
// configured count to begin with, doubled whenever the entries outnumber
// the buckets twice), the
// bucket of id k being the top bits of k * 0x9E3779B97F4A7C15 (Fibonacci
// hashing, base/fib_hash.h); each bucket a red-black tree ordered by the id as an
// unsigned number; and every entry of a table on one linked list in
// insertion order, which the writer follows (doubly linked for the cmd
// DB, singly for the tssz DB). Inserting an id that is already present
// replaces the old entry: the old one leaves its tree and the list, the
// new one goes to the end of the list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "graph/rbtree.h"
#include "graph/stringtab.h"

namespace kiln::db {

// One stored word: its bytes (also NUL-terminated) and its length, which
// counts any NUL inside.
struct db_word {
  const char* text;
  uint32_t length;
};

// The words of one stored command, read out of its entry's block.
struct db_word_list {
  const uint32_t* bounds = nullptr;  // the entry's word bounds (see dbe)
  uint32_t first = 0;                // the command's first word

  db_word operator[](size_t i) const {
    const uint32_t* b = bounds + first + i;
    return {reinterpret_cast<const char*>(bounds) + b[0], b[1] - b[0] - 1};
  }
};

// One stored command vector: the three marker words, then the arguments.
struct db_command {
  db_word_list words;
  uint32_t n_words;
};

// The command vectors of an entry.
struct db_command_list {
  const uint32_t* starts = nullptr;  // see dbe
  const uint32_t* bounds = nullptr;

  db_command operator[](size_t c) const {
    return {{bounds, starts[c]}, starts[c + 1] - starts[c]};
  }
};

// An entry of the `cmd DB`. Allocated as one block: the record, then
// `starts` (n_commands + 1 word indices: command c has the words
// starts[c] to starts[c + 1] - 1), then `bounds` (one per word plus one:
// word k's text begins bounds[k] bytes after the array itself and ends,
// with its NUL, where word k + 1 begins), then the texts.
//
// The targets of one rule are stored one after another with the same
// commands: an entry whose directory and commands equal those of the
// entry before it is the record alone, its `commands` pointing into that
// entry's block, which stays allocated (out of the table if it left it)
// until no entry uses it.
struct dbe : graph::rb_node {
  dbe* prev = nullptr;  // insertion-ordered list
  dbe* next = nullptr;
  graph::strid target = -1;
  graph::strid directory = -1;
  uint32_t n_commands = 0;
  uint32_t bytes = 0;  // size of the whole block
  uint32_t users = 1;  // entries whose commands are in this block, itself included
  db_command_list commands;
};

// An entry of the `tssz DB`. Its list is singly linked: an entry that a
// later one of the same file replaces leaves the tree at once but stays
// on the list, marked replaced, until the list is next read.
//
// Values observed in this run that differ from the stored ones are kept
// beside the table: in a large tree nearly every observation matches.
struct tsdbe : graph::rb_node {
  tsdbe* next = nullptr;  // insertion-ordered list
  graph::strid file = -1;
  bool updated = false;   // values were observed in this run
  bool replaced = false;  // left the tree; dropped from the list on the next read
  bool observed_other = false;  // updated with values other than the stored ones
  int64_t stored_sec = 0;
  int64_t stored_nsec = 0;
  int64_t stored_size = 0;
};

// A time and size as the tssz DB keeps them.
struct tssz_values {
  int64_t sec = 0;
  int64_t nsec = 0;
  int64_t size = 0;
};

// The identity of a file as lstat gives it: when any part differs, the
// file changed.
struct file_stamp {
  int64_t sec = 0;
  int64_t nsec = 0;
  int64_t size = 0;
  uint64_t ino = 0;
};

// An entry of the dependency-file cache: what a compiler dependency file
// said when it had this identity, so that an unchanged file need not be
// read again. `ids` holds each rule line as its target count, its
// dependency count, the targets and the dependencies, every name resolved
// against `base` (the @autotarget name is not among them).
struct cdepe : graph::rb_node {
  cdepe* prev = nullptr;  // insertion-ordered list
  cdepe* next = nullptr;
  graph::strid file = -1;
  graph::strid base = -1;
  file_stamp stamp;
  bool used = false;  // read or confirmed in this run
  uint32_t n_ids = 0;
  graph::strid* ids = nullptr;  // allocated after the record
};

// Commands being collected for a new `dbe`: every word back to back with
// its length, grouped into commands by word counts.
struct command_builder {
  std::string text;
  std::vector<uint32_t> word_lengths;
  std::vector<uint32_t> command_sizes;  // words per command

  void clear();
  void begin_command();
  // Adds a word to the command begun last.
  void add_word(const char* word, size_t length);
  // Counts the last length bytes already appended to text as a word of
  // the command begun last.
  void add_length(size_t length);
  // Appends n_commands command vectors, each a null-terminated word
  // array.
  void add_commands(const char* const* const* commands, size_t n_commands);
};

// Allocates the bucket arrays of both tables (powers of two) and empties
// them.
void db_tables_init(size_t cmd_bucket_count, size_t tssz_bucket_count);

// Frees every entry of both tables; the bucket arrays stay.
void db_tables_clear();

// A bulk load of the cmd DB and the tssz DB: in between, inserted entries
// are only listed (lookups do not see them); the end puts them into the
// buckets at once, with the bucket count and the entries the inserts one
// by one would have left.
void db_tables_begin_load();
void db_tables_end_load();

// The `dbe` of a target, or null.
const dbe* cmd_db_lookup(graph::strid target);

// Creates a `dbe` from the collected commands and inserts it, replacing an
// entry of the same target. Returns 0 or -12.
int cmd_db_insert(graph::strid target, graph::strid directory, const command_builder& commands);

// Removes the target's entry; true when there was one.
bool cmd_db_remove(graph::strid target);

// The first `dbe` in list order (follow `next`), or null.
const dbe* cmd_db_first();

// The `tsdbe` of a file, or null.
tsdbe* tssz_db_lookup(graph::strid file);

// Inserts an entry with stored values as read from the file, updated
// flag clear, replacing an entry of the same file. Returns 0 or -12.
int tssz_db_insert_stored(graph::strid file, int64_t sec, int64_t nsec, int64_t size);

// Records a time and size observed in this run: an existing entry gets
// both its stored and its new values set and is marked updated (it keeps
// its place in the list); otherwise a new updated entry goes to the end.
// Returns 0 or -12.
int tssz_db_record(graph::strid file, int64_t sec, int64_t nsec, int64_t size);

// Keeps a time and size observed in this run as the entry's new values
// and marks it updated.
void tssz_db_observe(tsdbe* e, int64_t sec, int64_t nsec, int64_t size);

// The values the entry is written with: the last observed ones when it
// was updated, else the stored ones.
tssz_values tssz_db_written(const tsdbe* e);

// The first `tsdbe` in list order (follow `next`), or null.
const tsdbe* tssz_db_first();

// Whether the tables changed since the last db_tables_clear_changed: an
// entry was added, replaced or removed, or a time or size was recorded
// that differs from what the entry would have been written with before.
bool db_tables_changed();
void db_tables_clear_changed();

// The cached content of a dependency file, or null.
cdepe* cdep_db_lookup(graph::strid file);

// Caches what the file said (ids as in `cdepe`), replacing an older entry.
// used: the entry was read or confirmed in this run (not just loaded).
// Returns 0 or -12.
int cdep_db_insert(graph::strid file, graph::strid base, const file_stamp& stamp,
                   const graph::strid* ids, size_t n_ids, bool used);

// Forgets a file's entry.
void cdep_db_remove(graph::strid file);

// The first `cdepe` in list order (follow `next`), or null.
const cdepe* cdep_db_first();

// Whether entries are written only when used in this run: set once the
// run has looked at every dependency file its Kilnfiles name, so that the
// entries of files no longer named are dropped.
void cdep_db_set_only_used(bool only_used);
bool cdep_db_only_used();

// Bucket counts of the cmd DB and the tssz DB.
size_t cmd_db_bucket_count();
size_t tssz_db_bucket_count();

// Counts for the -d memory statistics: entries and the bytes they occupy.
struct db_table_stats {
  size_t dbe_count = 0;
  size_t dbe_bytes = 0;
  size_t tsdbe_count = 0;
  size_t tsdbe_bytes = 0;
};
db_table_stats db_table_statistics();

}  // namespace kiln::db
