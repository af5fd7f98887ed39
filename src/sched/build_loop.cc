#include "sched/build_loop.h"

#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/diag.h"
#include "base/hooks.h"
#include "base/settings.h"
#include "db/database.h"
#include "exec/spawn.h"
#include "graph/stringtab.h"
#include "jobserver/jobserver.h"
#include "sched/consider.h"
#include "sched/stat_ahead.h"

namespace kiln::sched {

unsigned long finished_commands = 0;

namespace {

int self_pipe[2] = {-1, -1};
bool failure_mark = false;  // a command failed under -k

bool sync_on() { return cfg.output_sync != sync_none && cfg.output_sync != sync_unset; }
bool recurse() { return cfg.output_sync == sync_recurse; }

// Starts the rule's next command, or touches its next target.
void start_step(graph::ruleid id) {
  stat_ahead_stop();  // a recipe may change files it does not declare
  int fd = -1;
  if (cfg.touch) {
    exec::spawn_touch(id, sync_on(), recurse(), &fd);
  } else {
    exec::spawn_command(id, sync_on(), recurse(), &fd);
  }
  exec::watch_fd(fd);
}

// Starts queued rules while the limits allow. The first child started
// while none runs holds the implicit job slot and needs no token.
void start_children(const char* note) {
  while (run_queue_size() > 0) {
    if (exec::children_count > 0) {
      if (!jobserver::load_ok()) break;
      if (!jobserver::jobserver_try_acquire()) break;
    }
    if (cfg.debug) diag::trace("%s\n", note);
    start_step(run_queue_pop());
  }
}

void count_finished_command() {
  finished_commands++;
  if (cfg.cheer && finished_commands % 10 == 0) {
    printf("kiln: Ten more commands done, and counting!\n");
  }
}

void delete_targets(const graph::rule* r) {
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) unlink(graph::text(t->id));
}

// Drains and closes the child's pipe.
void finish_pipe(graph::rule* r, int fd) {
  if (fd < 0) return;
  exec::drain_output_pipe(r, fd);
  exec::unwatch_fd(fd);
  close(fd);
}

// One rule fewer runs; its job slot goes back unless it was the last.
void release_slot() {
  exec::children_count--;
  if (exec::children_count > 0) jobserver::jobserver_release();
}

void report_failure(graph::rule* r, int status) {
  fflush(stdout);
  if (cfg.touch) {
    fprintf(stderr, "kiln: recipe for target '%s' in directory '%s' failed\n", graph::rule_name(r),
            graph::text(r->prefix));
  } else {
    std::string words = exec::join_command_words(r->commands[r->command_index - 1]);
    fprintf(stderr, "kiln: recipe for target '%s' in directory '%s' failed\nkiln: failed command was: %s\n",
            graph::rule_name(r), graph::text(r->prefix), words.c_str());
  }
  delete_targets(r);
  if (WIFSTOPPED(status)) diag::fatal("Unknown error");
  if (WIFEXITED(status)) {
    if (!cfg.keep_going) diag::fatal("Error %d", WEXITSTATUS(status));
    fprintf(stderr, "Error %d\n", WEXITSTATUS(status));
  } else {
    if (!cfg.keep_going) diag::fatal("Error: signaled");
    fputs("Error: signaled\n", stderr);
  }
  failure_mark = true;
}

void reap_one(pid_t pid, int status) {
  exec::child* c = exec::child_by_pid(pid);
  if (!c) diag::internal_error("31");
  graph::rule* r = graph::rule_at(c->rule_id);
  bool failed = (status & ~WCOREFLAG) != 0 && !cfg.ignore_errors && !c->ignore;
  int fd = c->fd;
  exec::child_remove(c);
  if (failed) {
    finish_pipe(r, fd);
    exec::flush_rule_output(r);
    release_slot();
    report_failure(r, status);
    return;
  }
  if (fd >= 0) exec::drain_output_pipe(r, fd);
  bool more = exec::has_next_step(r);
  if (cfg.output_sync == sync_line || !more) exec::flush_rule_output(r);
  if (fd >= 0) {
    exec::unwatch_fd(fd);
    close(fd);
  }
  if (more) {
    start_step(r->id);
    count_finished_command();
    return;
  }
  release_slot();
  complete(r->id, true);
  count_finished_command();
}

// Reaps every child that has ended.
void reap_ended() {
  for (;;) {
    int status = 0;
    pid_t pid = exec::processes.wait(-1, &status, WNOHANG);
    if (pid == 0) return;
    if (pid < 0) {
      if (errno == EINTR) continue;
      if (errno == ECHILD) return;
      diag::internal_error("30");
    }
    reap_one(pid, status);
  }
}

void forward_signals() {
  int sig = got_sigterm ? SIGTERM : got_sigint ? SIGINT : got_sighup ? SIGHUP : 0;
  if (!sig) return;
  for (exec::child* c = exec::first_child(); c; c = c->next) kill(c->pid, sig);
  diag::fatal("%s", sig == SIGTERM ? "Got SIGTERM" : sig == SIGINT ? "Got SIGINT" : "Got SIGHUP");
}

// One round of the loop: select, signals, output, reaping, new children.
void wait_round() {
  fd_set rd;
  FD_ZERO(&rd);
  int max_fd = exec::max_watched_fd();
  for (int fd = 0; fd <= max_fd; fd++) {
    if (exec::is_watched(fd)) FD_SET(fd, &rd);
  }
  auto add = [&](int fd) {
    if (fd < 0 || fd >= FD_SETSIZE) return;
    FD_SET(fd, &rd);
    if (fd > max_fd) max_fd = fd;
  };
  add(self_pipe[0]);
  int js = jobserver::read_fd();
  bool want_token = run_queue_size() > 0 && jobserver::load_ok();
  if (want_token) add(js);
  struct timeval tv = {1, 0};
  int n = select(max_fd + 1, &rd, nullptr, nullptr, &tv);
  if (cfg.debug) diag::trace("select returned\n");
  forward_signals();
  if (n > 0) {
    for (int fd = 0; fd <= max_fd; fd++) {
      if (!FD_ISSET(fd, &rd) || fd == self_pipe[0] || (want_token && fd == js)) continue;
      exec::child* c = exec::child_by_fd(fd);
      if (!c) diag::internal_error("31.5");
      exec::drain_output_pipe(graph::rule_at(c->rule_id), fd);
    }
  }
  if (self_pipe[0] >= 0) {
    char buf[100];
    while (read(self_pipe[0], buf, sizeof buf) < 0 && errno == EINTR) {
    }
  }
  reap_ended();
  start_children("forking child");
}

// Fatal-path handling of one reaped child.
void reap_on_fatal(pid_t pid, int status) {
  exec::child* c = exec::child_by_pid(pid);
  if (!c) diag::internal_error("31.1");
  graph::rule* r = graph::rule_at(c->rule_id);
  int fd = c->fd;
  exec::child_remove(c);
  finish_pipe(r, fd);
  exec::flush_rule_output(r);
  if (exec::children_count < 1) diag::internal_error("27.E");
  release_slot();
  if (!cfg.ignore_errors && (status & ~WCOREFLAG) != 0) delete_targets(r);
}

}  // namespace

