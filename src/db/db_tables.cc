#include "db/db_tables.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <unordered_map>

#include "base/fib_hash.h"
#include "base/result_codes.h"

namespace kiln::db {

namespace {

constexpr size_t k_default_bucket_count = 8192;
// The bucket count a table starts with is only its initial size: it
// doubles whenever the entries outnumber the buckets twice.
constexpr size_t k_max_load = 2;
constexpr size_t k_max_buckets = size_t{1} << 30;

uint32_t key_of(const dbe* e) { return static_cast<uint32_t>(e->target); }
uint32_t key_of(const tsdbe* e) { return static_cast<uint32_t>(e->file); }
uint32_t key_of(const cdepe* e) { return static_cast<uint32_t>(e->file); }

// One table: hashed buckets of trees ordered by id, plus the
// insertion-ordered list. Entries are owned by the caller's allocator.
template <class entry>
struct table {
  // Whether the list is singly linked (the entry has no `prev`).
  static constexpr bool k_singly_linked = std::is_same_v<entry, tsdbe>;

  std::vector<graph::rb_node*> buckets;
  entry* first = nullptr;
  entry* last = nullptr;
  size_t count = 0;       // entries (listed ones too during a bulk load)
  size_t n_replaced = 0;  // replaced entries still on a singly linked list
  bool loading = false;   // bulk load: entries are only listed (see end_load)

  graph::rb_node** bucket_of(uint32_t key) {
    return &buckets[fib_bucket(key, buckets.size())];
  }

  // Orders the bucket trees by id as an unsigned number.
  static auto key_cmp(uint32_t key) {
    return [key](const graph::rb_node* x) {
      uint32_t k = key_of(static_cast<const entry*>(x));
      return key < k ? -1 : key > k ? 1 : 0;
    };
  }

  entry* find(uint32_t key) {
    if (buckets.empty()) return nullptr;
    return static_cast<entry*>(graph::rb_find(*bucket_of(key), key_cmp(key)));
  }

  // Links a new entry at the end of the list. An entry with the same key
  // leaves the tree and the list and is returned for the caller to free.
  // One tree walk when the key is new. A table used before db_tables_init
  // gets the default bucket count.
  //
  // In the singly linked `tssz DB` list the old entry is only marked
  // replaced (and not returned): purge() drops it later.
  entry* link(entry* e) {
    if (loading) {
      append(e);
      return nullptr;
    }
    if (buckets.empty()) buckets.assign(k_default_bucket_count, nullptr);
    entry* old = insert_replacing(e);
    if (old) {
      if constexpr (k_singly_linked) {
        old->replaced = true;
        n_replaced++;
        count--;
        old = nullptr;
      } else {
        unlink_list(old);
      }
    }
    append(e);
    if (count > buckets.size() * k_max_load && buckets.size() < k_max_buckets) grow();
    return old;
  }

  // Puts e into its bucket's tree; an entry with the same id leaves the
  // tree for it and is returned (the list is the caller's).
  entry* insert_replacing(entry* e) {
    uint32_t key = key_of(e);
    graph::rb_node** root = bucket_of(key);
    auto cmp = key_cmp(key);
    entry* old = static_cast<entry*>(graph::rb_insert_unique(root, e, cmp));
    if (old) {
      graph::rb_erase(root, old);
      graph::rb_insert_unique(root, e, cmp);
    }
    return old;
  }

  void append(entry* e) {
    if constexpr (!k_singly_linked) e->prev = last;
    e->next = nullptr;
    if (last)
      last->next = e;
    else
      first = e;
    last = e;
    count++;
  }

  // The bucket count that doubling from `from` reaches for the present
  // entries.
  size_t grown_bucket_count(size_t from) const {
    size_t n = from;
    while (count > n * k_max_load && n < k_max_buckets) n *= 2;
    return n;
  }

  // Puts every listed entry into its tree, following the list.
  void insert_listed() {
    for (entry* e = first; e; e = e->next) {
      if constexpr (k_singly_linked) {
        if (e->replaced) continue;
      }
      uint32_t key = key_of(e);
      graph::rb_insert_unique(bucket_of(key), e, key_cmp(key));
    }
  }

