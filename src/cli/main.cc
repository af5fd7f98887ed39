// kiln's main sequence. The order is part of the design: the database is
// open and locked before parsing; the rule graph is complete before any
// up-to-date decision; the jobserver exists before the first child.
#include <cstdio>
#include <cstdlib>

#include "base/diag.h"
#include "base/settings.h"
#include "cli/options.h"
#include "cli/startup.h"
#include "cli/targets.h"
#include "cli/tools.h"
#include "db/database.h"
#include "db/quoting.h"
#include "exec/syncbuf.h"
#include "graph/arena.h"
#include "jobserver/jobserver.h"

using namespace kiln;

int main(int argc, char** argv) {
  cli::mode_from_program_name(argv[0]);                // 1, and the mode of step 8
  db::db_init_escapes();                               // 2
  diag::install_crash_handlers();                      // 4
  cli::seed_random();                                  // 5
  jobserver::set_core_limit();                         // 6
  graph::arena_init();                                 // 7
  jobserver::read_makeflags();                         // 8
  cli::detect_stdout_pipe();                           // 9

  int first_target = argc;                             // 10
  int outcome = cli::process_options(argc, argv, &first_target);
  if (outcome != cli::options_continue) return outcome;
  cli::apply_makeflags_output_sync(jobserver::inherited());
  int n_targets = cli::take_variable_words(argc - first_target, argv + first_target);

  exec::syncbuf_cache_set_limit(2 * static_cast<size_t>(cfg.jobs) + 8);  // 11
  cli::check_recursion();                              // 12
  if (cfg.has_description_file) {                      // 13
    cli::use_current_directory();
  } else {
    cli::locate_project();
  }
  db::db_open();                                       // 14
  db::db_install_write_back_hook();
  cli::start_engine();                                 // 15
  cli::apply_command_line_variables();
  cli::parse_description();                            // 16
  cli::create_tables();                                // 17
  cli::compute_forward_path();                         // 18
  cli::resolve_pretend_list();                         // 19
  cli::make_rules();                                   // 20
  cli::require_applicable_rule(n_targets);             // 21
  cli::read_dependency_files();                        // 22
  cli::start_jobserver();                              // 23
  cli::install_build_handlers();                       // 24
  cli::select_targets(n_targets, argv + first_target); // 25
  cli::prepare_graph();                                // 26
  cli::check_cycles();                                 // 27
  if (cfg.tool != tool_none) {                         // the tools print and end here
    int status = cli::run_tool(cli::requested_rules);
    cli::remove_jobserver_fifo();
    return status;
  }
  cli::run_build();                                    // 28
  if (cfg.debug) cli::print_memory_statistics();       // 29
  int written = cli::write_back_database();           // 30
  cli::remove_jobserver_fifo();                        // 31, also when the write failed
  if (written != 0) {
    fputs("kiln: Cannot write kiln database\n", stderr);
    return 2;
  }
  return 0;
}
