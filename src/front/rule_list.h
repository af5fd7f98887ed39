// The parse result shared by every Kilnfile of one parse: the rules in
// declaration order with their recipes, the @order pairs, the
// @cdepincludes entries and the results of a probe parse; and the
// registration point through which @addrule and @adddeps add rules while
// the Kilnfiles are read.
#pragma once

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "base/settings.h"
#include "db/cdepincludes.h"
#include "engine/engine.h"
#include "front/recipe.h"
#include "graph/add_rule.h"

namespace kiln::front {

// What the setting directives of the top-level Kilnfile asked for, for
// start-up to apply after the parse. Sizes are 0 and the modes unset
// when no directive gave them.
struct directive_values {
  int db_version = db_unset;     // the first @usetsdb
  int output_sync = sync_unset;  // the first @outsync
  // The last of each size directive.
  size_t expected_deps = 0;
  size_t expected_strings = 0;
  size_t stat_cache_size = 0;
  size_t access_cache_size = 0;
  size_t stat_hash_size = 0;
  size_t access_hash_size = 0;
  size_t db_hash_size = 0;
  size_t tsdb_hash_size = 0;
};

struct rule_list {
  // Probe mode: code runs, but no rule is recorded, settings are not
  // applied and a wrong declaration fails without a message.
  bool probe_mode = false;
  // With probe mode: the parse ends after the file's declaration, which is
  // all that a probe of the invocation directory's own file needs.
  bool declaration_only = false;
  // The free-form warning is printed once for the whole tree.
  bool recommend_strings_shown = false;

  std::vector<graph::parsed_rule> rules;  // declaration order
  std::deque<recipe> recipes;             // stable addresses for the rules
  std::deque<shell_template> shell_templates;  // for the recipes' entries
  // @order pairs, both names joined with their directory and simplified.
  std::vector<std::pair<std::string, std::string>> order_pairs;
  std::vector<db::cdep_include> cdepincludes;
  // Never filled by a probe or by a sub-directory's Kilnfile.
  directive_values directives;

  // Probe results: the real path of the invocation directory's Kilnfile
  // (set before the parse) and the markers set when an include reaches it.
  std::string description_path;
  bool top_marker = false;
  bool project_marker = false;

  // Set by the parser while it reads a rule's header and recipe; rule
  // registration is refused then.
  bool in_rule = false;
  // Set while an untaken top-level @if branch is read: registration
  // records nothing.
  bool rules_disabled = false;
};

// The rule list of the parse in progress, or null when no parse runs
// (parsing is over, or has not started).
rule_list* active_rule_list();
void set_active_rule_list(rule_list* list);

// Where parse-time code runs: the line of the statement being run and
// the directory prefix of its Kilnfile (rules made by @addrule carry the
// line); -1 and "" while no Kilnfile statement runs.
struct run_context {
  int line = -1;
  std::string dir_prefix;
};
run_context& current_run_context();

// Registration results.
constexpr int k_register_parsing_done = -4097;
constexpr int k_register_midrule = -4112;

// Registers a rule made by script code (@addrule, or a dependency-only
// entry of @adddeps) in the parse in progress: the recipe is kept by the
// list. Returns 0 (also when registration is disabled, recording nothing),
// k_register_parsing_done or k_register_midrule.
int register_rule(graph::parsed_rule rule, recipe r);

// A directory scope's directory record: the Kilnfile's directory relative
// to the top and relative to its sub-project's root.
struct directory_record {
  std::string dir_prefix = ".";
  std::string project_prefix = ".";
};

// Attaches a record to a scope (kept for the whole run).
void set_scope_directory(engine::scope_obj* s, const std::string& dir_prefix,
                         const std::string& project_prefix);

// Forgets every record, for hosts that parse many unrelated trees in one
// process (the fuzzing harnesses); no scope that has one may be left.
void clear_scope_directories();

// The record of the nearest scope in the chain from s that has one, or
// null.
const directory_record* scope_directory(const engine::scope_obj* s);

// Answers the build extension's question for the engine's current scope
// (kiln::up.scope_directories).
void install_scope_directories();

}  // namespace kiln::front
