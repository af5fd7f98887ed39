#include "db/db_checks.h"

#include <cstring>

#include "base/diag.h"
#include "base/settings.h"
#include "db/db_tables.h"

namespace kiln::db {

namespace {

bool same_command(const db_command& stored, const char* const* words) {
  uint32_t i = 0;
  for (; words[i]; i++) {
    if (i >= stored.n_words) return false;
    db_word w = stored.words[i];
    if (strlen(words[i]) != w.length || memcmp(words[i], w.text, w.length) != 0) return false;
  }
  return i == stored.n_words;
}

}  // namespace

cmd_check cmd_db_compare(graph::strid target, graph::strid directory,
                         const char* const* const* commands, size_t n_commands) {
  const dbe* e = cmd_db_lookup(target);
  if (!e) return k_cmd_not_found;
  if (e->directory != directory) return k_cmd_other_dir;
  if (e->n_commands != n_commands) return k_cmd_other_cmd;
  for (size_t c = 0; c < n_commands; c++) {
    if (!same_command(e->commands[c], commands[c])) return k_cmd_other_cmd;
  }
  return k_cmd_same;
}

bool cmd_db_check(graph::strid target, graph::strid directory,
                  const char* const* const* commands, size_t n_commands) {
  cmd_check r = cmd_db_compare(target, directory, commands, n_commands);
  if (r != k_cmd_same && cfg.debug) {
    static const char* const k_reason[] = {"", "not found in", "has different dir in",
                                           "has different cmd in"};
    diag::trace("target %s %s cmd DB\n", graph::text(target), k_reason[r]);
  }
  return r == k_cmd_same;
}

tssz_check tssz_db_compare(graph::strid file, int64_t sec, int64_t nsec, int64_t size,
                           bool is_source) {
  tsdbe* e = tssz_db_lookup(file);
  if (!e) return k_tssz_not_found;
  if (is_source) tssz_db_observe(e, sec, nsec, size);
  if (e->stored_size != size) return k_tssz_other_size;
  if (e->stored_sec != sec || e->stored_nsec != nsec) return k_tssz_other_time;
  return k_tssz_same;
}

bool tssz_db_check(graph::strid file, int64_t sec, int64_t nsec, int64_t size, bool is_source) {
  tssz_check r = tssz_db_compare(file, sec, nsec, size, is_source);
  if (r != k_tssz_same && cfg.debug) {
    static const char* const k_reason[] = {"", "not found in", "has different size in",
                                           "has different timestamp in"};
    diag::trace("%s %s %s tssz DB\n", is_source ? "source" : "target", graph::text(file),
                k_reason[r]);
  }
  return r == k_tssz_same;
}

}  // namespace kiln::db
