#include "cli/options.h"

#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/settings.h"
#include "cli/revisions.h"

namespace kiln::cli {

std::string program_name = "kiln";

namespace {

constexpr const char* k_getopt = "+vGdf:Htpaj:hcbO:qC:ikBW:X:no:r:sl:TReEFPu";
constexpr int k_max_jobs = 1000;

const char* base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

int usage_status() {
  print_usage(stderr);
  return 2;
}

// -a, -t and -p may repeat themselves but not contradict another mode.
bool set_mode(int mode) {
  if (cfg.mode != mode_none && cfg.mode != mode) {
    fputs("Ambiguous mode\n", stderr);
    return false;
  }
  cfg.mode = mode;
  return true;
}

// The processor count for -j a and -l a.
int online_processors() { return processor_count(sysconf(_SC_NPROCESSORS_ONLN)); }

// -j n: the leading number of the word (as atoi reads it), 1 to 1000; a
// word starting with "a" means one job per processor. The number is read
// as a long so that a huge count is refused instead of wrapping into range.
bool parse_jobs(const char* arg) {
  long jobs = arg[0] == 'a' ? online_processors() : strtol(arg, nullptr, 10);
  if (jobs < 1 || jobs > k_max_jobs) return false;
  cfg.jobs = static_cast<int>(jobs);
  return true;
}

// -l x: the whole text must be a number; "a..." means the processor count.
// "nan" is refused as well: no load average compares with it.
bool parse_load(const char* arg) {
  if (arg[0] == 'a') {
    cfg.load_limit = online_processors();
    return true;
  }
  char* end = nullptr;
  double limit = strtod(arg, &end);
  if (arg[0] == '\0' || *end != '\0' || std::isnan(limit)) {
    fprintf(stderr, "kiln: invalid load average limit: %s\n", arg);
    return false;
  }
  cfg.load_limit = limit;
  return true;
}

bool parse_output_sync(const char* arg) {
  switch (arg[0]) {
    case 'n': cfg.output_sync = sync_none; return true;
    case 'l': cfg.output_sync = sync_line; return true;
    case 't': cfg.output_sync = sync_target; return true;
    case 'r': cfg.output_sync = sync_recurse; return true;
    default: return false;
  }
}

void add_pretend(const char* name, bool relative_to_invocation, bool very_old) {
  cfg.pretend.insert(cfg.pretend.begin(), pretend_entry{name, relative_to_invocation, very_old});
}

}  // namespace

int take_variable_words(int n, char** words) {
  int kept = 0;
  for (int i = 0; i < n; i++) {
    const char* w = words[i];
    size_t name_length = strspn(w, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_0123456789");
    bool is_assignment = name_length > 0 && w[name_length] == '=' && !(w[0] >= '0' && w[0] <= '9');
    if (!is_assignment) {
      words[kept++] = words[i];
      continue;
    }
    std::string name(w, name_length);
    std::string text(w + name_length + 1);
    bool replaced = false;
    for (auto& o : cfg.overrides) {
      if (o.first == name) {
        o.second = text;
        replaced = true;
      }
    }
    if (!replaced) cfg.overrides.emplace_back(name, text);
  }
  return kept;
}

int processor_count(long online) {
  if (online < 1) {
    fputs("kiln: can't detect CPU count, assuming 1.\n", stderr);
    return 1;
  }
  if (online > 384) {
    fputs("kiln: capping CPU count at 384.\n", stderr);
    return 384;
  }
  return static_cast<int>(online);
}

void mode_from_program_name(const char* argv0) {
  program_name = base_name(argv0);
  static const struct {
    const char* name;
    int mode;
  } short_names[] = {{"klna", mode_all}, {"klnt", mode_this}, {"klnp", mode_project}};
  for (const auto& s : short_names) {
    if (program_name == s.name) {
      cfg.mode = s.mode;
      cfg.short_name_start = true;
    }
  }
}

namespace {

// One line per option for --help.
constexpr const char* k_option_help[] = {
    "  -a               name targets relative to the top directory (klna)",
    "  -t               name targets relative to the current directory (klnt)",
    "  -p               name targets relative to the project directory (klnp)",
    "  -f Kilnfile      read this file only, no directory search",
    "  -j n             run up to n commands at once (1 to 1000; a: one per processor)",
    "  -l x             start nothing while the load average is above x (a: processor count)",
    "  -k               keep going after a failed command",
    "  -i               ignore failed commands",
    "  -n               dry run: print the commands, run nothing",
    "  -q               question: exit 1 when something would be built, 0 otherwise",
    "  -B               build everything considered, unconditionally",
    "  -T               touch targets instead of running their recipes",
    "  -c               clean: remove built targets",
    "  -b               distclean: remove distribution targets (-c -b: both)",
    "  -O n|l|t|r       output synchronisation: none, per line, per target, recursive",
    "  -W file          pretend file is very new (relative to the mode directory)",
    "  -X file          pretend file is very new (relative to where kiln was started)",
    "  -o file          pretend file is very old (relative to the mode directory)",
    "  -r file          pretend file is very old (relative to where kiln was started)",
    "  -e               database version 1 (no time/size table)",
    "  -E               database version 2 (the default)",
    "  -F               jobserver over a named FIFO (the default)",
    "  -P               jobserver over an anonymous pipe",
    "  -C dir           change to dir first",
    "  -s               silent: no progress lines, no command echo",
    "  -R               explain why each target is remade",
    "  -d               debug trace and memory statistics",
    "  -u               also search world-writable directories for the top Kilnfile",
    "  -H               a cheerful line after every tenth successful command",
    "  -v, --version    print the version and exit",
    "  -G               print the table of compatible revisions and exit",
    "  -h               print the usage and exit with status 2",
    "  --help           print this help and exit",
    "  --targets        list every target: name, directory and rule kind",
    "  --compdb         print compile_commands.json for the C and C++ compile rules",
    "  --graph          print the graph below the targets (or the default) in dot",
    "  --query          show each named target's rule and whether and why it is out of date",
    "  NAME=value       (among the targets) set $NAME in the top-level scope for good",
};

// The long options that choose a tool.
constexpr struct {
  const char* name;
  int tool;
} k_tools[] = {
    {"--targets", tool_targets},
    {"--compdb", tool_compdb},
    {"--graph", tool_graph},
    {"--query", tool_query},
};

// The option words before the first non-option (getopt's order): the
// index of each, skipping the arguments of options that take one.
template <class F>
void for_each_option_word(int argc, char** argv, F f) {
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    if (a[0] != '-' || a[1] == '\0' || strcmp(a, "--") == 0) return;
    f(i);
    if (a[1] == '-') continue;
    for (const char* c = a + 1; *c; c++) {
      const char* spec = strchr(k_getopt, *c);
      if (spec && spec[1] == ':') {
        if (c[1] == '\0') i++;  // the argument is the next word
        break;
      }
    }
  }
}

}  // namespace

void print_help() {
  print_usage(stdout);
  puts("Options:");
  for (const char* line : k_option_help) puts(line);
  fflush(stdout);
}

namespace {

// Long options, anywhere among the options: --help and --version print
// and end the run; the tools are remembered. Every other word is kept, in
// order, for getopt. Returns the exit status, options_continue, or 2 for
// an unknown long option or a second tool.
int process_long_options(int argc, char** argv, std::vector<char*>* kept) {
  int outcome = options_continue;
  std::vector<bool> is_long(argc, false);
  for_each_option_word(argc, argv, [&](int i) {
    if (outcome != options_continue || argv[i][1] != '-') return;
    is_long[i] = true;
    if (strcmp(argv[i], "--help") == 0) {
      print_help();
      outcome = 0;
      return;
    }
    if (strcmp(argv[i], "--version") == 0) {
      print_version();
      outcome = 0;
      return;
    }
    for (const auto& t : k_tools) {
      if (strcmp(argv[i], t.name) == 0 && cfg.tool == tool_none) {
        cfg.tool = t.tool;
        return;
      }
    }
    outcome = usage_status();
  });
  for (int i = 0; i < argc; i++) {
    if (!is_long[i]) kept->push_back(argv[i]);
  }
  kept->push_back(nullptr);
  return outcome;
}

}  // namespace

void print_usage(FILE* out) {
  const char* p = program_name.c_str();
  fputs("Usage:\n", out);
  if (cfg.short_name_start) {
    fprintf(out,
            "%s [-vGdHhcbqikBnsTReEFPu] [-j jobcnt] [-l loadavg] [-W|-X|-o|-r file] [-O n|l|t|r] "
            "[-C dir] [target...]\n",
            p);
    fprintf(out, "  You can start %s as klna, klnt or klnp or use main command kiln\n", p);
    fputs("  klna, klnt and klnp do not take -t | -p | -a whereas kiln takes\n", out);
    fputs("  klna, klnt and klnp do not take -f Kilnfile whereas kiln takes\n", out);
  } else {
    fprintf(out,
            "%s [-vGdHhcbqikBnsTReEFPu] [-j jobcnt] [-l loadavg] [-W|-X|-o|-r file] [-O n|l|t|r] "
            "[-C dir] -f Kilnfile | -t | -p | -a [target...]\n",
            p);
    fprintf(out, "  You can start %s as klna, klnt or klnp or use main command %s\n", p, p);
    fprintf(out, "  klna, klnt and klnp do not take -t | -p | -a whereas %s takes\n", p);
    fprintf(out, "  klna, klnt and klnp do not take -f Kilnfile whereas %s takes\n", p);
  }
  fputs("  -b and -c options are incompatible with -q\n", out);
}

int process_options(int argc, char** argv, int* first_target) {
  std::vector<char*> words;
  int long_outcome = process_long_options(argc, argv, &words);
  if (long_outcome != options_continue) return long_outcome;
  // getopt sees the words without the long options, which all stand
  // before the first target word.
  int n_long = argc - static_cast<int>(words.size() - 1);
  argc -= n_long;
  argv = words.data();
  optind = 0;  // restart getopt (glibc), so that tests may call this again
  opterr = 0;  // an unknown option is answered by the usage text alone
  int opt;
  while ((opt = getopt(argc, argv, k_getopt)) != -1) {
    switch (opt) {
      case 'a': if (!set_mode(mode_all)) return usage_status(); break;
      case 't': if (!set_mode(mode_this)) return usage_status(); break;
      case 'p': if (!set_mode(mode_project)) return usage_status(); break;
      case 'f':
        cfg.has_description_file = true;
        cfg.description_file = optarg;
        break;
      case 'j': if (!parse_jobs(optarg)) return usage_status(); break;
      case 'l': if (!parse_load(optarg)) return 2; break;
      case 'C':
        if (chdir(optarg) != 0) {
          fprintf(stderr, "kiln: failed to chdir to %s\n", optarg);
          return 2;
        }
        break;
      case 'O': if (!parse_output_sync(optarg)) return usage_status(); break;
      case 'v': print_version(); return 0;
      case 'G': print_revisions(); return 0;
      case 'd': cfg.debug = true; break;
      case 'H':
        cfg.cheer = true;
        setlocale(LC_CTYPE, "");
        break;
      case 'c': cfg.clean = true; break;
      case 'b': cfg.distclean = true; break;
      case 'q': cfg.question = true; break;
      case 'i': cfg.ignore_errors = true; break;
      case 'k': cfg.keep_going = true; break;
      case 'B': cfg.unconditional = true; break;
      case 'n': cfg.dry_run = true; break;
      case 's': cfg.silent = true; break;
      case 'T': cfg.touch = true; break;
      case 'R': cfg.reasons = true; break;
      case 'e': cfg.db_version = db_v1; break;
      case 'E': cfg.db_version = db_v2; break;
      case 'F': cfg.jobserver_fifo = true; break;
      case 'P': cfg.jobserver_fifo = false; break;
      case 'u': cfg.unsafe = true; break;
      case 'W': add_pretend(optarg, false, false); break;
      case 'X': add_pretend(optarg, true, false); break;
      case 'o': add_pretend(optarg, false, true); break;
      case 'r': add_pretend(optarg, true, true); break;
      default: return usage_status();  // -h and unknown options
    }
  }
  if (cfg.question && (cfg.clean || cfg.distclean)) return usage_status();
  if (cfg.mode == mode_none && !cfg.has_description_file) return usage_status();
  if (cfg.mode != mode_none && cfg.has_description_file) return usage_status();
  *first_target = optind + n_long;
  return options_continue;
}

}  // namespace kiln::cli
