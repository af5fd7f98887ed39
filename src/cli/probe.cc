#include "cli/probe.h"

#include "engine/engine.h"
#include "ext/extension.h"
#include "cli/startup.h"
#include "front/includes.h"
#include "front/rule_list.h"
#include "json/reader.h"

namespace kiln::cli {

// A probe runs the file's code in a script engine of its own, discarded
// afterwards, so that nothing of an ancestor's Kilnfile reaches the build.
probe_result probe_kilnfile(const std::string& description_path, bool declaration_only) {
  probe_result result;
  engine::engine e;
  if (engine::engine_init(&e, 1) != 0) return result;
  json::register_builtins();
  install_front_hooks();
  e.extension_hook = ext::extension_hook;
  front::rule_list rules;
  rules.probe_mode = true;
  rules.description_path = description_path;
  rules.declaration_only = declaration_only;
  front::parse_outcome outcome;
  int rc = front::parse_top_level(&e, &rules, "Kilnfile", std::string(), &outcome);
  result.ok = rc == 0;
  result.declared_subfile = outcome.declaration_seen && !outcome.declared_toplevel;
  result.top_marker = rules.top_marker;
  result.project_marker = rules.project_marker;
  engine::engine_free(&e);
  return result;
}

}  // namespace kiln::cli
