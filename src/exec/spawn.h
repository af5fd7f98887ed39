// Starting recipe commands and touch commands as child processes, the
// command echo, the table of running children and the directory-tree
// walks used for recursive targets and dependencies.
//
// Children are started with posix_spawnp only; everything a child needs
// (closed descriptors, output redirected into a pipe) is a spawn file
// action, so kiln stays one thread. A rule counts as one running child from
// its first command to its last: later commands reuse the rule's job slot.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "exec/syncbuf.h"
#include "graph/rule.h"

namespace kiln::exec {

// The two process calls of a build: starting a child (posix_spawnp) and
// collecting an ended one (waitpid). The build uses the system's own; tests
// put an in-memory command runner here, whose children end through the same
// reaping as real ones.
struct process_calls {
  int (*spawn)(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
               const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]);
  pid_t (*wait)(pid_t pid, int* status, int options);
};

// posix_spawnp and waitpid of the system.
extern const process_calls k_real_processes;

// The calls in use; k_real_processes unless a test replaced them.
extern process_calls processes;

// One running child: found by pid and by output descriptor (64 buckets
// each) and linked in one list that signal forwarding walks.
struct child {
  pid_t pid = -1;
  graph::ruleid rule_id = -1;
  int fd = -1;            // read end of the output pipe, or -1
  bool ignore = false;    // the command's "I" marker
  child* pid_next = nullptr;
  child* fd_next = nullptr;
  child* prev = nullptr;  // list of all children
  child* next = nullptr;
};

// Registers a child; internal error "12" when the pid is already known.
void child_add(pid_t pid, graph::ruleid rule_id, int fd, bool ignore);

// The child with this pid, or null.
child* child_by_pid(pid_t pid);

// The child reading from this descriptor, or null.
child* child_by_fd(int fd);

// Unlinks and frees a child; internal error "12.5" when it is not linked.
void child_remove(child* c);

// The first child of the list (follow `next`), or null.
child* first_child();

// Commands running, one per rule with a child.
extern int children_count;

// Child entries made in this run (the memory statistics' ruleid_by_pid).
extern size_t children_made;

// Descriptors the loop watches: output pipes being read.
void watch_fd(int fd);
void unwatch_fd(int fd);
bool is_watched(int fd);
// Highest watched descriptor, or -1.
int max_watched_fd();

// Descriptors every child closes: the database file and both ends of the
// loop's self-pipe (-1 for none).
void set_inherited_fds(int db_fd, int self_pipe_read, int self_pipe_write);

// The rule's output buffer, made on first use.
syncbuf* rule_syncbuf(graph::rule* r);

// Whether the command is a sub-make: marker "M" or a make program name.
bool is_submake(char* const* words);

// The argument words (from word 3) joined by single blanks.
std::string join_command_words(char* const* words);

// The echo line "[dir, target] words\n" for the argument words.
std::string echo_line(const graph::rule* r, char* const* words);

// Starts the rule's next command; returns the pid and stores the output
// pipe's read end (or -1) in *out_fd. Every failure is fatal.
pid_t spawn_command(graph::ruleid rule_id, bool sync_on, bool recurse, int* out_fd);

// Touch mode: starts "touch" on the rule's next target ("true" under -n).
pid_t spawn_touch(graph::ruleid rule_id, bool sync_on, bool recurse, int* out_fd);

// Whether the rule has another command (touch mode: another target).
bool has_next_step(const graph::rule* r);

// Reads a child's output pipe into the rule's buffer until it would block
// (returns 0) or ends (returns 1, the descriptor is no longer watched).
int drain_output_pipe(graph::rule* r, int fd);

// Writes the rule's buffered output to standard output.
void flush_rule_output(graph::rule* r);

// A (seconds, nanoseconds) modification time.
struct file_time {
  int64_t sec = 0;
  int64_t nsec = 0;
};

// Whether a is later than b.
inline bool later(file_time a, file_time b) {
  return a.sec != b.sec ? a.sec > b.sec : a.nsec > b.nsec;
}

// The newest modification time of path and everything below it; for a
// `rectgt` rule the own times of its targets do not count.
file_time newest_tree_time(const graph::rule* r, const char* path);

// Sets every entry below path, then path itself, back to t where its
// (followed or own) time is later.
void touch_tree(const char* path, file_time t);

// Forgets every child and watched descriptor (tests only).
void spawn_reset();

}  // namespace kiln::exec
