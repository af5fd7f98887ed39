// The one script engine of the process, created for the top-level parse
// and kept for recipe evaluation until exit.
#include <cstdio>
#include <vector>

#include "base/diag.h"
#include "base/hooks.h"
#include "base/settings.h"
#include "cli/revisions.h"
#include "cli/startup.h"
#include "engine/engine.h"
#include "exec/spawn.h"
#include "ext/extension.h"
#include "front/recipe.h"
#include "front/rule_builtins.h"
#include "front/rule_list.h"
#include "json/reader.h"

namespace kiln::cli {

namespace {

engine::engine* the_engine = nullptr;

front::rule_list the_parse_result;

int evaluate_with_engine(graph::rule* r, std::string* error, std::string* details) {
  return front::evaluate_recipe(the_engine, r, error, details);
}

// Before an internal-error abort: give the engine's large vectors back so
// that the core dump stays small.
void release_engine_areas() {
  if (the_engine) engine::engine_trim(the_engine);
}

}  // namespace

void start_engine() {
  the_engine = new engine::engine;
  if (engine::engine_init(the_engine, 1) != 0) diag::internal_error();
  json::register_builtins();
  the_engine->extension_hook = ext::extension_hook;
  install_front_hooks();
  up.evaluate_recipe = evaluate_with_engine;
  up.release_engine = release_engine_areas;
}

void install_front_hooks() {
  front::install_scope_directories();
  front::install_rule_builtins();
  up.is_known_revision = is_known_revision;
}

engine::engine* script_engine() { return the_engine; }

void apply_command_line_variables() {
  static std::vector<const char*> names;
  engine::scope_obj* top = the_engine->current_scope.scope;
  for (const auto& [name, text] : cfg.overrides) {
    int64_t slot = engine::cstack_string_new(the_engine, text.data(), text.size());
    if (slot < 0) diag::internal_error();
    engine::scope_delete(the_engine, top, name.data(), name.size());
    if (engine::scope_add_cstr(the_engine, top, name.c_str(), the_engine->cstack.items[slot]) != 0) {
      diag::internal_error();
    }
    engine::cstack_pop(the_engine);
    names.push_back(name.c_str());
  }
  the_engine->pinned_scope = top;
  the_engine->pinned_names = names.data();
  the_engine->n_pinned = names.size();
}

front::rule_list& parse_result() { return the_parse_result; }

void print_engine_statistics() {
  if (the_engine) {
    engine::engine_print_memory_stats(the_engine, stdout);
  } else {
    printf("  cinder arena all: %zu \n", engine::arena_total_bytes());
    printf("  cinder bytecode all: %zu \n", size_t{0});
    printf("  cinder object cache all: %zu \n", size_t{0});
    printf("  cinder GC block all: %zu \n", size_t{0});
  }
}

void print_child_statistics() {
  printf("  ruleid_by_pid: %zu %zu\n", exec::children_made,
         exec::children_made * sizeof(exec::child));
}

}  // namespace kiln::cli
