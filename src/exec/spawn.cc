#include "exec/spawn.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "base/diag.h"
#include "base/settings.h"
#include "exec/progress.h"
#include "graph/path.h"
#include "graph/stringtab.h"
#include "jobserver/jobserver.h"

extern char** environ;

namespace kiln::exec {

const process_calls k_real_processes = {::posix_spawnp, ::waitpid};
process_calls processes = k_real_processes;

int children_count = 0;
size_t children_made = 0;

namespace {

constexpr int k_child_buckets = 64;

child* by_pid[k_child_buckets] = {};
child* by_fd[k_child_buckets] = {};
child* all_first = nullptr;

fd_set watched;
bool watched_ready = false;
int watched_max = -1;

// Output buffers of the rules that ran a command; they live until exit
// like the rules themselves (deque elements never move).
std::deque<syncbuf> rule_buffers;

int db_fd = -1;
int self_pipe_fds[2] = {-1, -1};

// Programs taken for sub-makes even without the "M" marker.
const char* const k_make_program_names[14] = {
    "make",           "gmake",          "/usr/bin/make",       "/usr/bin/gmake",
    "/usr/local/bin/make", "/usr/local/bin/gmake", "/usr/pkg/bin/make", "/usr/pkg/bin/gmake",
    "/opt/bin/make",  "/opt/bin/gmake", "/opt/gnu/bin/make",   "/opt/gnu/bin/gmake",
    "/bin/make",      "/bin/gmake"};

unsigned bucket(int key) { return static_cast<unsigned>(key) % k_child_buckets; }

void ensure_watched() {
  if (!watched_ready) {
    FD_ZERO(&watched);
    watched_ready = true;
  }
}

// Everything a spawn needs beyond the argument vector.
struct spawn_plan {
  const graph::rule* r;
  char* const* argv;      // program and arguments
  const char* program;    // for the failure message
  bool submake;
  bool sync_on;
  bool recurse;
  bool echo;
  char* const* echo_words;  // marker words first
};

void close_action(posix_spawn_file_actions_t* fa, int fd) {
  if (fd < 0) return;
  if (posix_spawn_file_actions_addclose(fa, fd) != 0) diag::fatal("can't add file actions");
}

void dup_action(posix_spawn_file_actions_t* fa, int from, int to) {
  if (posix_spawn_file_actions_adddup2(fa, from, to) != 0) diag::fatal("can't add file actions");
}

void trace_args(char* const* words) {
  diag::trace("start args:\n");
  std::string line = " ";
  for (char* const* w = words; *w; w++) {
    line += ' ';
    line += *w;
  }
  diag::trace("%s\n", line.c_str());
  diag::trace("end args\n");
}

// Creates the capture pipe: read end non-blocking and close-on-exec.
void make_pipe(int p[2]) {
  if (pipe(p) != 0) diag::fatal("can't pipe output of command");
  fcntl(p[0], F_SETFL, fcntl(p[0], F_GETFL) | O_NONBLOCK);
  fcntl(p[0], F_SETFD, FD_CLOEXEC);
}

// Steps common to commands and touches: file actions, directory change,
// echo, spawn and the way back.
pid_t run_plan(const spawn_plan& plan, int p[2]) {
  posix_spawn_file_actions_t fa;
  if (posix_spawn_file_actions_init(&fa) != 0) diag::fatal("can't init file actions");
  close_action(&fa, db_fd);
  close_action(&fa, self_pipe_fds[0]);
  close_action(&fa, self_pipe_fds[1]);
  bool capture;
  if (!plan.submake) {
    close_action(&fa, jobserver::read_fd());
    if (jobserver::write_fd() != jobserver::read_fd()) close_action(&fa, jobserver::write_fd());
    if (plan.sync_on) {
      dup_action(&fa, p[1], 1);
      dup_action(&fa, p[1], 2);
      close_action(&fa, p[0]);
      close_action(&fa, p[1]);
    }
    capture = plan.sync_on;
  } else {
    if (plan.recurse) {
      dup_action(&fa, p[1], 1);
      dup_action(&fa, p[1], 2);
    }
    close_action(&fa, p[0]);
    close_action(&fa, p[1]);
    capture = plan.recurse;
  }
  int saved = open(".", O_RDONLY | O_CLOEXEC);
  if (saved < 0) diag::fatal("can't open current directory");
  const char* dir = graph::text(plan.r->prefix);
  if (chdir(dir) != 0) diag::fatal("Unable to change directory");
  jobserver::submake_channel channel;
  if (plan.submake) {
    channel = jobserver::open_submake_channel();
    std::string flags =
        jobserver::makeflags_for_submake(channel, plan.sync_on, plan.recurse, cfg.output_sync);
    setenv("MAKEFLAGS", flags.c_str(), 1);
  }
  if (plan.echo && !cfg.silent) {
    bool first = plan.r->n_commands == 0 || plan.echo_words == plan.r->commands[0];
    std::string line = progress_prefix(first) + echo_line(plan.r, plan.echo_words);
    graph::rule* r = const_cast<graph::rule*>(plan.r);
    if (capture) {
      syncbuf_append(rule_syncbuf(r), line.data(), line.size());
    } else {
      fflush(stdout);
      write_all(1, line.data(), line.size());
    }
  }
  static char true_word[] = "true";
  static char* const true_argv[] = {true_word, nullptr};
  char* const* argv = cfg.dry_run ? true_argv : plan.argv;
  pid_t pid = -1;
  int rc = processes.spawn(&pid, argv[0], &fa, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    diag::fatal("Unable to spawn child '%s' for target '%s' in directory '%s'", plan.program,
                graph::rule_name(plan.r), dir);
  }
  if (fchdir(saved) != 0) diag::fatal("can't chdir back");
  if (plan.submake) {
    unsetenv("MAKEFLAGS");
    jobserver::close_submake_channel(&channel);
  }
  close(saved);
  return pid;
}

// Registers the child and hands its output descriptor to the caller.
pid_t finish_spawn(graph::rule* r, pid_t pid, int p[2], bool ignore, int* out_fd) {
  if (p[1] >= 0) close(p[1]);
  child_add(pid, r->id, p[0], ignore);
  r->flags |= graph::k_rule_started;
  *out_fd = p[0];
  return pid;
}

}  // namespace

void child_add(pid_t pid, graph::ruleid rule_id, int fd, bool ignore) {
  if (child_by_pid(pid)) diag::internal_error("12");
  child* c = new child;
  children_made++;
  c->pid = pid;
  c->rule_id = rule_id;
  c->fd = fd;
  c->ignore = ignore;
  c->pid_next = by_pid[bucket(pid)];
  by_pid[bucket(pid)] = c;
  if (fd >= 0) {
    c->fd_next = by_fd[bucket(fd)];
    by_fd[bucket(fd)] = c;
  }
  c->next = all_first;
  if (all_first) all_first->prev = c;
  all_first = c;
}

child* child_by_pid(pid_t pid) {
  for (child* c = by_pid[bucket(pid)]; c; c = c->pid_next) {
    if (c->pid == pid) return c;
  }
  return nullptr;
}

child* child_by_fd(int fd) {
  if (fd < 0) return nullptr;
  for (child* c = by_fd[bucket(fd)]; c; c = c->fd_next) {
    if (c->fd == fd) return c;
  }
  return nullptr;
}

void child_remove(child* c) {
  child** p = &by_pid[bucket(c->pid)];
  while (*p && *p != c) p = &(*p)->pid_next;
  if (!*p) diag::internal_error("12.5");
  *p = c->pid_next;
  if (c->fd >= 0) {
    child** q = &by_fd[bucket(c->fd)];
    while (*q && *q != c) q = &(*q)->fd_next;
    if (!*q) diag::internal_error("12.5");
    *q = c->fd_next;
  }
  if (c->prev) c->prev->next = c->next;
  else all_first = c->next;
  if (c->next) c->next->prev = c->prev;
  delete c;
}

child* first_child() { return all_first; }

void watch_fd(int fd) {
  if (fd < 0) return;
  if (fd >= FD_SETSIZE) diag::internal_error("12.6");
  ensure_watched();
  FD_SET(fd, &watched);
  if (fd > watched_max) watched_max = fd;
}

void unwatch_fd(int fd) {
  if (fd < 0 || fd >= FD_SETSIZE) return;
  ensure_watched();
  FD_CLR(fd, &watched);
  while (watched_max >= 0 && !FD_ISSET(watched_max, &watched)) watched_max--;
}

bool is_watched(int fd) {
  ensure_watched();
  return fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, &watched);
}

