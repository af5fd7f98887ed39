#include "front/includes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/result_codes.h"
#include "graph/path.h"

namespace kiln::front {

namespace eng = kiln::engine;

namespace {

int include_depth = 0;

struct depth_guard {
  depth_guard() { ++include_depth; }
  ~depth_guard() { --include_depth; }
};

bool too_deep() { return include_depth >= k_max_include_depth; }

// Closes the file when the parse of it ends, whatever the outcome.
struct file_closer {
  FILE* f;
  ~file_closer() {
    if (f) fclose(f);
  }
};

}  // namespace

std::string directory_kilnfile(const parse_context& including, const std::string& dir) {
  return including.dir_prefix + "/" + dir + "/Kilnfile";
}

int include_directory(const parse_context& including, const std::string& dir, bool is_project,
                      int64_t* new_scope) {
  eng::engine* e = including.eng;
  std::string dir_prefix = including.dir_prefix + "/" + dir;
  std::string project_prefix = including.project_prefix + "/" + dir;
  std::string path = directory_kilnfile(including, dir);
  if (too_deep()) return k_include_too_deep;
  depth_guard guard;
  // The resolved path lives on the heap: a PATH_MAX buffer here would
  // cost its size in C stack for every open Kilnfile.
  char* real = realpath(path.c_str(), nullptr);
  if (!real) {
    fflush(stderr);
    printf("path %s does not exist\n", path.c_str());
    return base::rc_not_found;
  }
  rule_list* rules = including.rules;
  if (rules && !rules->description_path.empty() && rules->description_path == real) {
    rules->top_marker = true;
    if (!is_project && including.same_project) rules->project_marker = true;
  }
  free(real);
  dir_prefix = graph::simplify_path(dir_prefix);
  project_prefix = is_project ? "." : graph::simplify_path(project_prefix);

  eng::scope_obj* parent =
      e->current_scope.type == eng::t_sc ? e->current_scope.scope : nullptr;
  eng::scope_obj* s = eng::scope_new(e, eng::k_root_scope_buckets, parent, false);
  if (!s) {
    fputs("Out of memory\n", stderr);
    exit(2);
  }
  set_scope_directory(s, dir_prefix, project_prefix);
  eng::value saved = e->current_scope;
  eng::value_ref(saved);
  eng::value sv = eng::make_object(eng::t_sc, s);
  eng::value_assign(e, &e->current_scope, sv);
  // The object cache holds the scope from now on.
  eng::value_unref(e, sv);
  *new_scope = s->cache_index;

  parse_context sub;
  sub.eng = e;
  sub.rules = rules;
  sub.dir_prefix = dir_prefix;
  sub.project_prefix = project_prefix;
  sub.file_name = path;
  sub.leading_path = including.leading_path;
  sub.expects_toplevel = is_project;
  sub.same_project = is_project ? false : including.same_project;
  sub.scope_index = s->cache_index;

  int rc = 0;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) {
    fflush(stdout);
    fprintf(stderr, "kiln: Can't open subkilnfile %s.\n", path.c_str());
    rc = base::rc_not_found;
  } else {
    file_closer closer{f};
    if (parse_stream(f, sub) != 0) {
      fflush(stdout);
      fprintf(stderr, "kiln: Can't parse subkilnfile %s.\n", path.c_str());
      rc = base::rc_parse_failed;
    }
  }
  eng::value_assign(e, &e->current_scope, saved);
  eng::value_unref(e, saved);
  return rc;
}

int include_file(const parse_context& including, int64_t scope_index, const std::string& path,
                 bool ignore_missing) {
  if (too_deep()) return k_include_too_deep;
  depth_guard guard;
  parse_context sub;
  sub.eng = including.eng;
  sub.rules = including.rules;
  sub.dir_prefix = including.dir_prefix;
  sub.project_prefix = including.project_prefix;
  sub.file_name = path;
  sub.leading_path = including.leading_path;
  sub.expects_toplevel = false;
  sub.same_project = including.same_project;
  sub.scope_index = scope_index;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) {
    int err = errno;
    fflush(stdout);
    if (err == EMFILE || err == ENFILE) {
      fprintf(stderr, "Out of file descriptors, probably infinite recursion when opening file %s\n",
              path.c_str());
      return -err;
    }
    if (ignore_missing && (err == ENOENT || err == ENOTDIR)) return 0;
    fprintf(stderr, "kiln: Can't open subkilnfile %s.\n", path.c_str());
    return -err;
  }
  file_closer closer{f};
  if (parse_stream(f, sub) != 0) {
    fflush(stdout);
    fprintf(stderr, "kiln: Can't parse subkilnfile %s.\n", path.c_str());
    return base::rc_parse_failed;
  }
  return 0;
}

int parse_top_level(eng::engine* e, rule_list* rules, const std::string& file,
                    const std::string& leading_path, parse_outcome* outcome) {
  FILE* f = fopen(file.c_str(), "r");
  if (!f) return base::rc_not_found;
  file_closer closer{f};
  eng::scope_obj* top = e->current_scope.scope;
  if (!top->host_data) set_scope_directory(top, ".", ".");
  parse_context ctx;
  ctx.eng = e;
  ctx.rules = rules;
  ctx.file_name = file;
  ctx.leading_path = leading_path;
  ctx.scope_index = top->cache_index;
  ctx.declaration_only = rules && rules->probe_mode && rules->declaration_only;
  rule_list* outer = active_rule_list();
  set_active_rule_list(rules);
  int rc = parse_stream(f, ctx);
  set_active_rule_list(outer);
  if (outcome) {
    outcome->declaration_seen = ctx.declaration_seen;
    outcome->declared_toplevel = ctx.declared_toplevel;
  }
  return rc;
}

}  // namespace kiln::front
