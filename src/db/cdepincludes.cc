#include "db/cdepincludes.h"

#include <cstdio>

#include "base/diag.h"
#include "base/result_codes.h"
#include "base/settings.h"
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
  if (!f) return base::rc_not_found;
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

// The lines of a file as cached: per line the target count, the
// dependency count, the targets, the dependencies.
std::vector<graph::strid> line_ids(const std::vector<dep_rule_line>& lines) {
  std::vector<graph::strid> ids;
  for (const dep_rule_line& line : lines) {
    ids.push_back(static_cast<graph::strid>(line.targets.size()));
    ids.push_back(static_cast<graph::strid>(line.deps.size()));
    for (const std::string& t : line.targets) ids.push_back(intern(t));
    for (const std::string& d : line.deps) ids.push_back(intern(d));
  }
  return ids;
}

// Defers every line's targets and dependencies, in file order; extra
// (the @autotarget name, or -1) is the first target of every line.
void defer_lines(const graph::strid* ids, size_t n_ids, graph::strid extra, uint32_t flags) {
  std::vector<graph::strid> targets;
  for (size_t i = 0; i < n_ids;) {
    size_t n_targets = static_cast<size_t>(ids[i]);
    size_t n_deps = static_cast<size_t>(ids[i + 1]);
    i += 2;
    if (cfg.debug) diag::trace("Adding dep\n");
    targets.clear();
    if (extra >= 0) targets.push_back(extra);
    targets.insert(targets.end(), ids + i, ids + i + n_targets);
    i += n_targets;
    for (graph::strid t : targets) {
      if (cfg.debug) diag::trace("  target: %s\n", graph::text(t));
      graph::defer_dep(t, -1, 0);
    }
    for (size_t k = 0; k < n_deps; k++, i++) {
      if (cfg.debug) diag::trace("  dep: %s\n", graph::text(ids[i]));
      for (graph::strid t : targets) graph::defer_dep(t, ids[i], flags);
    }
  }
}

bool same_stamp(const file_stamp& a, const file_stamp& b) {
  return a.sec == b.sec && a.nsec == b.nsec && a.size == b.size && a.ino == b.ino;
}

// The cached lines of the file when its identity and base still match
// (a symbolic link, inode 0, is always read); else null.
const cdepe* cached(graph::strid file, graph::strid base, const file_stamp& stamp) {
  if (stamp.ino == 0) return nullptr;
  cdepe* e = cdep_db_lookup(file);
  if (!e || e->base != base || !same_stamp(e->stamp, stamp)) return nullptr;
  e->used = true;
  return e;
}

void read_one(const cdep_include& e, stat_function stat) {
  std::string path = entry_path(e);
  if (cfg.debug) diag::trace("reading cdepincludes from %s\n", path.c_str());
  graph::strid file = intern(graph::simplify_path(path));
  graph::set_cdep_file(file);
  cdep_context ctx;
  ctx.base = e.directory;
  graph::strid base = intern(ctx.base);
  graph::strid extra = -1;
  if (e.bits & k_cdep_autotarget) extra = intern(graph::join_simplify(ctx.base, e.file));
  uint32_t flags = (e.bits & k_cdep_autophony) ? graph::k_defer_missing_allowed : 0;
  // The stamp is taken before the read: a file that changes in between is
  // cached under its older stamp, and read again next time.
  file_stamp stamp;
  bool exists = stat && stat(file, &stamp);
  if (exists) {
    if (const cdepe* c = cached(file, base, stamp)) {
      defer_lines(c->ids, c->n_ids, extra, flags);
      return;
    }
  }
  int r = read_whole(path, ctx);
  if (r == base::rc_not_found) {
    cdep_db_remove(file);
    if (e.bits & k_cdep_ignore) return;
    diag::fatal("Can't read cdepincludes from %s", path.c_str());
  }
  if (r < 0) format_error(path.c_str(), ctx);
  std::vector<graph::strid> ids = line_ids(ctx.lines);
  if (exists && cdep_db_insert(file, base, stamp, ids.data(), ids.size(), true) < 0) {
    diag::fatal("Out of memory");
  }
  defer_lines(ids.data(), ids.size(), extra, flags);
}

}  // namespace

void read_cdepincludes(const std::vector<cdep_include>& entries, stat_function stat) {
  for (const cdep_include& e : entries) read_one(e, stat);
  cdep_db_set_only_used(true);
}

void reread_cdep_file(graph::strid file, graph::strid directory, stat_function stat) {
  const char* path = graph::text(file);
  // Only the dependencies matter here, so no extra target is needed.
  cdep_context ctx;
  ctx.base = graph::text(directory);
  file_stamp stamp;
  bool exists = stat(file, &stamp);
  int r = read_whole(path, ctx);
  if (r == base::rc_not_found) {
    cdep_db_remove(file);
    return;
  }
  if (r < 0) format_error(path, ctx);
  std::vector<graph::strid> ids = line_ids(ctx.lines);
  // Cached under the rule's directory: the start-up read uses the entry
  // only when that is its Kilnfile's directory too.
  if (exists) {
    cdep_db_insert(file, directory, stamp, ids.data(), ids.size(), true);
  } else {
    cdep_db_remove(file);
  }
  for (size_t i = 0; i < ids.size();) {
    size_t n_targets = static_cast<size_t>(ids[i]);
    size_t n_deps = static_cast<size_t>(ids[i + 1]);
    i += 2 + n_targets;
    for (size_t k = 0; k < n_deps; k++, i++) {
      file_stamp s;
      if (stat(ids[i], &s)) tssz_db_record(ids[i], s.sec, s.nsec, s.size);
    }
  }
}

}  // namespace kiln::db