int max_watched_fd() { return watched_max; }

void set_inherited_fds(int db, int self_pipe_read, int self_pipe_write) {
  db_fd = db;
  self_pipe_fds[0] = self_pipe_read;
  self_pipe_fds[1] = self_pipe_write;
}

syncbuf* rule_syncbuf(graph::rule* r) {
  if (!r->output) {
    syncbuf* buf = &rule_buffers.emplace_back();
    syncbuf_init(buf);
    r->output = buf;
  }
  return static_cast<syncbuf*>(r->output);
}

bool is_submake(char* const* words) {
  if (strcmp(words[2], "M") == 0) return true;
  if (!words[3]) return false;
  for (const char* name : k_make_program_names) {
    if (strcmp(words[3], name) == 0) return true;
  }
  return false;
}

std::string join_command_words(char* const* words) {
  std::string out;
  for (char* const* w = words + 3; *w; w++) {
    if (w != words + 3) out += ' ';
    out += *w;
  }
  return out;
}

std::string echo_line(const graph::rule* r, char* const* words) {
  std::string line = "[";
  line += graph::text(r->prefix);
  line += ", ";
  line += graph::rule_name(r);
  line += ']';
  for (char* const* w = words + 3; *w; w++) {
    line += ' ';
    line += *w;
  }
  line += '\n';
  return line;
}

