#include "cli/startup.h"

#include "base/result_codes.h"
#include "front/includes.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "base/diag.h"
#include "base/settings.h"
#include "cli/probe.h"
#include "db/database.h"
#include "exec/syncbuf.h"
#include "graph/config.h"
#include "graph/path.h"
#include "graph/rule.h"
#include "graph/stringtab.h"
#include "jobserver/makeflags.h"
#include "sched/fscache.h"

namespace kiln::cli {

directories dirs;

namespace {

constexpr rlim_t k_stack_limit = 16u << 20;

// The eight lines kiln says to a recipe that starts kiln again.
const char* const k_recursion_verse[] = {
    "A kiln that fires a kiln inside",
    "burns twice the wood and bakes no more;",
    "the tree is one, the graph is wide,",
    "and every target knows its door.",
    "So name your subdirectories here,",
    "include them all, and let one flame",
    "see every rule from far and near:",
    "one fire, one graph, one build, one name.",
};

bool file_exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

}  // namespace

std::string current_directory() {
  std::string buf(1025, '\0');
  for (;;) {
    if (getcwd(buf.data(), buf.size())) {
      buf.resize(strlen(buf.c_str()));
      return buf;
    }
    if (errno != ERANGE) diag::internal_error();
    buf.resize(buf.size() * 2);
  }
}

void seed_random() {
  srand(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  unsigned seed = 0;
  ssize_t n;
  do {
    n = read(fd, &seed, sizeof seed);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof seed)) srand(seed);
  close(fd);
}

void apply_makeflags_output_sync(const jobserver::inherited_flags& flags) {
  if (flags.parent_syncs_output) cfg.parent_syncs_output = true;
  if (cfg.output_sync == sync_unset) cfg.output_sync = flags.output_sync;
}

void detect_stdout_pipe() {
  if (lseek(1, 0, SEEK_CUR) < 0 && errno == ESPIPE && !isatty(1)) cfg.stdout_is_pipe = true;
}

void check_recursion() {
  const char* pid = getenv("KILNPID");
  if (pid) {
    cfg.kilnpid_present = true;
    // Read as a long: a huge value must not wrap onto the parent's pid.
    if (strtol(pid, nullptr, 10) == static_cast<long>(getppid())) {
      for (const char* line : k_recursion_verse) fprintf(stderr, "kiln: %s\n", line);
      fputs("\n", stderr);
      fputs("kiln: *** Recursion misuse detected.\n", stderr);
      fputs("kiln: *** Kiln is designed to be used non-recursively.\n", stderr);
      fputs("kiln: *** Exiting.\n", stderr);
      exit(2);
    }
  }
  char text[32];
  snprintf(text, sizeof text, "%d", static_cast<int>(getpid()));
  setenv("KILNPID", text, 1);
}

void use_current_directory() {
  dirs.invocation = dirs.top = dirs.project = current_directory();
  dirs.top_levels = dirs.project_levels = 0;
}

void locate_project() {
  dirs.invocation = dirs.top = dirs.project = current_directory();
  dirs.top_levels = dirs.project_levels = 0;
  std::string description_path = dirs.invocation + "/Kilnfile";
  char* real = realpath(description_path.c_str(), nullptr);
  if (real) {
    description_path = real;
    free(real);
  }
  probe_result here;
  bool guard = true;
  if (file_exists("Kilnfile")) {
    // Only the declaration matters here: the file's own includes never
    // mark the directory, and running its code would only repeat the real
    // parse that follows.
    here = probe_kilnfile(description_path, true);
    guard = !here.declared_subfile;
  }
  std::string walking = dirs.invocation;
  int level = 0;
  while (walking != "/") {
    if (chdir("..") != 0) {
      printf("kiln: Can't change current directory to .. at %s\n", walking.c_str());
      break;
    }
    walking = current_directory();
    struct stat st;
    if (stat(".", &st) != 0) {
      printf("kiln: Can't stat current directory at %s\n", walking.c_str());
      break;
    }
    if ((st.st_mode & S_IWOTH) && !cfg.unsafe && guard) {
      printf("kiln: Encountered world-writable directory at %s, not considering it\n",
             walking.c_str());
      printf("kiln: Hint: execute kiln with -u to allow unsafe operation\n");
      break;
    }
    level++;
    if (!file_exists("Kilnfile")) continue;
    probe_result r = probe_kilnfile(description_path);
    if (r.ok && r.top_marker) {
      dirs.top = walking;
      dirs.top_levels = level;
    }
    if (r.ok && r.project_marker) {
      dirs.project = walking;
      dirs.project_levels = level;
    }
    guard = !r.declared_subfile;
  }
  if (!cfg.silent) printf("kiln: Using directory %s\n", dirs.top.c_str());
  fflush(stdout);
  if (chdir(dirs.top.c_str()) != 0) diag::internal_error();
}

std::string last_components(const std::string& path, int n) {
  if (n <= 0) return ".";
  size_t pos = path.size();
  for (int i = 0; i < n && pos != std::string::npos && pos > 0; i++) {
    pos = path.rfind('/', pos - 1);
  }
  if (pos == std::string::npos) return path;
  return path.substr(pos + 1);
}

void compute_forward_path() {
  // Levels count upwards from the invocation directory, so the project
  // directory lies top_levels - project_levels components below the top.
  switch (cfg.mode) {
    case mode_this:
      dirs.forward = last_components(dirs.invocation, dirs.top_levels);
      break;
    case mode_project:
      dirs.forward = last_components(dirs.project, dirs.top_levels - dirs.project_levels);
      break;
    default:
      dirs.forward.assign(1, '.');  // g++ 12 misreads = "." as an overlapping copy
  }
  dirs.below_top = last_components(dirs.invocation, dirs.top_levels);
  if ((cfg.mode == mode_this || cfg.mode == mode_project) && !cfg.silent) {
    printf("kiln: Forward path: %s\n", dirs.forward.c_str());
  }
  fflush(stdout);
}

void resolve_pretend_list() {
  for (pretend_entry* p = cfg.pretend.data(); p != cfg.pretend.data() + cfg.pretend.size(); p++) {
    const std::string& dir = p->relative_to_invocation ? dirs.below_top : dirs.forward;
    std::string joined = dir + "/" + p->name;
    if (joined.size() >= PATH_MAX) diag::fatal("too long pathname to pretend: %s", joined.c_str());
    p->name = graph::simplify_path(joined);
    p->relative_to_invocation = false;
  }
}

void apply_directives(const front::directive_values& d) {
  if (cfg.db_version == db_unset) cfg.db_version = d.db_version;
  if (cfg.output_sync == sync_unset) cfg.output_sync = d.output_sync;
  const std::pair<size_t settings::*, size_t> sizes[] = {
      {&settings::expected_deps, d.expected_deps},
      {&settings::expected_strings, d.expected_strings},
      {&settings::stat_cache_size, d.stat_cache_size},
      {&settings::access_cache_size, d.access_cache_size},
      {&settings::stat_hash_size, d.stat_hash_size},
      {&settings::access_hash_size, d.access_hash_size},
      {&settings::db_hash_size, d.db_hash_size},
      {&settings::tsdb_hash_size, d.tsdb_hash_size},
  };
  for (const auto& [field, value] : sizes) {
    if (value) cfg.*field = value;
  }
}

void parse_description() {
  if (access(cfg.description_file.c_str(), F_OK) != 0) diag::fatal("Kilnfile not found");
  int rc = front::parse_top_level(script_engine(), &parse_result(), cfg.description_file);
  if (rc == base::rc_not_found) diag::fatal("Kilnfile not found");
  if (rc != 0) diag::fatal("Parsing failed");
  apply_directives(parse_result().directives);
}

size_t string_index_size(const front::rule_list& parsed, size_t configured) {
  // A name is made once for its rule and once as written; a tree's names
  // repeat about twice (a source is a target's dependency, a header many
  // rules'), and the index holds two strings per bucket before it doubles.
  size_t names = 0;
  for (const graph::parsed_rule& pr : parsed.rules) names += pr.targets.size() + pr.deps.size();
  size_t buckets = configured;
  while (buckets < names / 4 && buckets < (size_t{1} << 28)) buckets *= 2;
  return buckets;
}

void create_tables() {
  sched::fscache_init(cfg.stat_hash_size, cfg.stat_cache_size, cfg.access_hash_size,
                      cfg.access_cache_size);
  if (cfg.output_sync == sync_unset) cfg.output_sync = sync_none;
  graph::conf.trace = cfg.debug;
  graph::conf.expected_deps = cfg.expected_deps;
  graph::conf.expected_strings = cfg.expected_strings;
  graph::conf.sttable_entries = cfg.sttable_entries;
  graph::stringtab_init(string_index_size(parse_result(), cfg.expected_strings),
                        cfg.sttable_entries);
  struct rlimit rl;
  if (getrlimit(RLIMIT_STACK, &rl) != 0) diag::internal_error("20");
  if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < k_stack_limit) {
    rl.rlim_cur = k_stack_limit;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < k_stack_limit) rl.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_STACK, &rl) != 0) diag::internal_error("21");
  }
}

void print_memory_statistics() {
  sched::fscache_stats fs = sched::fscache_statistics();
  printf("\nMemory use statistics:\n");
  printf("  accesscache: %zu %zu\n", fs.access_entries, fs.access_bytes);
  printf("  statcache: %zu %zu\n", fs.stat_entries, fs.stat_bytes);
  graph::print_arena_statistics(stdout);
  print_engine_statistics();
  db::db_print_statistics();
  graph::print_graph_statistics(stdout);
  print_child_statistics();
  printf("  syncbuf cache: %zu %zu\n", exec::syncbuf_cache_count(),
         exec::syncbuf_cache_count() * exec::k_chunk_size);
  fflush(stdout);
}

}  // namespace kiln::cli
