// Tree parse benchmark: a generated tree of 200 directories with 500 rules
// each (100,000 rules, half of them pattern-rule instances with old-style
// and expression recipes), parsed from the top Kilnfile and turned into
// the rule graph. Reports parse time, rule-making time and peak memory.
//
// Usage: tree_parse_bench [directories [rules-per-directory]]
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "ext/extension.h"
#include "front/includes.h"
#include "front/rule_list.h"
#include "graph/add_rule.h"
#include "graph/arena.h"
#include "graph/config.h"
#include "graph/rule.h"
#include "graph/stringtab.h"
#include "json/reader.h"

namespace {

void write_file(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) {
    perror(path.c_str());
    exit(1);
  }
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

// One directory: a library of n_rules / 2 objects built by one pattern
// rule, and n_rules / 2 ordinary rules with old-style recipes.
std::string directory_kilnfile(int d, int n_rules) {
  std::string text = "@subfile\n@strict\n$SRCS = [";
  int n_objects = n_rules / 2;
  for (int i = 0; i < n_objects; i++) {
    text += (i ? ", \"f" : "\"f") + std::to_string(i) + ".c\"";
  }
  text += "]\n$OBJS = @sufsuball($SRCS, \".c\", \".o\")\n";
  text += "@patrule: ($OBJS): \"%.o\": \"%.c\" \"common.h\"\n";
  text += "@\t[@D $CC, @ @D $CFLAGS, \"-c\", \"-o\", $@, $<]\n";
  for (int i = 0; i < n_rules - n_objects; i++) {
    char buf[256];
    snprintf(buf, sizeof buf, "\"gen%d.h\": \"gen%d.in\" \"../d%d/gen%d.h\"\n\tcp $< $@\n", i, i,
             d > 0 ? d - 1 : 0, i > 0 ? i - 1 : 0);
    text += buf;
  }
  return text;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kiln;
  int n_dirs = argc > 1 ? atoi(argv[1]) : 200;
  int n_rules = argc > 2 ? atoi(argv[2]) : 500;
  char tmpl[] = "/tmp/kiln-tree-bench-XXXXXX";
  if (!mkdtemp(tmpl) || chdir(tmpl) != 0) {
    perror("scratch directory");
    return 1;
  }
  std::string top = "@toplevel\n@strict\n$CC = \"cc\"\n$CFLAGS = [\"-O2\"]\n";
  for (int d = 0; d < n_dirs; d++) {
    std::string dir = std::to_string(d);
    dir.insert(dir.begin(), 'd');  // g++ 12 misreads "d" + s as an overlapping copy
    mkdir(dir.c_str(), 0755);
    write_file(dir + "/Kilnfile", directory_kilnfile(d, n_rules));
    top += "@dirinclude \"" + dir + "\"\n";
  }
  write_file("Kilnfile", top);

  graph::arena_init();
  engine::engine* e = new engine::engine;
  engine::engine_init(e, 1);
  json::register_builtins();
  front::install_scope_directories();
  e->extension_hook = ext::extension_hook;
  front::rule_list rules;

  auto t0 = std::chrono::steady_clock::now();
  int rc = front::parse_top_level(e, &rules, "Kilnfile");
  double parse_s = seconds_since(t0);
  if (rc != 0) {
    fprintf(stderr, "parse failed\n");
    return 1;
  }
  graph::conf.expected_deps = 8;
  graph::stringtab_init(1 << 18, 1 << 18);
  t0 = std::chrono::steady_clock::now();
  for (const graph::parsed_rule& pr : rules.rules) graph::add_parsed_rule(pr);
  double make_s = seconds_since(t0);

  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  printf("tree: %d directories x %d rules = %zu rules made from %zu parsed\n", n_dirs, n_rules,
         graph::rule_count(), rules.rules.size());
  printf("parse: %.3f s (%.0f rules/s)\n", parse_s, graph::rule_count() / parse_s);
  printf("make rules: %.3f s\n", make_s);
  printf("peak memory: %.1f MiB\n", ru.ru_maxrss / 1024.0);
  std::string cleanup = std::string("rm -rf '") + tmpl + "'";
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