pid_t spawn_command(graph::ruleid rule_id, bool sync_on, bool recurse, int* out_fd) {
  graph::rule* r = graph::rule_at(rule_id);
  size_t index = r->command_index;
  if (index >= r->n_commands || !r->commands || !r->commands[index] || !r->commands[index][0] ||
      !r->commands[index][1] || !r->commands[index][2] || !r->commands[index][3]) {
    puts("no arguments");
    diag::internal_error();
  }
  r->command_index++;
  char* const* words = r->commands[index];
  int p[2] = {-1, -1};
  if (sync_on) make_pipe(p);
  if (cfg.debug) trace_args(words);
  spawn_plan plan{r, words + 3, words[3], is_submake(words), sync_on, recurse,
                  strcmp(words[1], "NE") != 0 || cfg.dry_run, words};
  pid_t pid = run_plan(plan, p);
  if (index == 0) children_count++;
  return finish_spawn(r, pid, p, strcmp(words[0], "I") == 0, out_fd);
}

pid_t spawn_touch(graph::ruleid rule_id, bool sync_on, bool recurse, int* out_fd) {
  graph::rule* r = graph::rule_at(rule_id);
  bool first = !r->touch_started;
  if (first) {
    r->touch_started = true;
    r->touch_cursor = r->first_tgt;
  }
  if (!r->touch_cursor) diag::internal_error("12.7");
  const graph::tgt* t = r->touch_cursor;
  r->touch_cursor = t->next;
  std::string path = graph::text(t->id);
  if (path[0] != '/') path = graph::relative_path(graph::text(r->prefix), path);
  static char marks[3][3] = {"NI", "E", "NM"};
  static char touch_word[] = "touch";
  char* words[] = {marks[0], marks[1], marks[2], touch_word, path.data(), nullptr};
  int p[2] = {-1, -1};
  if (sync_on) make_pipe(p);
  if (cfg.debug) trace_args(words);
  spawn_plan plan{r, words + 3, "touch", false, sync_on, recurse, true, words};
  pid_t pid = run_plan(plan, p);
  if (first) children_count++;
  return finish_spawn(r, pid, p, false, out_fd);
}

