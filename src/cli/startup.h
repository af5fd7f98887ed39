// The steps of kiln's start-up, in the order main runs them. Later steps
// rely on earlier ones: the database is open and locked before parsing,
// the rule graph is complete before any up-to-date decision, and the
// jobserver exists before the first child.
#pragma once

#include <string>

#include "engine/engine.h"
#include "front/rule_list.h"

#include "jobserver/makeflags.h"

namespace kiln::cli {

// The directories start-up works with and their depths below the top.
struct directories {
  std::string invocation;  // where kiln was started
  std::string top;         // the top directory: kiln's working directory
  std::string project;     // the project directory
  int top_levels = 0;      // components of invocation below the top
  int project_levels = 0;  // components of the project below the top
  std::string forward;     // the mode directory relative to the top
  std::string below_top;   // the invocation directory relative to the top
};

extern directories dirs;

// The current directory, retrying with a doubled buffer on ERANGE; any
// other failure is an internal error.
std::string current_directory();

// Seeds rand() from the pid and the time, then from /dev/urandom.
void seed_random();

// Applies the output sync mode inherited through MAKEFLAGS unless -O set
// one; a parent syncing by line, target or recursively is remembered.
void apply_makeflags_output_sync(const jobserver::inherited_flags& flags);

// Notes whether standard output is a pipe that is not a terminal.
void detect_stdout_pipe();

// The recursion check: refuses to run below a kiln whose pid KILNPID
// names as our parent; otherwise sets KILNPID to our pid.
void check_recursion();

// With -f: the current directory is the invocation and top directory.
void use_current_directory();

// Finds the top and project directories and changes into the top one
// (modes this, project and all).
void locate_project();

// Parses the description file as the top-level Kilnfile; fatal "Kilnfile
// not found" or "Parsing failed". Then applies its setting directives.
void parse_description();

// Applies the top-level Kilnfile's setting directives: the database
// version and the output sync mode unless an option or MAKEFLAGS gave
// them, and every table size given.
void apply_directives(const front::directive_values& d);

// Applies the table sizes, creates the caches and the string table and
// raises the stack limit.
void create_tables();

// The forward path and the invocation directory's path below the top;
// prints "kiln: Forward path: %s" in modes this and project.
void compute_forward_path();

// Joins every pretend entry with its directory and simplifies it.
void resolve_pretend_list();

// The last N components of a path ("." for N = 0).
std::string last_components(const std::string& path, int n);

// Creates the script engine for the top-level parse (step 15).
void start_engine();

// Fills the members of kiln::up that a parse needs: the rule-building
// built-ins, the scope directories and the revision table. start_engine
// calls it, and so does every probe parse.
void install_front_hooks();

// The process's script engine (null before start_engine).
engine::engine* script_engine();

// Gives each NAME=value word of the command line its value in the
// top-level scope and pins it there: the Kilnfiles' assignments to it are
// ignored. Before the parse, after start_engine.
void apply_command_line_variables();

// What the parse of the Kilnfiles produced, until make_rules and
// read_dependency_files have used it.
front::rule_list& parse_result();

// The string table's first bucket count: the configured one (a power of
// two), doubled while the parsed rules' names would make it grow.
size_t string_index_size(const front::rule_list& parsed, size_t configured);

// The engine's statistics lines, when it was started.
void print_engine_statistics();

// The "ruleid_by_pid" statistics line of the child table.
void print_child_statistics();

// Prints the -d memory statistics.
void print_memory_statistics();

}  // namespace kiln::cli
