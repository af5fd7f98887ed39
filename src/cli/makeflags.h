// MAKEFLAGS as kiln finds it at start-up: read once, then removed from the
// environment so that no child inherits it (sub-makes get a MAKEFLAGS of
// kiln's own making).
//
// The text is a list of blank-separated words. kiln reads three of them:
//   -O<mode>                 output sync: l(ine), n(one), t(arget), r(ecurse)
//   --jobserver-fds=R,W      a parent make's jobserver descriptors
//   --jobserver-auth=VALUE   "R,W" descriptors, or "fifo:PATH"
#pragma once

#include <string>

namespace kiln::cli {

struct makeflags_values {
  int output_sync = 4;   // sync_unset unless a valid -O word was found
  bool has_fds = false;  // --jobserver-fds= was given
  std::string fds;       // its value
  bool has_auth = false;  // --jobserver-auth= was given
  std::string auth;       // its value
};

// What the last read found.
extern makeflags_values makeflags;

// Parses a MAKEFLAGS text. An -O word with an unknown letter prints
// "kiln: invalid output sync mode in MAKEFLAGS, using default".
makeflags_values parse_makeflags(const char* text);

// Reads MAKEFLAGS from the environment into `makeflags`, then unsets it.
void read_environment_makeflags();

// Applies the inherited output sync mode unless -O set one; a mode of
// line, target or recurse means the parent synchronises output.
void apply_makeflags_output_sync();

}  // namespace kiln::cli
