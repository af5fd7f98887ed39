#include "db/database.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/diag.h"
#include "cli/settings.h"
#include "db/db_format.h"
#include "db/db_tables.h"
#include "graph/rule.h"

namespace kiln::db {

namespace {

// Process-wide state of the database file.
struct db_state {
  FILE* stream = nullptr;
  int fd = -1;
  bool existed = false;  // the file was there before this run
  bool loaded = false;   // contents read; written back at exit
  std::string path;      // absolute, fixed at open
};

db_state g_db;

// Failures of open, lock and truncate end the run at once: nothing has
// been read or changed yet, so no write-back is due.
[[noreturn]] void fail(const char* message) {
  fflush(stdout);
  fputs(message, stderr);
  fflush(stderr);
  exit(2);
}

std::string absolute_path(const char* path) {
  if (path[0] == '/') return path;
  char* cwd = getcwd(nullptr, 0);
  if (!cwd) return path;
  std::string full = cwd;
  free(cwd);
  full += '/';
  full += path;
  return full;
}

bool lock_whole_file(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end, however long the file grows
  return fcntl(fd, F_SETLK, &lock) == 0;
}

bool tables_empty(int version) {
  if (cmd_db_first()) return false;
  return version == 1 || tssz_db_first() == nullptr;
}

// Closes the stream and removes the file.
void close_and_remove() {
  fclose(g_db.stream);
  g_db.stream = nullptr;
  g_db.fd = -1;
  unlink(g_db.path.c_str());
}

// A rule that ran: a fresh entry for each target.
int record_targets(const graph::rule* r, command_builder& commands) {
  commands.clear();
  commands.add_commands(r->commands, r->n_commands);
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
    if (cmd_db_insert(t->id, r->prefix, commands) < 0) return -12;
  }
  return 0;
}

// A rule that was started and did not complete: its targets lose their
// entries, so the recipe runs again next time.
void forget_targets(const graph::rule* r) {
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
    if (cfg.debug) diag::trace("removing %s from DB\n", graph::text(t->id));
    cmd_db_remove(t->id);
  }
}

}  // namespace

int update_cmd_db_from_rules() {
  command_builder commands;
  size_t n = graph::rule_count();
  for (size_t i = 0; i < n; i++) {
    const graph::rule* r = graph::rule_at(static_cast<graph::ruleid>(i));
    if (r->flags & graph::k_rule_ran) {
      if (record_targets(r, commands) < 0) return -12;
    } else if (r->flags & graph::k_rule_started) {
      forget_targets(r);
    }
  }
  return 0;
}

void db_open(const char* path) {
  g_db.path = absolute_path(path);
  g_db.existed = access(g_db.path.c_str(), F_OK) == 0;
  g_db.stream = fopen(g_db.path.c_str(), "a+");
  if (!g_db.stream) fail("kiln: *** Can't open DB. Exiting.\n");
  fseek(g_db.stream, 0, SEEK_SET);
  g_db.fd = fileno(g_db.stream);
  if (g_db.fd < 0) fail("kiln: *** Can't get DB fileno. Exiting.\n");
  // Children close it explicitly; close-on-exec covers any other exec.
  fcntl(g_db.fd, F_SETFD, fcntl(g_db.fd, F_GETFD) | FD_CLOEXEC);
  if (!lock_whole_file(g_db.fd)) fail("kiln: *** Can't lock DB. Other kiln running? Exiting.\n");
}

void db_load() {
  db_tables_init(cfg.db_hash_size, cfg.tsdb_hash_size);
  if (!g_db.stream) {  // never opened: nothing to read
    g_db.loaded = true;
    return;
  }
  // Marked loaded only once read: a fatal error while reading (string
  // table full, no memory) must not make the exit's write-back append
  // partial tables to the file, which is not truncated yet.
  int r = db_read(g_db.stream);
  g_db.loaded = true;
  if (!cfg.question) {
    fflush(g_db.stream);
    if (ftruncate(g_db.fd, 0) != 0) fail("kiln: *** Can't truncate DB. Exiting.\n");
  }
  if (r < 0) {
    fflush(stdout);
    fputs("kiln: *** Incompatible DB version. Truncating.\n", stderr);
    db_tables_clear();
  }
  fseek(g_db.stream, 0, SEEK_END);
}

int db_write(int version) {
  if (!g_db.stream) return 0;
  if (cfg.question) {
    // -q changes nothing; a file that only this run's open created is
    // removed again rather than left behind empty.
    if (!g_db.existed) close_and_remove();
    return 0;
  }
  int updated = update_cmd_db_from_rules();
  if (tables_empty(version) && !g_db.existed) {
    close_and_remove();
    return 0;
  }
  int r = db_write_tables(g_db.stream, version);
  if (updated < 0) r = -1;
  if (fflush(g_db.stream) != 0 || ferror(g_db.stream)) r = -1;
  int closed = fclose(g_db.stream);
  g_db.stream = nullptr;
  g_db.fd = -1;
  return r < 0 ? -1 : closed;
}

int db_write_back() {
  if (g_db.loaded) return db_write(cfg.db_version == db_v1 ? 1 : 2);
  if (g_db.stream && !g_db.existed && tables_empty(2)) close_and_remove();
  return 0;
}

void db_install_write_back_hook() { diag::hooks.write_back_db = db_write_back; }

int db_fileno() { return g_db.fd; }

bool db_is_loaded() { return g_db.loaded; }

bool db_existed_before() { return g_db.existed; }

void db_print_statistics() {
  db_table_stats s = db_table_statistics();
  printf("  dbe: %zu %zu\n", s.dbe_count, s.dbe_bytes);
  printf("  tsdbe: %zu %zu\n", s.tsdbe_count, s.tsdbe_bytes);
}

void db_reset() {
  if (g_db.stream) fclose(g_db.stream);
  g_db = db_state();
  db_tables_clear();
}

}  // namespace kiln::db