bool has_next_step(const graph::rule* r) {
  if (cfg.touch) return r->touch_cursor != nullptr;
  return r->command_index < r->n_commands;
}

int drain_output_pipe(graph::rule* r, int fd) {
  char buf[10240];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      syncbuf_append(rule_syncbuf(r), buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) {
      unwatch_fd(fd);
      return 1;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    abort();
  }
}

void flush_rule_output(graph::rule* r) {
  if (!r->output) return;
  fflush(stdout);
  syncbuf_flush(static_cast<syncbuf*>(r->output), 1);
}

namespace {

file_time mtime_of(const struct stat& st) {
  return {static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

// stat and lstat of a path, fatal "can't open file %s" when either fails.
void stat_both(const char* path, struct stat* followed, struct stat* own) {
  if (stat(path, followed) != 0 || lstat(path, own) != 0) diag::fatal("can't open file %s", path);
}

file_time newer_of(const struct stat& a, const struct stat& b) {
  file_time x = mtime_of(a), y = mtime_of(b);
  return later(x, y) ? x : y;
}

// Joins dir and name into an exactly sized buffer.
std::string entry_path(const char* dir, const char* name) {
  size_t need = strlen(dir) + 1 + strlen(name);
  if (need >= PATH_MAX) diag::fatal("Pathname too long");
  std::string p = dir;
  p += '/';
  p += name;
  return p;
}

bool is_own_target(const graph::rule* r, const std::string& path) {
  graph::strid id = graph::lookup(path.c_str(), path.size());
  return id >= 0 && graph::find_target(r, id) != nullptr;
}

file_time scan_dir(const graph::rule* r, const char* path) {
  DIR* d = opendir(path);
  if (!d) diag::fatal("can't open dir %s", path);
  file_time newest{INT64_MIN, 0};
  bool rectgt = r && (r->flags & graph::k_rule_rectgt);
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    std::string p = entry_path(path, e->d_name);
    struct stat followed, own;
    stat_both(p.c_str(), &followed, &own);
    if (!(rectgt && is_own_target(r, graph::simplify_path(p)))) {
      file_time t = newer_of(followed, own);
      if (later(t, newest)) newest = t;
    }
    if (S_ISDIR(own.st_mode)) {
      file_time t = scan_dir(r, p.c_str());
      if (later(t, newest)) newest = t;
    }
  }
  closedir(d);
  return newest;
}

void set_back(const char* path, file_time t, int flags) {
  struct timespec ts[2];
  ts[0].tv_sec = static_cast<time_t>(t.sec);
  ts[0].tv_nsec = static_cast<long>(t.nsec);
  ts[1] = ts[0];
  utimensat(AT_FDCWD, path, ts, flags);
}

void touch_one(const char* path, file_time t) {
  struct stat followed, own;
  stat_both(path, &followed, &own);
  if (later(mtime_of(followed), t)) set_back(path, t, 0);
  if (later(mtime_of(own), t)) set_back(path, t, AT_SYMLINK_NOFOLLOW);
}

}  // namespace

file_time newest_tree_time(const graph::rule* r, const char* path) {
  struct stat followed, own;
  stat_both(path, &followed, &own);
  file_time newest = newer_of(followed, own);
  file_time below = scan_dir(r, path);
  return later(below, newest) ? below : newest;
}

void touch_tree(const char* path, file_time t) {
  DIR* d = opendir(path);
  if (!d) diag::fatal("can't open dir %s", path);
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    std::string p = entry_path(path, e->d_name);
    struct stat own;
    if (lstat(p.c_str(), &own) != 0) diag::fatal("can't open file %s", p.c_str());
    if (S_ISDIR(own.st_mode)) {
      touch_tree(p.c_str(), t);
    } else {
      touch_one(p.c_str(), t);
    }
  }
  closedir(d);
  touch_one(path, t);
}

void spawn_reset() {
  while (all_first) child_remove(all_first);
  ensure_watched();
  FD_ZERO(&watched);
  watched_max = -1;
  children_count = 0;
}

}  // namespace kiln::exec
