// The Kilnfile parser: a recursive-descent reader of the statement and
// expression grammar that compiles script code into the engine's byte
// code as it goes (there is no syntax tree) and runs directive code at
// once, so that variables and scopes take effect while the file is still
// being read. The values of setting directives are collected in the parse
// result (rule_list::directives) for start-up to apply.
//
// Every error prints "kiln: <message> at file <name> line <l> col <c>."
// on standard error (or the form with a leading path) and ends the parse
// of the file with failure; no error recovery is attempted.
#pragma once

#include <cstdio>
#include <string>

#include "engine/engine.h"
#include "front/rule_list.h"

namespace kiln::front {

// One Kilnfile being parsed.
struct parse_context {
  engine::engine* eng = nullptr;
  rule_list* rules = nullptr;
  std::string dir_prefix = ".";      // relative to the top directory
  std::string project_prefix = ".";  // relative to the sub-project root
  std::string file_name;             // as opened, for messages
  std::string leading_path;          // printed before file_name when set
  bool expects_toplevel = true;
  bool same_project = true;
  // Stop right after the declaration line (with failure).
  bool declaration_only = false;
  // Object cache index of the file's scope; -1: the engine's current
  // scope at the start of the parse.
  int64_t scope_index = -1;
  // Filled by the parse.
  bool declaration_seen = false;
  bool declared_toplevel = false;
};

// Parses one Kilnfile from the stream. Returns 0, or -89 on any failure
// (already reported).
int parse_stream(FILE* in, parse_context& ctx);

// Parses a Kilnfile held in memory (through fmemopen); for tests and
// tools. Returns 0 or -89.
int parse_text(const std::string& text, parse_context& ctx);

// True when text names a compatible revision of kiln (40 hex digits).
// The command-line layer provides the table through kiln::up; without it
// no revision is known.
bool known_revision(const char* hex40);

}  // namespace kiln::front
