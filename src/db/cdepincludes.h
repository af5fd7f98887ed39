// The two uses of compiler dependency files: reading every file named by
// @cdepincludes into the rule graph at start-up, and re-reading a file a
// rule has just rewritten to record the times and sizes of what it lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/db_tables.h"
#include "graph/stringtab.h"

namespace kiln::db {

// Option bits of a @cdepincludes entry.
constexpr unsigned k_cdep_autophony = 1;   // listed files may disappear
constexpr unsigned k_cdep_autotarget = 2;  // the file itself is a target of every line
constexpr unsigned k_cdep_ignore = 4;      // a missing file is skipped

// Looks a file up (normally through the stat cache); false when it does
// not exist. A symbolic link reports inode 0: its own stamp says nothing
// of the file it points to.
using stat_function = bool (*)(graph::strid file, file_stamp* out);

// One @cdepincludes entry as the parser records it.
struct cdep_include {
  std::string file;       // as written in the Kilnfile
  std::string directory;  // of that Kilnfile, relative to the top ("." for the top)
  unsigned bits = 0;      // k_cdep_*
};

// Reads every entry in order into the graph's deferred dependencies. The
// path is "<directory>/<file>" (an absolute file name is used as it is);
// -d prints "reading cdepincludes from %s". The simplified path is marked
// as a compiler dependency file. A file that cannot be opened is skipped
// with @ignore, otherwise fatal "Can't read cdepincludes from %s"; a format
// error is fatal "Invalid cdepincludes format in %s". Each target of a line
// is deferred as (target, none) and each dependency as (target, dependency)
// for every target of the line, missing-allowed with @autophony; -d prints
// "Adding dep" and the "  target: %s" / "  dep: %s" lines.
//
// A file whose identity (stat: size, time, inode) is the one cached in
// the database with the same base directory is not read: the cached lines
// are used, with the same effect and trace. Any other file is read and
// its lines cached.
// Without a stat function nothing is cached.
void read_cdepincludes(const std::vector<cdep_include>& entries, stat_function stat = nullptr);


// Re-reads a dependency file that a rule of `directory` has just rewritten
// and records, for every dependency it lists that exists, its time and
// size in the tssz DB as seen; the new content replaces the cached one
// (taken with the identity stat gives now). A file that cannot be opened
// is skipped (and forgotten by the cache); a format error is fatal
// "Invalid cdepincludes format in %s".
void reread_cdep_file(graph::strid file, graph::strid directory, stat_function stat);

}  // namespace kiln::db