  // Ends a bulk load: sizes the buckets once, as the doubling would have,
  // and puts every listed entry into its tree; of entries with the same
  // id the later one stays, as if each had been linked on its own
  // (free_entry gets the others).
  template <class Free>
  void end_load(Free free_entry) {
    loading = false;
    size_t from = buckets.empty() ? k_default_bucket_count : buckets.size();
    buckets.assign(grown_bucket_count(from), nullptr);
    bool had_duplicates = false;
    for (entry* e = first; e;) {
      entry* next = e->next;
      if (entry* old = insert_replacing(e)) {
        had_duplicates = true;
        if constexpr (k_singly_linked) {
          old->replaced = true;
          n_replaced++;
          count--;
        } else {
          unlink_list(old);
          free_entry(old);
        }
      }
      e = next;
    }
    // Fewer entries than lines read: the doubling stopped earlier.
    if (had_duplicates && grown_bucket_count(from) < buckets.size()) {
      buckets.assign(grown_bucket_count(from), nullptr);
      insert_listed();
    }
  }

  // Doubles the bucket count and re-inserts every entry, following the
  // list (whose order, the file's, does not change).
  void grow() {
    buckets.assign(buckets.size() * 2, nullptr);
    insert_listed();
  }

  // Takes the replaced entries off the singly linked list, handing each
  // to free_entry.
  template <class Free>
  void purge(Free free_entry) {
    if (n_replaced == 0) return;
    entry** link_to = &first;
    last = nullptr;
    while (entry* e = *link_to) {
      if (e->replaced) {
        *link_to = e->next;
        free_entry(e);
      } else {
        last = e;
        link_to = &e->next;
      }
    }
    n_replaced = 0;
  }

  void unlink_list(entry* e) {
    if (e->prev)
      e->prev->next = e->next;
    else
      first = e->next;
    if (e->next)
      e->next->prev = e->prev;
    else
      last = e->prev;
    count--;
  }

  void unlink(entry* e) {
    graph::rb_erase(bucket_of(key_of(e)), e);
    unlink_list(e);
  }

