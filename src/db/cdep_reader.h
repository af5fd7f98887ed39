// The reader of compiler dependency files (the rule files a compiler
// writes with options like -MD).
//
// File format: text lines in make syntax. A physical line ending in a
// backslash right before its newline continues on the next line, unless
// that backslash is itself escaped (backslashes before the newline pair
// up; an odd run continues). The joined logical line keeps its
// backslash-newline pairs, which count as white space. A logical line is
// either empty (blanks, TABs and backslash-newline pairs only) or a rule:
//
//     target... ":" dependency...
//
// Words are separated by blanks and TABs (and backslash-newline pairs) and
// end at a blank, TAB, newline, the end of the line or a colon. Inside a
// word a backslash or "$" followed by a character is an escape pair that
// does not end the word. After cutting, "$$" decodes to "$" and a
// backslash followed by a character to that character; any other "$"
// pair, a lone "$" or backslash at the end of a word, or a NUL byte in a
// word, is a format error. So are a line with target words but no colon
// and a second colon on the dependency side. A format error rejects the
// whole file.
//
// A word beginning with "/" is taken as it is; any other is joined after
// the base directory. Either way the path is then simplified.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace kiln::db {

// One rule line of a dependency file: simplified paths relative to the
// top directory (or absolute).
struct dep_rule_line {
  std::vector<std::string> targets;
  std::vector<std::string> deps;
};

// What a read needs to know, and where lines go without callbacks.
struct cdep_context {
  // Directory relative names are resolved against ("." for the top).
  std::string base = ".";
  // @autotarget: an extra target, resolved like a word, placed first on
  // every rule line.
  bool has_extra_target = false;
  std::string extra_target;
  // The lines read, when read_cdep_file is given no callbacks.
  std::vector<dep_rule_line> lines;
  // After a format error: the physical line (from 1) where the rejected
  // logical line begins.
  size_t error_line = 0;
};

// Receivers of the parsed lines, in file order: on_new_line at the start
// of each rule line, then on_target for each target and on_dependency
// for each dependency. Any of them may be null.
struct cdep_callbacks {
  void (*on_new_line)(void* user) = nullptr;
  void (*on_target)(const std::string& path, void* user) = nullptr;
  void (*on_dependency)(const std::string& path, void* user) = nullptr;
  void* user = nullptr;
};

// Parses one logical line. Returns 1 and fills out for a rule line, 0 for
// an empty line, -1 on a format error.
int parse_cdep_line(const char* line, size_t length, const cdep_context& ctx,
                    dep_rule_line* out);

// Reads the whole stream and parses every logical line before reporting
// any of them, so a malformed file is never half applied. With callbacks
// the lines are reported through them; without, they are appended to
// ctx.lines. Returns 0, -1 on a format error, -12 out of memory.
int read_cdep_file(FILE* stream, cdep_context& ctx, const cdep_callbacks* callbacks = nullptr);

}  // namespace kiln::db