void set_self_pipe(int read_fd, int write_fd) {
  self_pipe[0] = read_fd;
  self_pipe[1] = write_fd;
  exec::set_inherited_fds(db::db_fileno(), read_fd, write_fd);
}

void build(bool announce) {
  exec::set_inherited_fds(db::db_fileno(), self_pipe[0], self_pipe[1]);
back:
  for (graph::ruleid w = first_wanted(); w >= 0; w = next_wanted(w)) {
    if (consider(w)) {
      if (cfg.debug) diag::trace("goto back\n");
      goto back;
    }
  }
  if (run_queue_size() == 0) {
    if (cfg.question) {
      jobserver::remove_fifo();
      db::db_write_back();
      exit(0);
    }
    if (announce && !cfg.silent) {
      fflush(stdout);
      fputs("kiln: Nothing to be done.\n", stderr);
    }
  } else {
    if (cfg.question) {
      jobserver::remove_fifo();  // no FIFO is left behind in the temporary directory
      db::db_write_back();
      exit(1);
    }
    start_children("forking1 child");
    while (exec::children_count > 0) wait_round();
  }
  if (wanted_empty()) return;
  if (failure_mark) diag::fatal("Some of the commands failed");
  fflush(stdout);
  fputs("kiln: *** Out of children, yet not all targets made.\n", stderr);
  check_wanted_for_cycles(false);
  diag::internal_error("32");
}

void reap_children_on_fatal() {
  int status = 0;
  pid_t pid = exec::processes.wait(-1, &status, WNOHANG);
  if (pid < 0 && errno == ECHILD) return;
  if (pid > 0) reap_on_fatal(pid, status);
  fflush(stdout);
  fputs("kiln: *** Waiting for child processes to die.\n", stderr);
  for (;;) {
    pid = exec::processes.wait(-1, &status, 0);
    if (pid > 0) {
      reap_on_fatal(pid, status);
      continue;
    }
    if (pid == 0) diag::internal_error("28.E");
    if (errno == EINTR) continue;
    if (errno == ECHILD) {
      if (exec::children_count >= 1) diag::internal_error("29.E");
      fputs("kiln: *** No children left. Exiting.\n", stderr);
      return;
    }
    puts("30.E");
    perror("Error was");
    printf("number of children: %d\n", exec::children_count);
    diag::internal_error();
  }
}

void install_reap_hook() { up.reap_children = reap_children_on_fatal; }

void build_loop_reset() {
  failure_mark = false;
  finished_commands = 0;
  got_sigterm = 0;
  got_sigint = 0;
  got_sighup = 0;
}

}  // namespace kiln::sched
