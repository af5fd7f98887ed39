#include "db/database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/diag.h"
#include "base/hooks.h"
#include "base/result_codes.h"
#include "base/settings.h"
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
  bool unreadable = false;  // a syntax error abandoned the file's content
  int file_version = 0;  // version line of the file read, 0 for none
  std::string path;      // absolute, fixed at open
};

db_state g_db;

// Failures of open and lock end the run at once: nothing has
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

// Whether the descriptor still stands for the file named path: a kiln
// that replaced or removed the database in the meantime leaves the
// descriptor on a file nobody will read again.
bool is_named_file(int fd, const std::string& path) {
  struct stat by_fd, by_name;
  if (fstat(fd, &by_fd) != 0 || stat(path.c_str(), &by_name) != 0) return false;
  return by_fd.st_dev == by_name.st_dev && by_fd.st_ino == by_name.st_ino;
}

// open_locked's failures.
constexpr int k_open_failed = -1;
constexpr int k_locked = -2;

// Opens and locks the file named path, retrying while the name moves to
// another file between the open and the lock. Returns the descriptor,
// k_open_failed or k_locked (by another process).
int open_locked(const std::string& path, bool* existed) {
  for (int attempt = 0; attempt < 1000; attempt++) {
    *existed = access(path.c_str(), F_OK) == 0;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return k_open_failed;
    if (!lock_whole_file(fd)) {
      close(fd);
      return k_locked;
    }
    if (is_named_file(fd, path)) return fd;
    close(fd);
  }
  return k_locked;
}

// Flushes the directory holding path, so that a rename in it survives a
// power cut. Best effort: some file systems refuse it.
void sync_directory_of(const std::string& path) {
  std::string dir = path.substr(0, path.rfind('/'));
  int fd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Writes the tables to path + ".new", flushes it to the disk and renames
// it over the database. The new file is locked before it gets the name.
// Returns 0, or -1 with the old database left in place.
int replace_file(int version) {
  std::string new_path = g_db.path + k_db_new_suffix;
  int fd = open(new_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat old_file;
  if (fstat(g_db.fd, &old_file) == 0) fchmod(fd, old_file.st_mode & 07777);
  FILE* out = fdopen(fd, "w");
  if (!out) {
    close(fd);
    unlink(new_path.c_str());
    return -1;
  }
  int r = lock_whole_file(fd) ? db_write_tables(out, version) : -1;
  if (r == 0 && (fflush(out) != 0 || fsync(fd) != 0)) r = -1;
  if (r == 0 && rename(new_path.c_str(), g_db.path.c_str()) != 0) r = -1;
  if (r < 0) unlink(new_path.c_str());
  if (fclose(out) != 0) r = -1;
  if (r == 0) sync_directory_of(g_db.path);
  return r;
}

bool tables_empty(int version) {
  if (cmd_db_first()) return false;
  return version == 1 || tssz_db_first() == nullptr;
}

void close_stream() {
  fclose(g_db.stream);
  g_db.stream = nullptr;
  g_db.fd = -1;
}

// Removes the file, then closes it: the name goes while the lock is held.
void close_and_remove() {
  unlink(g_db.path.c_str());
  close_stream();
}

// A rule that ran: a fresh entry for each target.
int record_targets(const graph::rule* r, command_builder& commands) {
  commands.clear();
  commands.add_commands(r->commands, r->n_commands);
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
    if (cmd_db_insert(t->id, r->prefix, commands) < 0) return base::rc_no_memory;
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
      if (record_targets(r, commands) < 0) return base::rc_no_memory;
    } else if (r->flags & graph::k_rule_started) {
      forget_targets(r);
    }
  }
  return 0;
}

void db_open(const char* path) {
  g_db.path = absolute_path(path);
  // Close-on-exec: children close it explicitly too, this covers any
  // other exec. Closing any descriptor of the file would drop the lock, so
  // the stream is made on this one and kept until the end.
  int fd = open_locked(g_db.path, &g_db.existed);
  if (fd == k_open_failed) fail("kiln: *** Can't open DB. Exiting.\n");
  if (fd == k_locked) fail("kiln: *** Can't lock DB. Other kiln running? Exiting.\n");
  g_db.stream = fdopen(fd, "r");
  if (!g_db.stream) fail("kiln: *** Can't get DB fileno. Exiting.\n");
  g_db.fd = fd;
}

void db_load() {
  db_tables_init(cfg.db_hash_size, cfg.tsdb_hash_size);
  if (!g_db.stream) {  // never opened: nothing to read
    g_db.loaded = true;
    return;
  }
  // Marked loaded only once read: a fatal error while reading (string
  // table full, no memory) leaves the file as it was.
  int r = db_read(g_db.stream, k_db_file_name, &g_db.file_version);
  g_db.loaded = true;
  if (r < 0) {
    fflush(stdout);
    fputs("kiln: *** Incompatible DB version. Truncating.\n", stderr);
    db_tables_clear();
    g_db.unreadable = true;
  }
  db_tables_clear_changed();
}

bool db_needs_write(int version) {
  return g_db.unreadable || g_db.file_version != version || db_tables_changed();
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
  // A cmd DB that could not be brought up to date is not written: the old
  // file, which knows nothing of this run, is the safe one to keep.
  int r = updated < 0 ? -1 : db_needs_write(version) ? replace_file(version) : 0;
  close_stream();
  return r;
}

int db_write_back() {
  if (g_db.loaded) return db_write(cfg.db_version == db_v1 ? 1 : 2);
  if (g_db.stream && !g_db.existed && tables_empty(2)) close_and_remove();
  return 0;
}

void db_install_write_back_hook() { up.write_back_db = db_write_back; }

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
