#include "db/cdepincludes.h"

#include <cstdio>

#include "cli/diag.h"
#include "cli/settings.h"
#include "db/cdep_reader.h"
#include "db/db_tables.h"
#include "graph/deferred.h"
#include "graph/path.h"

namespace kiln::db {

namespace {

std::string entry_path(const cdep_include& e) {
  if (!e.file.empty() && e.file[0] == '/') return e.file;
  return e.directory + "/" + e.file;
}

// Reads a whole file into ctx.lines. Returns 0, -1 on a format error, -2
// when it cannot be opened or read.
int read_whole(const std::string& path, cdep_context& ctx) {
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return -2;
  int r = read_cdep_file(f, ctx);
  bool failed = ferror(f);
  fclose(f);
  if (r == -1) return -1;
  return r < 0 || failed ? -2 : 0;
}

// A rejected file: where, then the fatal exit.
[[noreturn]] void format_error(const char* path, const cdep_context& ctx) {
  fflush(stdout);
  fprintf(stderr, "kiln: syntax error at file %s line %zu.\n", path, ctx.error_line);
  diag::fatal("Invalid cdepincludes format in %s", path);
}

graph::strid intern(const std::string& s) { return graph::intern(s.data(), s.size()); }

// Defers every line's targets and dependencies, in file order.
void defer_lines(const std::vector<dep_rule_line>& lines, uint32_t flags) {
  std::vector<graph::strid> targets;
  for (const dep_rule_line& line : lines) {
    if (cfg.debug) diag::trace("Adding dep\n");
    targets.clear();
    for (const std::string& t : line.targets) {
      if (cfg.debug) diag::trace("  target: %s\n", t.c_str());
      graph::strid id = intern(t);
      targets.push_back(id);
      graph::defer_dep(id, -1, 0);
    }
    for (const std::string& d : line.deps) {
      if (cfg.debug) diag::trace("  dep: %s\n", d.c_str());
      graph::strid id = intern(d);
      for (graph::strid t : targets) graph::defer_dep(t, id, flags);
    }
  }
}

void read_one(const cdep_include& e) {
  std::string path = entry_path(e);
  if (cfg.debug) diag::trace("reading cdepincludes from %s\n", path.c_str());
  graph::set_cdep_file(intern(graph::simplify_path(path)));
  cdep_context ctx;
  ctx.base = e.directory;
  if (e.bits & k_cdep_autotarget) {
    ctx.has_extra_target = true;
    ctx.extra_target = e.file;
  }
  int r = read_whole(path, ctx);
  if (r == -2) {
    if (e.bits & k_cdep_ignore) return;
    diag::fatal("Can't read cdepincludes from %s", path.c_str());
  }
  if (r < 0) format_error(path.c_str(), ctx);
  defer_lines(ctx.lines, (e.bits & k_cdep_autophony) ? graph::k_defer_missing_allowed : 0);
}

}  // namespace

void read_cdepincludes(const std::vector<cdep_include>& entries) {
  for (const cdep_include& e : entries) read_one(e);
}

void reread_cdep_file(graph::strid file, graph::strid directory, stat_function stat) {
  const char* path = graph::text(file);
  // Only the dependencies matter here, so no extra target is needed.
  cdep_context ctx;
  ctx.base = graph::text(directory);
  int r = read_whole(path, ctx);
  if (r == -2) return;
  if (r < 0) format_error(path, ctx);
  for (const dep_rule_line& line : ctx.lines) {
    for (const std::string& d : line.deps) {
      graph::strid id = intern(d);
      file_stamp s;
      if (stat(id, &s)) tssz_db_record(id, s.sec, s.nsec, s.size);
    }
  }
}

}  // namespace kiln::db
