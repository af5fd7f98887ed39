// Including Kilnfiles: a sub-directory's Kilnfile in a scope of its own
// (@dirinclude, @projdirinclude), a plain fragment in the including
// file's scope (@fileinclude), and the parse of the top-level file.
#pragma once

#include <cstdint>
#include <string>

#include "base/result_codes.h"
#include "front/parser.h"

namespace kiln::front {

// Kilnfiles open at once below the top-level one. Every open Kilnfile
// holds its parser on the C stack (about a kilobyte), so an include loop
// ends at this bound when the descriptor limit is high.
constexpr int k_max_include_depth = 2000;

// Result of an include refused at that bound; the caller reports it.
constexpr int k_include_too_deep = base::rc_too_deep;

// The path "<dir_prefix>/<dir>/Kilnfile" that a directory include opens.
std::string directory_kilnfile(const parse_context& including, const std::string& dir);

// Parses "<dir_prefix>/<dir>/Kilnfile" in a new scope whose parent is the
// engine's current scope; *new_scope gets the scope's object-cache index.
// Returns 0, k_include_too_deep, or another negative code (already
// reported).
int include_directory(const parse_context& including, const std::string& dir, bool is_project,
                      int64_t* new_scope);

// Parses the file at `path` (relative to the working directory) in the
// scope with the object-cache index `scope_index`. With ignore_missing a
// file that does not exist is skipped. Returns 0, k_include_too_deep, or
// another negative code (already reported).
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
