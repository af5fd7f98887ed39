// The registration point of rules made by script code, and the directory
// records of directory scopes.
#include <deque>

#include "base/hooks.h"
#include "front/rule_list.h"

namespace kiln::front {

namespace {

rule_list* active = nullptr;

// Records live as long as the process: scopes keep pointers to them.
std::deque<directory_record>& records() {
  static std::deque<directory_record> all;
  return all;
}

void answer_scope_directories(engine::engine* e, std::string* top, std::string* project) {
  const engine::scope_obj* s =
      e->current_scope.type == engine::t_sc ? e->current_scope.scope : nullptr;
  const directory_record* d = scope_directory(s);
  *top = d ? d->dir_prefix : ".";
  *project = d ? d->project_prefix : ".";
}

}  // namespace

rule_list* active_rule_list() { return active; }

run_context& current_run_context() {
  static run_context context;
  return context;
}
void set_active_rule_list(rule_list* list) { active = list; }

int register_rule(graph::parsed_rule rule, recipe r) {
  if (!active) return k_register_parsing_done;
  if (active->in_rule) return k_register_midrule;
  if (active->rules_disabled || active->probe_mode) return 0;
  if (!r.entries.empty()) {
    active->recipes.push_back(std::move(r));
    rule.recipe = &active->recipes.back();
  } else {
    rule.recipe = nullptr;
  }
  active->rules.push_back(std::move(rule));
  return 0;
}

void set_scope_directory(engine::scope_obj* s, const std::string& dir_prefix,
                         const std::string& project_prefix) {
  records().push_back(directory_record{dir_prefix, project_prefix});
  s->host_data = &records().back();
}

const directory_record* scope_directory(const engine::scope_obj* s) {
  for (; s; s = s->parent) {
    if (s->host_data) return static_cast<const directory_record*>(s->host_data);
  }
  return nullptr;
}

void clear_scope_directories() { records().clear(); }

void install_scope_directories() { up.scope_directories = answer_scope_directories; }

}  // namespace kiln::front
