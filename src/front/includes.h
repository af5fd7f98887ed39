// Including Kilnfiles: a sub-directory's Kilnfile in a scope of its own
// (@dirinclude, @projdirinclude), a plain fragment in the including
// file's scope (@fileinclude), and the parse of the top-level file.
#pragma once

#include <cstdint>
#include <string>

#include "front/parser.h"

namespace kiln::front {

// Parses "<dir_prefix>/<dir>/Kilnfile" in a new scope whose parent is the
// engine's current scope; *new_scope gets the scope's object-cache index.
// Returns 0 or a negative code (already reported).
int include_directory(const parse_context& including, const std::string& dir, bool is_project,
                      int64_t* new_scope);

// Parses the file at `path` (relative to the working directory) in the
// scope with the object-cache index `scope_index`. With ignore_missing a
// file that does not exist is skipped. Returns 0 or a negative code.
int include_file(const parse_context& including, int64_t scope_index, const std::string& path,
                 bool ignore_missing);

// What the top-level file declared.
struct parse_outcome {
  bool declaration_seen = false;
  bool declared_toplevel = false;
};

// Parses the top-level Kilnfile `file` into `rules` in the engine's
// current scope, which becomes the top directory's scope ("."). Rules may
// be registered by script code while this runs. Returns 0, -2 when the
// file cannot be opened, or -89.
int parse_top_level(engine::engine* e, rule_list* rules, const std::string& file,
                    const std::string& leading_path = std::string(),
                    parse_outcome* outcome = nullptr);

}  // namespace kiln::front
