// Process-wide settings of one kiln run.
//
// Everything here is set during start-up (program name, MAKEFLAGS, options,
// directives of the top-level Kilnfile) and read-only once the build starts.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace kiln {

// How command-line target names are taken.
enum target_mode : int {
  mode_none = 0,     // -f: relative to the current directory
  mode_this = 1,     // -t, klnt: relative to the invocation directory
  mode_project = 2,  // -p, klnp: relative to the project directory
  mode_all = 3,      // -a, klna: relative to the top directory
};

enum output_sync_mode : int {
  sync_none = 0,
  sync_line = 1,
  sync_target = 2,
  sync_recurse = 3,
  sync_unset = 4,  // becomes none after parsing
};

// Database format: version 1 has no timestamp/size table.
enum db_version_setting : int {
  db_v1 = 0,
  db_v2 = 1,
  db_unset = 2,  // acts as version 2
};

// One -W/-X/-o/-r entry.
struct pretend_entry {
  std::string name;             // simplified path
  bool relative_to_invocation;  // -X/-r; else relative to the mode directory
  bool very_old;                // -o/-r; else very new (-W/-X)
};

// A tool that prints instead of building (the long options).
enum tool_setting : int {
  tool_none = 0,
  tool_targets = 1,  // --targets
  tool_compdb = 2,   // --compdb
  tool_graph = 3,    // --graph
  tool_query = 4,    // --query
};

struct settings {
  int mode = mode_none;
  bool short_name_start = false;  // started as klna, klnt or klnp
  bool has_description_file = false;
  std::string description_file = "Kilnfile";
  int jobs = 1;                // 1..1000
  double load_limit = 1e100;   // 1e100 or more: no limit
  int output_sync = sync_unset;
  int db_version = db_unset;
  bool jobserver_fifo = true;  // -F (default) or -P
  std::vector<pretend_entry> pretend;  // newest first
  int tool = tool_none;
  // NAME=value words of the command line: the variable's value in the
  // top-level scope, which no assignment of a Kilnfile changes.
  std::vector<std::pair<std::string, std::string>> overrides;

  // Option flags.
  bool debug = false;          // -d
  bool silent = false;         // -s
  bool reasons = false;        // -R
  bool dry_run = false;        // -n
  bool touch = false;          // -T
  bool question = false;       // -q
  bool ignore_errors = false;  // -i
  bool keep_going = false;     // -k
  bool unconditional = false;  // -B
  bool unsafe = false;         // -u
  bool cheer = false;          // -H
  bool clean = false;          // -c
  bool distclean = false;      // -b

  // Facts found at start-up.
  bool parent_syncs_output = false;  // MAKEFLAGS carried line, target or recurse
  bool stdout_is_pipe = false;
  bool kilnpid_present = false;

  // Table sizes; the top-level Kilnfile may override them before the
  // tables are created.
  size_t expected_deps = 1;  // per rule to begin with; the sets grow
  size_t expected_strings = 8192;
  size_t sttable_entries = 65536;
  size_t stat_hash_size = 8192;
  size_t stat_cache_size = 262144;
  size_t access_hash_size = 8192;
  size_t access_cache_size = 262144;
  size_t db_hash_size = 8192;
  size_t tsdb_hash_size = 8192;
};

// The one settings record of the process.
extern settings cfg;

}  // namespace kiln
