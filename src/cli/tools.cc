#include "cli/tools.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>

#include "base/diag.h"
#include "base/hooks.h"
#include "base/settings.h"
#include "cli/targets.h"
#include "exec/spawn.h"
#include "graph/stringtab.h"

namespace kiln::cli {

namespace {

constexpr const char* k_wrappers[] = {"ccache", "distcc", "icecc", "sccache"};
constexpr const char* k_compilers[] = {"cc", "c++", "gcc", "g++", "clang", "clang++"};
constexpr const char* k_source_suffixes[] = {".c", ".cc", ".cpp", ".cxx", ".c++", ".C",
                                             ".m", ".mm", ".S"};

std::string base_name(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ends_with(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// A compiler's name, also with a target prefix or a version suffix
// ("x86_64-linux-gnu-gcc-12", "clang++-14").
bool is_compiler_name(std::string name) {
  size_t dash = name.rfind('-');
  if (dash != std::string::npos && dash + 1 < name.size() &&
      strspn(name.c_str() + dash + 1, "0123456789.") == name.size() - dash - 1) {
    name.resize(dash);
  }
  for (const char* c : k_compilers) {
    if (name == c || ends_with(name, (std::string("-") + c).c_str())) return true;
  }
  return false;
}

bool is_wrapper_name(const std::string& name) {
  for (const char* w : k_wrappers) {
    if (name == w) return true;
  }
  return false;
}

// The words of a shell command line split at blanks: enough to recognise
// "cc -c a.c", not a shell parser.
std::vector<std::string> split_blanks(const char* text) {
  std::vector<std::string> words;
  std::string word;
  for (const char* p = text;; p++) {
    if (*p == '\0' || *p == ' ' || *p == '\t' || *p == '\n') {
      if (!word.empty()) words.push_back(word);
      word.clear();
      if (*p == '\0') break;
    } else {
      word += *p;
    }
  }
  return words;
}

// The argument words of a command vector (after the three markers).
std::vector<std::string> argv_of(char* const* words) {
  std::vector<std::string> argv;
  for (int i = 3; words[0] && words[1] && words[2] && words[i]; i++) argv.push_back(words[i]);
  return argv;
}

// The rule's commands, evaluated when its recipe is script code; false
// (with the message on standard error) when the evaluation fails.
bool evaluate(graph::rule* r) {
  if (r->commands || !r->recipe || !up.evaluate_recipe) return true;
  std::string error, details;
  if (up.evaluate_recipe(r, &error, &details) == 0) return true;
  fprintf(stderr, "kiln: %s: %s\n", graph::rule_name(r), error.c_str());
  return false;
}

void print_json_string(const std::string& s) {
  putchar('"');
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      putchar('\\');
      putchar(c);
    } else if (c < 0x20) {
      printf("\\u%04x", c);
    } else {
      putchar(c);
    }
  }
  putchar('"');
}

// The rule's directory as an absolute path.
std::string absolute_directory(const graph::rule* r) {
  char* cwd = getcwd(nullptr, 0);
  std::string dir = cwd ? cwd : ".";
  free(cwd);
  const char* prefix = graph::text(r->prefix);
  if (prefix[0] == '/') return prefix;
  if (strcmp(prefix, ".") != 0) dir += std::string("/") + prefix;
  return dir;
}

bool is_listed(const graph::rule* r) {
  return !(r->flags & graph::k_rule_implicit);
}

int list_targets() {
  for (size_t i = 0; i < graph::rule_count(); i++) {
    const graph::rule* r = graph::rule_at(static_cast<graph::ruleid>(i));
    if (!is_listed(r)) continue;
    for (const graph::tgt* t = r->first_tgt; t; t = t->next) {
      printf("%s\t%s\t%s\n", graph::text(t->id), graph::text(r->prefix), rule_kind(r));
    }
  }
  return 0;
}

int compilation_database() {
  int status = 0;
  bool first = true;
  puts("[");
  for (size_t i = 0; i < graph::rule_count(); i++) {
    graph::rule* r = graph::rule_at(static_cast<graph::ruleid>(i));
    if (!is_listed(r) || (r->flags & graph::k_rule_phony)) continue;
    if (!evaluate(r)) {
      status = 2;
      continue;
    }
    for (size_t c = 0; c < r->n_commands; c++) {
      std::vector<std::string> argv = argv_of(r->commands[c]);
      std::string source;
      bool via_shell = argv.size() == 3 && argv[0] == "sh" && argv[1] == "-c";
      std::vector<std::string> words = via_shell ? split_blanks(argv[2].c_str()) : argv;
      if (!is_compile_command(words, &source)) continue;
      printf(first ? "  {\n" : ",\n  {\n");
      first = false;
      printf("    \"directory\": ");
      print_json_string(absolute_directory(r));
      if (via_shell) {
        printf(",\n    \"command\": ");
        print_json_string(argv[2]);
      } else {
        printf(",\n    \"arguments\": [");
        for (size_t w = 0; w < argv.size(); w++) {
          if (w) printf(", ");
          print_json_string(argv[w]);
        }
        printf("]");
      }
      printf(",\n    \"file\": ");
      print_json_string(source);
      printf(",\n    \"output\": ");
      print_json_string(graph::rule_name(r));
      printf("\n  }");
    }
  }
  puts(first ? "]" : "\n]");
  return status;
}

// The rule that builds a dependency, or -1.
graph::ruleid rule_of(graph::strid id) {
  graph::ruleid r = graph::ruleid_by_tgt(id);
  return r < 0 ? -1 : r;
}

int dependency_graph(const std::vector<graph::ruleid>& roots) {
  std::vector<graph::ruleid> stack(roots.begin(), roots.end());
  std::unordered_set<graph::ruleid> seen(roots.begin(), roots.end());
  puts("digraph kiln {");
  puts("  rankdir=LR;");
  puts("  node [shape=box];");
  while (!stack.empty()) {
    const graph::rule* r = graph::rule_at(stack.back());
    stack.pop_back();
    std::string from = graph::rule_name(r);
    printf("  ");
    print_json_string(from);
    printf(r->flags & graph::k_rule_phony ? " [shape=ellipse];\n" : ";\n");
    for (const graph::kilndep* d = r->first_dep; d; d = d->next) {
      if (d->flags & graph::k_dep_duplicate) continue;
      printf("  ");
      print_json_string(from);
      printf(" -> ");
      print_json_string(graph::text(d->id));
      printf(d->flags & graph::k_dep_orderonly ? " [style=dashed];\n" : ";\n");
      graph::ruleid dep_rule = rule_of(d->id);
      if (dep_rule >= 0 && seen.insert(dep_rule).second) stack.push_back(dep_rule);
    }
  }
  puts("}");
  return 0;
}

void print_names(const char* label, const std::vector<std::string>& names) {
  printf("%s:", label);
  for (const std::string& n : names) printf(" %s", n.c_str());
  putchar('\n');
}

// What a rule is, before the dry run says whether it is out of date.
void describe(graph::rule* r) {
  printf("target: %s\n", graph::rule_name(r));
  if (r->line >= 0) {
    std::string file = graph::text(r->prefix);
    file = file == "." ? "Kilnfile" : file + "/Kilnfile";
    printf("rule: %s, %s line %d\n", rule_kind(r), file.c_str(), r->line);
  } else {
    printf("rule: %s, directory %s\n", rule_kind(r), graph::text(r->prefix));
  }
  std::vector<std::string> names;
  for (const graph::tgt* t = r->first_tgt; t; t = t->next) names.push_back(graph::text(t->id));
  print_names("targets", names);
  names.clear();
  for (const graph::kilndep* d = r->first_dep; d; d = d->next) {
    if (!(d->flags & graph::k_dep_duplicate)) names.push_back(graph::text(d->id));
  }
  print_names("dependencies", names);
  names.clear();
  graph::for_each_dependant(r, [&](graph::ruleid dep) {
    names.push_back(graph::rule_name(graph::rule_at(dep)));
  });
  print_names("dependants", names);
  if (evaluate(r)) {
    for (size_t c = 0; c < r->n_commands; c++) {
      printf("command: %s\n", exec::join_command_words(r->commands[c]).c_str());
    }
  }
  fflush(stdout);
}

int query(const std::vector<graph::ruleid>& roots) {
  for (graph::ruleid id : roots) describe(graph::rule_at(id));
  // The rest is a dry run with reasons: what would run, and why.
  puts("would run:");
  fflush(stdout);
  cfg.dry_run = true;
  cfg.reasons = true;
  run_build();
  for (graph::ruleid id : roots) {
    const graph::rule* r = graph::rule_at(id);
    bool remade = graph::is_dry_remade(r->first_tgt->id);
    printf("%s is %s\n", graph::rule_name(r), remade ? "out of date" : "up to date");
  }
  return 0;
}

}  // namespace

const char* rule_kind(const graph::rule* r) {
  if (r->flags & graph::k_rule_iscleanhook) return "cleanhook";
  if (r->flags & graph::k_rule_isdistcleanhook) return "distcleanhook";
  if (r->flags & graph::k_rule_isbothcleanhook) return "bothcleanhook";
  if (r->flags & graph::k_rule_phony) return "phony";
  if (r->base >= 0) return "pattern";
  if (r->flags & graph::k_rule_maybe) return "maybe";
  return "file";
}

bool is_compile_command(const std::vector<std::string>& argv, std::string* source) {
  size_t i = 0;
  while (i < argv.size() && is_wrapper_name(base_name(argv[i]))) i++;
  if (i >= argv.size() || !is_compiler_name(base_name(argv[i]))) return false;
  bool compiles = false;
  source->clear();
  for (size_t w = i + 1; w < argv.size(); w++) {
    if (argv[w] == "-c") compiles = true;
    if (argv[w][0] == '-') continue;
    for (const char* suffix : k_source_suffixes) {
      if (ends_with(argv[w], suffix)) *source = argv[w];
    }
  }
  return compiles && !source->empty();
}

int run_tool(const std::vector<graph::ruleid>& roots) {
  graph::resolve_pending_reverse_edges();  // the dependants lists
  int status = 0;
  switch (cfg.tool) {
    case tool_targets: status = list_targets(); break;
    case tool_compdb: status = compilation_database(); break;
    case tool_graph: status = dependency_graph(roots); break;
    case tool_query: status = query(roots); break;
    default: break;
  }
  fflush(stdout);
  return status;
}

}  // namespace kiln::cli
