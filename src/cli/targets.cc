#include "cli/targets.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/diag.h"
#include "base/hooks.h"
#include "base/settings.h"
#include "cli/startup.h"
#include "db/cdepincludes.h"
#include "db/database.h"
#include "exec/progress.h"
#include "front/rule_list.h"
#include "graph/add_rule.h"
#include "graph/deferred.h"
#include "graph/path.h"
#include "graph/stringtab.h"
#include "jobserver/jobserver.h"
#include "sched/build_loop.h"
#include "sched/clean.h"
#include "sched/consider.h"
#include "sched/fscache.h"
#include "sched/stat_ahead.h"

namespace kiln::cli {

graph::ruleid default_rule = -1;
std::vector<graph::ruleid> requested_rules;

namespace {

int self_pipe[2] = {-1, -1};

void make_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) diag::internal_error("18");
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) diag::internal_error("19");
}

void wake_loop() {
  int saved = errno;
  char dot = '.';
  ssize_t n = write(self_pipe[1], &dot, 1);
  (void)n;  // a full pipe already wakes the loop
  errno = saved;
}

void on_sigchld(int) { wake_loop(); }
void on_sigterm(int) { got_sigterm = 1; wake_loop(); }
void on_sigint(int) { got_sigint = 1; wake_loop(); }
void on_sighup(int) { got_sighup = 1; wake_loop(); }
void on_sigalrm(int) {}

void install(int sig, void (*handler)(int), int flags) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = flags;
  sigaction(sig, &sa, nullptr);
}

// A command-line name as the rule model knows it: as given in modes none
// and all, joined with the forward path and simplified in this and project.
std::string target_name(const char* name) {
  if (cfg.mode == mode_this || cfg.mode == mode_project) {
    return graph::simplify_path(dirs.forward + "/" + name);
  }
  return name;
}

}  // namespace

void make_rules() {
  front::rule_list& parsed = parse_result();
  // Rules with targets first, in file order; dependency-only entries after
  // them, so that they find the rules they extend. A rule's parsed names
  // go as soon as it is made.
  for (graph::parsed_rule& pr : parsed.rules) {
    if (pr.flags & graph::k_parsed_deponly) continue;
    if (cfg.debug) diag::trace("ADDING RULE\n");
    graph::ruleid id = graph::add_parsed_rule(pr);
    bool candidate = !(pr.flags & (graph::k_parsed_pattern | graph::k_parsed_iscleanhook |
                                   graph::k_parsed_isdistcleanhook |
                                   graph::k_parsed_isbothcleanhook));
    if (default_rule < 0 && id >= 0 && candidate && pr.prefix == dirs.forward) default_rule = id;
    std::vector<graph::parsed_name>().swap(pr.targets);
    std::vector<graph::parsed_name>().swap(pr.deps);
    std::vector<std::string>().swap(pr.bases);
  }
  for (const graph::parsed_rule& pr : parsed.rules) {
    if (!(pr.flags & graph::k_parsed_deponly)) continue;
    if (cfg.debug) diag::trace("ADDING DEP\n");
    graph::add_parsed_rule(pr);
  }
}

void require_applicable_rule(int n_targets) {
  if (default_rule < 0 && n_targets == 0) diag::fatal("no applicable rules");
}

void read_dependency_files() {
  // The files the graph names are statted on a second thread from here
  // on, while the database and the dependency files are read.
  sched::stat_ahead_start();
  front::rule_list& parsed = parse_result();
  // The rules keep their recipes; the rest of the parse result goes.
  parsed.rules.clear();
  parsed.rules.shrink_to_fit();
  // Loaded only now, so that its entries take the memory the parse result
  // gave back.
  db::db_load();
  db::read_cdepincludes(parsed.cdepincludes, sched::file_stamp_cached);
  parsed.cdepincludes.clear();
}

void start_jobserver() {
  if (pipe(self_pipe) != 0) diag::internal_error("27");
  make_nonblocking(self_pipe[0]);
  make_nonblocking(self_pipe[1]);
  fcntl(self_pipe[0], F_SETFD, FD_CLOEXEC);
  fcntl(self_pipe[1], F_SETFD, FD_CLOEXEC);
  sched::set_self_pipe(self_pipe[0], self_pipe[1]);
  if (jobserver::jobserver_join() != 0) {
    jobserver::jobserver_create(cfg.jobs);
  }
  jobserver::install_fifo_hook();
}

void install_build_handlers() {
  install(SIGCHLD, on_sigchld, SA_RESTART);
  install(SIGTERM, on_sigterm, SA_RESTART);
  install(SIGINT, on_sigint, SA_RESTART);
  install(SIGHUP, on_sighup, SA_RESTART);
  // Without SA_RESTART, so that the 10 ms timer interrupts a blocked
  // jobserver read or write.
  install(SIGALRM, on_sigalrm, 0);
  sched::install_reap_hook();
}

void select_targets(int n_targets, char** names) {
  if (n_targets == 0) {
    if (cfg.clean || cfg.distclean) {
      sched::clean(dirs.forward, cfg.clean, cfg.distclean);
      remove_jobserver_fifo();
      if (write_back_database() != 0) {
        fputs("kiln: Cannot write kiln database\n", stderr);
        exit(2);
      }
      exit(0);
    }
    requested_rules.push_back(default_rule);
    sched::make_wanted(default_rule);
    return;
  }
  // Every name is checked before anything happens.
  std::vector<graph::ruleid> found;
  for (int i = 0; i < n_targets; i++) {
    std::string name = target_name(names[i]);
    graph::strid id = graph::lookup(name.c_str(), name.size());
    graph::ruleid rule = id < 0 ? -2 : graph::ruleid_by_tgt(id);
    if (rule < 0) diag::fatal("rule '%s' not found", name.c_str());
    found.push_back(rule);
  }
  bool whole_tree = cfg.mode == mode_none || cfg.mode == mode_all;
  if (cfg.clean || cfg.distclean) sched::clean(whole_tree ? "." : dirs.forward, cfg.clean, cfg.distclean);
  for (graph::ruleid rule : found) {
    requested_rules.push_back(rule);
    sched::make_wanted(rule);
  }
}

void prepare_graph() { sched::finish_graph(); }

void check_cycles() {
  sched::check_wanted_for_cycles(true);
  const auto& pairs = parse_result().order_pairs;
  if (!pairs.empty()) {
    sched::apply_order_pairs(pairs);
    sched::check_wanted_for_cycles(true);
  }
}

void run_build() {
  graph::resolve_pending_reverse_edges();
  exec::progress_init();
  sched::build(true);
  sched::stat_ahead_stop();
}

int write_back_database() { return db::db_write_back(); }

void remove_jobserver_fifo() { jobserver::remove_fifo(); }


}  // namespace kiln::cli