  void reset(size_t bucket_count) {
    buckets.assign(bucket_count, nullptr);
    first = last = nullptr;
    count = 0;
    n_replaced = 0;
    loading = false;
  }
};

table<dbe> g_cmd;
table<tsdbe> g_tssz;
table<cdepe> g_cdep;
bool g_cdep_only_used = false;
size_t g_dbe_bytes = 0;
bool g_changed = false;  // see db_tables_changed

// `tsdbe` records come from chunks and are recycled through a free list
// (linked through `next`); chunks live until exit.
constexpr size_t k_tsdbe_chunk = 4096;
std::vector<std::unique_ptr<tsdbe[]>> g_tsdbe_chunks;
tsdbe* g_tsdbe_free = nullptr;

// The observed values of the entries marked observed_other.
std::unordered_map<const tsdbe*, tssz_values> g_observed;

// The entry's observed values are its stored ones again.
void forget_observed(tsdbe* e) {
  if (e->observed_other) g_observed.erase(e);
  e->observed_other = false;
}

tsdbe* new_tsdbe() {
  if (!g_tsdbe_free) {
    tsdbe* chunk = new (std::nothrow) tsdbe[k_tsdbe_chunk];
    if (!chunk) return nullptr;
    g_tsdbe_chunks.emplace_back(chunk);
    for (size_t i = k_tsdbe_chunk; i-- > 0;) {
      chunk[i].next = g_tsdbe_free;
      g_tsdbe_free = &chunk[i];
    }
  }
  tsdbe* e = g_tsdbe_free;
  g_tsdbe_free = e->next;
  *e = tsdbe();
  return e;
}

void free_tsdbe(tsdbe* e) {
  forget_observed(e);
  e->next = g_tsdbe_free;
  g_tsdbe_free = e;
}

void free_cdepe(cdepe* e) {
  e->~cdepe();
  free(e);
}

// The entry whose block holds e's commands (e itself unless it shares).
dbe* block_owner(const dbe* e) {
  return reinterpret_cast<dbe*>(const_cast<uint32_t*>(e->commands.starts)) - 1;
}

void free_dbe(dbe* e) {
  dbe* owner = block_owner(e);
  if (e != owner) {
    g_dbe_bytes -= e->bytes;
    e->~dbe();
    free(e);
  }
  if (--owner->users == 0) {
    g_dbe_bytes -= owner->bytes;
    owner->~dbe();
    free(owner);
  }
}

// Whether the entry holds the builder's commands.
bool same_commands(const dbe* e, const command_builder& b) {
  if (e->n_commands != b.command_sizes.size()) return false;
  size_t k = 0;
  size_t at = 0;
  for (size_t c = 0; c < e->n_commands; c++) {
    db_command cmd = e->commands[c];
    if (cmd.n_words != b.command_sizes[c]) return false;
    for (uint32_t i = 0; i < cmd.n_words; i++, k++) {
      db_word w = cmd.words[i];
      uint32_t len = b.word_lengths[k];
      if (w.length != len || memcmp(w.text, b.text.data() + at, len) != 0) return false;
      at += len;
    }
  }
  return true;
}

// Builds the one block of a `dbe` (see its layout in db_tables.h), or the
// record alone sharing the block of `before` when that entry has the same
// directory and commands. Null when out of memory or when the texts
// exceed the 32-bit offsets.
dbe* new_dbe(graph::strid target, graph::strid directory, const command_builder& b,
             const dbe* before) {
  if (before && before->directory == directory && same_commands(before, b)) {
    void* block = malloc(sizeof(dbe));
    if (!block) return nullptr;
    dbe* e = new (block) dbe();
    e->target = target;
    e->directory = directory;
    e->n_commands = before->n_commands;
    e->commands = before->commands;
    e->bytes = sizeof(dbe);
    block_owner(before)->users++;
    g_dbe_bytes += sizeof(dbe);
    return e;
  }
  size_t n_commands = b.command_sizes.size();
  size_t n_words = b.word_lengths.size();
  size_t bounds_bytes = (n_words + 1) * sizeof(uint32_t);
  size_t text_bytes = b.text.size() + n_words;
  size_t bytes = sizeof(dbe) + (n_commands + 1) * sizeof(uint32_t) + bounds_bytes + text_bytes;
  if (bounds_bytes + text_bytes > UINT32_MAX || bytes > UINT32_MAX) return nullptr;
  void* block = malloc(bytes);
  if (!block) return nullptr;
  dbe* e = new (block) dbe();
  auto* starts = reinterpret_cast<uint32_t*>(e + 1);
  uint32_t* bounds = starts + n_commands + 1;
  char* text = reinterpret_cast<char*>(bounds + n_words + 1);
  uint32_t w = 0;
  for (size_t c = 0; c < n_commands; c++) {
    starts[c] = w;
    w += b.command_sizes[c];
  }
  starts[n_commands] = w;
  const char* src = b.text.data();
  uint32_t offset = static_cast<uint32_t>(bounds_bytes);
  for (size_t k = 0; k < n_words; k++) {
    uint32_t len = b.word_lengths[k];
    bounds[k] = offset;
    memcpy(text, src, len);
    text[len] = '\0';
    text += len + 1;
    src += len;
    offset += len + 1;
  }
  bounds[n_words] = offset;
  e->target = target;
  e->directory = directory;
  e->n_commands = static_cast<uint32_t>(n_commands);
  e->commands = {starts, bounds};
  e->bytes = static_cast<uint32_t>(bytes);
  g_dbe_bytes += bytes;
  return e;
}

}  // namespace

void command_builder::clear() {
  text.clear();
  word_lengths.clear();
  command_sizes.clear();
}

void command_builder::begin_command() { command_sizes.push_back(0); }

void command_builder::add_word(const char* word, size_t length) {
  text.append(word, length);
  word_lengths.push_back(static_cast<uint32_t>(length));
  command_sizes.back()++;
}

void command_builder::add_length(size_t length) {
  word_lengths.push_back(static_cast<uint32_t>(length));
  command_sizes.back()++;
}

void command_builder::add_commands(const char* const* const* commands, size_t n_commands) {
  for (size_t c = 0; c < n_commands; c++) {
    begin_command();
    for (const char* const* w = commands[c]; *w; w++) add_word(*w, strlen(*w));
  }
}

void db_tables_init(size_t cmd_bucket_count, size_t tssz_bucket_count) {
  db_tables_clear();
  g_cmd.reset(cmd_bucket_count);
  g_tssz.reset(tssz_bucket_count);
  g_cdep.reset(tssz_bucket_count);
}

void db_tables_clear() {
  for (dbe* e = g_cmd.first; e;) {
    dbe* next = e->next;
    free_dbe(e);
    e = next;
  }
  for (tsdbe* e = g_tssz.first; e;) {
    tsdbe* next = e->next;
    free_tsdbe(e);
    e = next;
  }
  for (cdepe* e = g_cdep.first; e;) {
    cdepe* next = e->next;
    free_cdepe(e);
    e = next;
  }
  g_cmd.reset(g_cmd.buckets.size());
  g_tssz.reset(g_tssz.buckets.size());
  g_cdep.reset(g_cdep.buckets.size());
  g_cdep_only_used = false;
  g_changed = true;
}

void db_tables_begin_load() {
  g_cmd.loading = true;
  g_tssz.loading = true;
}

void db_tables_end_load() {
  g_cmd.end_load(free_dbe);
  g_tssz.end_load(free_tsdbe);
}

const dbe* cmd_db_lookup(graph::strid target) {
  return g_cmd.find(static_cast<uint32_t>(target));
}

int cmd_db_insert(graph::strid target, graph::strid directory, const command_builder& commands) {
  dbe* e = new_dbe(target, directory, commands, g_cmd.last);
  if (!e) return base::rc_no_memory;
  if (dbe* old = g_cmd.link(e)) free_dbe(old);
  g_changed = true;
  return 0;
}

bool cmd_db_remove(graph::strid target) {
  dbe* old = g_cmd.find(static_cast<uint32_t>(target));
  if (!old) return false;
  g_cmd.unlink(old);
  free_dbe(old);
  g_changed = true;
  return true;
}

const dbe* cmd_db_first() { return g_cmd.first; }

tsdbe* tssz_db_lookup(graph::strid file) { return g_tssz.find(static_cast<uint32_t>(file)); }

int tssz_db_insert_stored(graph::strid file, int64_t sec, int64_t nsec, int64_t size) {
  tsdbe* e = new_tsdbe();
  if (!e) return base::rc_no_memory;
  e->file = file;
  e->stored_sec = sec;
  e->stored_nsec = nsec;
  e->stored_size = size;
  g_tssz.link(e);
  g_changed = true;
  return 0;
}

tssz_values tssz_db_written(const tsdbe* e) {
  if (e->observed_other) return g_observed.find(e)->second;
  return {e->stored_sec, e->stored_nsec, e->stored_size};
}

void tssz_db_observe(tsdbe* e, int64_t sec, int64_t nsec, int64_t size) {
  tssz_values old = tssz_db_written(e);
  if (old.sec != sec || old.nsec != nsec || old.size != size) g_changed = true;
  e->updated = true;
  if (sec != e->stored_sec || nsec != e->stored_nsec || size != e->stored_size) {
    g_observed[e] = tssz_values{sec, nsec, size};
    e->observed_other = true;
  } else {
    forget_observed(e);
  }
}

int tssz_db_record(graph::strid file, int64_t sec, int64_t nsec, int64_t size) {
  tsdbe* e = g_tssz.find(static_cast<uint32_t>(file));
  if (!e) {
    e = new_tsdbe();
    if (!e) return base::rc_no_memory;
    e->file = file;
    g_tssz.link(e);
    g_changed = true;
  }
  tssz_db_observe(e, sec, nsec, size);
  e->stored_sec = sec;
  e->stored_nsec = nsec;
  e->stored_size = size;
  forget_observed(e);
  return 0;
}

const tsdbe* tssz_db_first() {
  g_tssz.purge(free_tsdbe);
  return g_tssz.first;
}

cdepe* cdep_db_lookup(graph::strid file) { return g_cdep.find(static_cast<uint32_t>(file)); }

int cdep_db_insert(graph::strid file, graph::strid base, const file_stamp& stamp,
                   const graph::strid* ids, size_t n_ids, bool used) {
  void* block = malloc(sizeof(cdepe) + n_ids * sizeof(graph::strid));
  if (!block) return base::rc_no_memory;
  cdepe* e = new (block) cdepe();
  e->file = file;
  e->base = base;
  e->stamp = stamp;
  e->used = used;
  e->n_ids = static_cast<uint32_t>(n_ids);
  e->ids = reinterpret_cast<graph::strid*>(e + 1);
  if (n_ids) memcpy(e->ids, ids, n_ids * sizeof(graph::strid));
  if (cdepe* old = g_cdep.link(e)) free_cdepe(old);
  g_changed = true;
  return 0;
}

void cdep_db_remove(graph::strid file) {
  cdepe* old = g_cdep.find(static_cast<uint32_t>(file));
  if (!old) return;
  g_cdep.unlink(old);
  free_cdepe(old);
  g_changed = true;
}

const cdepe* cdep_db_first() { return g_cdep.first; }

void cdep_db_set_only_used(bool only_used) { g_cdep_only_used = only_used; }

bool cdep_db_only_used() { return g_cdep_only_used; }

size_t cmd_db_bucket_count() { return g_cmd.buckets.size(); }
size_t tssz_db_bucket_count() { return g_tssz.buckets.size(); }

bool db_tables_changed() { return g_changed; }

void db_tables_clear_changed() { g_changed = false; }

db_table_stats db_table_statistics() {
  db_table_stats s;
  s.dbe_count = g_cmd.count;
  s.dbe_bytes = g_dbe_bytes;
  s.tsdbe_count = g_tssz.count;
  s.tsdbe_bytes = g_tssz.count * sizeof(tsdbe);
  return s;
}

}  // namespace kiln::db
